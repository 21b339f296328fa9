// What the two pullers (the server event puller and the selective-sync progress
// puller) share: the error policy, turning a reply's event map into an event, the
// echo test, and the wait for the workers. Each puller passes its own log texts.
#pragma once

#include <cstdint>
#include <set>

#include "events/registry.h"
#include "events/sync_services.h"
#include "foundation/task.h"
#include "foundation/ustring.h"
#include "store/event.h"
#include "sync/step_result.h"
#include "wire/object.h"

// Which puller writes a log line: its channel, its file name and its own name.
struct PullerTexts {
    const char* channel;  // "syncer_debug"
    const char* file;     // "syncer.cpp"
    const char* who;      // "Syncer"
};

// Actions of a puller after a pull.
enum PullAction { PULL_ACTION_NONE = -1, PULL_ACTION_DONE = 0, PULL_ACTION_RETRY = 1, PULL_ACTION_RETRY_LONG_WAIT = 2 };
// The report a result code gives to the UI.
enum PullReport { PULL_REPORT_NONE = 0, PULL_REPORT_SESSION = 1, PULL_REPORT_CONNECTION = 2 };

// The error policy of the pullers for a result code 0..-23 (ERR_*). The server event
// puller's action and report, and the progress puller's action (it reports nothing:
// the session is the server event puller's to report). -1 ("unexpected") for codes
// the table does not expect and for codes outside it.
int PullActionOf(int code);
int PullReportOf(int code);
int ProgressActionOf(int code);
// True for the codes the table has rows for.
bool PullCodeInTable(int code);
// Seconds to wait after an action: 0 done, 120 long wait, 3 for anything else.
unsigned PullWaitOf(int action);

// Builds the event of session sess_id from one element of a reply's "event_list".
// 1: e holds it; 0: dropped with a log line (not a map, or a path that is not a safe
// session-relative path; cut_paths are texts the wire cut at a zero byte).
int EventFromReply(const PObject& item, uint64_t sess_id, const std::set<ustring>& cut_paths, const PullerTexts& texts,
                   Event& e);

// The echo test against the session's event database. 1: the event only echoes what
// the client has (a row at the event's sync id or newer; with need_local, only when
// the local item also exists), or removes a path the client never had; 0: push it.
// Lookup failures push (0). Logs the drop.
int IsServerEcho(const SyncServices& services, const Event& e, const Registry::Entry& entry, bool need_local,
                 const PullerTexts& texts);

// Waits until the event manager holds no server event of the session. kOk: none
// left and the session is still registered; kFailed: the task is stopping, or the
// session was removed or paused meanwhile (the caller must not advance its sync id).
StepResult WaitForSessionWorkers(const SyncServices& services, Task& task, uint64_t sess_id, const PullerTexts& texts);
