#include "pull_list.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <unordered_map>

namespace {

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
    return true;
}

}  // namespace

// The last component; its extension is what follows the last "." that is not the
// name's first character (as the client's filter reads names).
bool PullCondition::Matches(const ChangeRow& row, const std::string& rel) const {
    if (kind == NONE) return true;
    const std::string name = rel.substr(rel.rfind('/') + 1);
    switch (kind) {
        case PREFIX:
            // The folder itself and everything below it, files and folders alike.
            return rel.size() >= text.size() && EqualNoCase(rel.substr(0, text.size()), text) &&
                   (rel.size() == text.size() || rel[text.size()] == '/');
        case NAME:
            return !row.is_dir && EqualNoCase(name, text);
        case EXTENSION: {
            const size_t dot = name.rfind('.');
            return !row.is_dir && dot != std::string::npos && dot > 0 && EqualNoCase(name.substr(dot + 1), text);
        }
        case SIZE:
            // Sizes that the old limit held back and the new one lets through; a removal
            // has no size to test.
            return !row.is_dir && !row.is_removed && row.size > min_size && row.size <= max_size;
        default:
            return false;
    }
}

std::string PullCondition::Describe() const {
    switch (kind) {
        case PREFIX:
            return " with prefix " + text;
        case NAME:
            return " with name " + text;
        case EXTENSION:
            return " with extension " + text;
        case SIZE:
            return " with size " + std::to_string(min_size) + ".." + std::to_string(max_size);
        default:
            return "";
    }
}

// Exactly one kind: "extension", "prefix" or "name" (a non-empty text; a prefix is a
// path with a leading "/"), or "min_size" with "max_size" (numbers, min below max).
bool ReadPullCondition(const PObject& value, PullCondition* out) {
    if (!value.isMap() || value.asMap().empty()) return false;
    const auto& m = value.asMap();
    auto text_of = [&](const char* key, PullCondition::Kind kind) {
        if (m.size() != 1 || !value[key].isString() || value[key].asString().empty()) return false;
        out->kind = kind;
        out->text = value[key].asString().str();
        return true;
    };
    if (value.hasMember("extension")) return text_of("extension", PullCondition::EXTENSION);
    if (value.hasMember("name")) return text_of("name", PullCondition::NAME);
    if (value.hasMember("prefix")) {
        if (!text_of("prefix", PullCondition::PREFIX)) return false;
        // "/photos/" names the same folder as "/photos".
        while (out->text.size() > 1 && out->text.back() == '/') out->text.pop_back();
        return Storage::IsValidPath(out->text) && out->text != "/";
    }
    if (m.size() != 2 || !value["min_size"].isInteger() || !value["max_size"].isInteger()) return false;
    out->kind = PullCondition::SIZE;
    out->min_size = value["min_size"].asUInt64();
    out->max_size = value["max_size"].asUInt64();
    return out->min_size < out->max_size;
}

int BuildPullList(Storage& storage, const PullRequest& req, const std::function<bool()>& between,
                  std::vector<PullEvent>* out, std::string* error) {
    std::vector<ChangeRow> rows;
    for (uint64_t after = req.from;;) {
        const size_t before = rows.size();
        if (storage.ScanChanges(req.view, after, req.upto, req.root, req.batch, &rows) != 0) {
            *error = storage.error();
            return -1;
        }
        if (rows.size() - before < req.batch) break;
        after = rows.back().sync_id;
        if (!between()) {
            *error = "stopped";
            return -1;
        }
    }
    // Later changes of a path supersede earlier ones; the views point into rows, which
    // no longer grows.
    std::vector<bool> superseded(rows.size(), false);
    std::unordered_map<std::string_view, size_t> latest;
    latest.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        auto [it, fresh] = latest.try_emplace(rows[i].path, i);
        if (!fresh) {
            superseded[it->second] = true;
            it->second = i;
        }
    }
    // A folder's max_id: every path raises the folders above it. Changes at or below
    // `from` cannot matter: a folder in the list is itself newer than all of them.
    std::vector<uint64_t> max_id(rows.size(), 0);
    for (const auto& [path, i] : latest) {
        if (rows[i].is_dir) max_id[i] = std::max(max_id[i], rows[i].sync_id);
        for (size_t slash = path.rfind('/'); slash != std::string_view::npos && slash > 0;
             slash = path.rfind('/', slash - 1)) {
            auto dir = latest.find(path.substr(0, slash));
            if (dir != latest.end() && rows[dir->second].is_dir)
                max_id[dir->second] = std::max(max_id[dir->second], rows[i].sync_id);
        }
    }
    latest.clear();
    const std::string below = req.root == "/" ? "/" : req.root + "/";
    for (size_t i = 0; i < rows.size(); ++i) {
        if (superseded[i]) continue;
        ChangeRow& r = rows[i];
        // Only the direct children of the folder when not recursive.
        if (!req.recursive && r.path != req.root && r.path.find('/', below.size()) != std::string::npos) continue;
        std::string rel = r.path;
        if (req.root != "/") rel = r.path.size() == req.root.size() ? "/" : r.path.substr(req.root.size());
        if (!req.condition.Matches(r, rel)) continue;
        out->push_back(PullEvent{std::move(r), std::move(rel), max_id[i]});
    }
    return 0;
}
