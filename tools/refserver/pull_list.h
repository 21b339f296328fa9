// The event list of a pull, built from the index in time linear in the changes read:
// one pass over the view's changes by sync id, in batches, keeping the latest change
// of each path and the highest sync id below each folder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "storage.h"
#include "wire/object.h"

// The "condition" of a selective-sync pull: only the paths it names are answered.
struct PullCondition {
    enum Kind { NONE, EXTENSION, PREFIX, NAME, SIZE } kind = NONE;
    std::string text;  // extension, prefix (session-relative) or name
    uint64_t min_size = 0, max_size = 0;
    // rel: the row's path relative to the pulled folder.
    bool Matches(const ChangeRow& row, const std::string& rel) const;
    std::string Describe() const;
};
// False for a condition the server does not understand (see pull_list.cpp).
bool ReadPullCondition(const PObject& value, PullCondition* out);

struct PullEvent {
    ChangeRow row;
    std::string rel;      // the path relative to the pulled folder, leading "/"
    uint64_t max_id = 0;  // for a folder: the highest sync id at or below it
};

struct PullRequest {
    uint64_t view = 0;
    uint64_t from = 0;  // changes above this sync id...
    uint64_t upto = 0;  // ...and at or below this one
    std::string root;   // the pulled folder ("/" for the whole view)
    bool recursive = true;
    PullCondition condition;
    // Rows read from the index per batch; the storage lock is free between batches.
    unsigned batch = 20000;
};

// Fills out with the latest change of every path at or below req.root among the
// changes in (from, upto], in sync-id order, honouring recursive and the condition.
// between() runs after every full batch (to send keep-alives); false from it, or a
// storage failure (message in *error), gives -1. Otherwise 0.
int BuildPullList(Storage& storage, const PullRequest& req, const std::function<bool()>& between,
                  std::vector<PullEvent>* out, std::string* error);
