// The session actions of the application object: "add_session", "reload_session",
// "remove_session", "pause" and "resume", with their steps. They run on the message
// thread only, so they never overlap each other.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>

#include "daemon/app.h"
#include "daemon/refusal.h"
#include "daemon/selective_sync.h"
#include "daemon/session_drop.h"
#include "events/event_manager.h"
#include "events/progress_cache.h"
#include "events/registry.h"
#include "events/session_health.h"
#include "filter/black_list.h"
#include "filter/white_list.h"
#include "foundation/logger.h"
#include "platform/file_ops.h"
#include "platform/make_dirs.h"
#include "platform/session_root.h"
#include "platform/volume.h"
#include "store/event.h"
#include "store/file_event_db.h"
#include "store/filter_db.h"
#include "store/session_folders.h"
#include "sync/detector.h"
#include "sync/recycle.h"
#include "sync/worker.h"

namespace {
const char* const kChannel = "client_debug";

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

// The device the session's folder lay on when the session was first added, kept in
// its configuration folder: a daemon started while the folder is an empty mount
// point must see that it is not the folder it synchronises. 0 when it cannot be
// kept (the check is then only against the folder opened now).
uint64_t RecordedRootDevice(const ustring& config_path, uint64_t current) {
    const std::string file = config_path.str() + "/db/root-device";
    unsigned long long stored = 0;
    std::ifstream in(file);
    if (in >> stored && stored != 0) return stored;
    const std::string tmp = file + ".new";
    {
        // The daemon's own state: its user's alone, whatever the umask.
        const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return 0;
        const std::string text = std::to_string(current) + "\n";
        const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (::close(fd) != 0 || !written) return 0;
    }
    if (std::rename(tmp.c_str(), file.c_str()) != 0) {
        std::remove(tmp.c_str());
        return 0;
    }
    return current;
}

uint64_t OptionalSessionId(const PObject& request) {
    return request.hasMember("session_id") ? request["session_id"].asUInt64() : 0;
}

// Every registered session id, ascending; a snapshot, so that the walk does not
// depend on entries that disappear under it.
std::vector<uint64_t> RegisteredSessions() {
    std::vector<uint64_t> ids;
    Registry& registry = Registry::getInstance();
    Registry::Entry entry;
    if (registry.FindNext(0, entry) == 0) return ids;
    const uint64_t first = entry.sess_id;
    do {
        ids.push_back(entry.sess_id);
        if (registry.FindNext(entry.sess_id, entry) == 0) break;
    } while (entry.sess_id != first);
    return ids;
}

// The canonical form of an existing path (links resolved), else the path itself.
std::string Canonical(const ustring& path) {
    char* real = realpath(path.c_str_utf8(), nullptr);
    if (real == nullptr) return path.str();
    std::string out(real);
    free(real);
    return out;
}

// One folder is the other or lies inside it (paths canonical).
bool Overlaps(const std::string& a, const std::string& b) {
    auto inside = [](const std::string& inner, const std::string& outer) {
        if (outer == "/") return true;
        return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 && inner[outer.size()] == '/';
    };
    return a == b || inside(a, b) || inside(b, a);
}

// A registered session whose local folder or configuration folder is one of the new
// session's folders or lies inside or around one: adding another would wipe that
// session's working directory, share its event database, or synchronise one
// session's files (or database) through the other's view as well.
bool SharesFolders(const ustring& local_path, const ustring& config_path, uint64_t& other) {
    const std::string local = Canonical(local_path), config = Canonical(config_path);
    for (uint64_t id : RegisteredSessions()) {
        Registry::Entry entry;
        if (Registry::getInstance().Find(id, entry) == 0) continue;
        const std::string their_local = Canonical(entry.local_path), their_config = Canonical(entry.config_path);
        if (Overlaps(their_local, local) || Overlaps(their_config, config) || Overlaps(their_local, config) ||
            Overlaps(their_config, local)) {
            other = id;
            return true;
        }
    }
    return false;
}

// A folder path a request may hand to "add_session": absolute, without ".." parts
// and without NUL bytes. A relative one would depend on the daemon's working
// directory and ".." could lead out of the folder the user chose; both get folders
// created and a working directory wiped.
bool IsUsableFolderPath(const ustring& path) {
    const std::string& bytes = path.str();
    if (bytes.empty() || bytes[0] != '/' || bytes.find('\0') != std::string::npos) return false;
    size_t start = 1;
    while (start <= bytes.size()) {
        size_t slash = bytes.find('/', start);
        if (slash == std::string::npos) slash = bytes.size();
        if (bytes.compare(start, slash - start, "..") == 0) return false;
        start = slash + 1;
    }
    return true;
}

// An id, flag or time member: absent, or an integer (flags travel as 0 or 1). Any
// other kind would be read as something it does not say: a text id as 0, which means
// "every session" to pause and resume, and a text "sync_mode" such as "false" as true,
// which turns the first rescan's merge off and lets it remove server items.
bool IsIntegerOrAbsent(const PObject& request, const char* key) {
    return !request.hasMember(key) || request[key].isInteger();
}

bool IsStringOrAbsent(const PObject& request, const char* key) {
    return !request.hasMember(key) || request[key].isString();
}

// A path from the filter database that may be joined to the local folder.
bool IsSessionRelative(const ustring& path) {
    if (path.empty() || path[0] != '/') return false;
    uint32_t start = 1;
    while (start <= path.length()) {
        uint32_t slash = path.find('/', start);
        if (slash == ustring::npos) slash = path.length();
        const ustring part = path.substr(start, slash - start);
        if (part == "." || part == "..") return false;
        start = slash + 1;
    }
    return true;
}
}  // namespace

Detector* Nimbrel::get_detector() const {
    return task_count > kDetector ? static_cast<Detector*>(task[kDetector]) : nullptr;
}

std::vector<Worker*> Nimbrel::get_workers() const {
    std::vector<Worker*> workers;
    for (unsigned i = kFirstWorker; i < task_count; ++i) workers.push_back(static_cast<Worker*>(task[i]));
    return workers;
}

bool Nimbrel::is_dir(const ustring& path) {
    FILE_INFO info;
    return !path.empty() && FSStat(path, info) == FsResult::kOk && info.isExist && info.type == FT_DIR;
}

// The first key of an "add_session" request that is missing or of the wrong kind, as
// a sentence; empty when every key is usable.
static std::string AddSessionKeyProblem(const PObject& request) {
    for (const char* key : {"connection_id", "session_id", "view_id", "config_path", "sync_folder"}) {
        if (!request.hasMember(key)) return std::string("the key \"") + key + "\" is missing";
    }
    for (const char* key : {"session_id", "view_id", "node_id", "recursive", "create_time", "sync_mode"}) {
        if (!IsIntegerOrAbsent(request, key)) return std::string("\"") + key + "\" must be a number";
    }
    for (const char* key : {"config_path", "sync_folder", "remote_path"}) {
        if (!IsStringOrAbsent(request, key)) return std::string("\"") + key + "\" must be a text";
    }
    // Id 0 stands for "every session" in pause and resume.
    if (request["session_id"].asUInt64() == 0) return "\"session_id\" must not be 0";
    return std::string();
}

void Nimbrel::add_session(const PObject& request, PObject& reply) {
    const std::string problem = AddSessionKeyProblem(request);
    if (!problem.empty()) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Invalid parameters.\n");
        Refuse(reply, "Invalid parameters.", problem);
        return;
    }
    Session session;
    session.sess_id = request["session_id"].asUInt64();
    session.view_id = request["view_id"].asUInt64();
    session.node_id = request.hasMember("node_id") ? request["node_id"].asUInt64() : session.view_id;
    session.recursive = request.hasMember("recursive") ? request["recursive"].asBool() : true;
    session.config_path = request["config_path"].asString();
    session.local_path = request["sync_folder"].asString();
    session.remote_path = request.hasMember("remote_path") ? request["remote_path"].asString() : ustring();
    session.create_time = request.hasMember("create_time") ? request["create_time"].asUInt32() : 0;
    const bool do_merge = !(request.hasMember("sync_mode") && request["sync_mode"].asBool());
    if (!IsUsableFolderPath(session.config_path) || !IsUsableFolderPath(session.local_path)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "session %llu: folders must be absolute paths without '..' ('%s', '%s')\n",
                ull(session.sess_id), session.local_path.c_str_utf8(), session.config_path.c_str_utf8());
        Refuse(reply, "Invalid parameters.", "folders must be absolute paths without '..'");
        return;
    }
    // The event database in the synchronised folder would be uploaded on every change
    // it records, and a removal from the server would take it away.
    if (Overlaps(Canonical(session.local_path), Canonical(session.config_path))) {
        NLOG_AT(L_ERR, kChannel, "app.cpp",
                "session %llu: the local folder '%s' and the configuration folder '%s' overlap\n", ull(session.sess_id),
                session.local_path.c_str_utf8(), session.config_path.c_str_utf8());
        Refuse(reply, "Invalid parameters.",
               "the folder " + session.local_path.str() + " and its configuration folder " + session.config_path.str() +
                   " overlap");
        return;
    }

    Registry::Entry existing;
    if (Registry::getInstance().Find(session.sess_id, existing) != 0) {
        // Replacing it would leave the old entry's objects and watch behind.
        NLOG_AT(L_ERR, kChannel, "app.cpp", "session %llu already exists, not added\n", ull(session.sess_id));
        Refuse(reply, "Session already exists.", "session " + std::to_string(session.sess_id) + " is in use");
        return;
    }

    NLOG_AT(L_INFO, kChannel, "app.cpp", "rescan syncfolder for session '%llu' do_merge[%d].\n", ull(session.sess_id),
            do_merge ? 1 : 0);
    std::string why;
    if (!create_registry_entry(session, do_merge, &why)) {
        NLOG_AT(L_WARNING, kChannel, "app.cpp", "session %llu is not added, failed to create registry entry\n",
                ull(session.sess_id));
        Refuse(reply, "Failed to create registry entry.", why);
    }
}

bool Nimbrel::create_registry_entry(const Session& requested, bool do_merge, std::string* why) {
    const uint64_t sess_id = requested.sess_id;
    std::string ignored;
    std::string& reason = why != nullptr ? *why : ignored;
    Detector* detector = get_detector();
    if (detector == nullptr) {
        reason = "the daemon is not linked";
        return false;
    }

    // The folder is resolved once, here: a sync folder given as a link to a directory
    // is synchronised beneath that directory, and every file operation of the session
    // goes through this root, never through a link.
    std::shared_ptr<const SessionRoot> root;
    if (!SessionRoot::Open(requested.local_path, root)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "local watch folder (%s) is not a directory\n",
                requested.local_path.c_str_utf8());
        reason = "the folder " + requested.local_path.str() + " does not exist or is not a directory";
        return false;
    }
    Session session = requested;
    session.local_path = root->path();

    uint64_t other = 0;
    if (SharesFolders(session.local_path, session.config_path, other)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "session %llu uses the folders of session %llu, not added\n", ull(sess_id),
                ull(other));
        Registry::Entry theirs;
        Registry::getInstance().Find(other, theirs);
        reason = "the folder " + session.local_path.str() + " overlaps the folder " + theirs.local_path.str() +
                 " of session " + std::to_string(other);
        return false;
    }

    // Shared with every registry copy a task takes; a failure below frees them here.
    std::shared_ptr<FileEventDB> event_db = Registry::MakeEventDB();
    auto black_list = std::make_shared<BlackList2>();
    auto white_list = std::make_shared<WhiteListCpp>();

    if (!create_session_environment(*root, session.config_path)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to initiailize session environment for sesion %llu\n",
                ull(sess_id));
        reason = "cannot prepare the configuration folder " + session.config_path.str() +
                 " or the working directory in " + session.local_path.str();
        return false;
    }
    NLOG_AT(L_DEBUG, kChannel, "app.cpp", "session environment of session %llu is done\n", ull(sess_id));

    if (event_db->initialize(session_folders::EventDBFile(session.config_path)) != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to initiailize event database for session %llu\n", ull(sess_id));
        reason = "cannot open the event database in " + session.config_path.str();
        return false;
    }
    // The recycle folder was kept; its index must say what it holds.
    uint32_t oldest_recycled = 0;
    if (recycle::Reconcile(*root, *event_db, static_cast<uint32_t>(time(nullptr)), oldest_recycled) != 0) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to reconcile the recycle folder of session %llu\n", ull(sess_id));
        reason = "cannot reconcile the recycle folder with its index in " + session.config_path.str();
        return false;
    }
    const ustring black_path = session_folders::BlackListFile(session.config_path);
    if (!black_list->Load(black_path)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to load black list filter for session %llu\n", ull(sess_id));
        reason = "cannot read the black list " + black_path.str();
        return false;
    }
    if (!white_list->Load(session_folders::WhiteListFile(session.config_path))) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to load white list filter for session %llu\n", ull(sess_id));
        reason = "cannot read the white list in " + session.config_path.str();
        return false;
    }
    if (detector->AddWatch(session.local_path, sess_id) != 0) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to add watch for session %llu at '%s'\n", ull(sess_id),
                session.local_path.c_str_utf8());
        reason = "cannot watch " + session.local_path.str() + " for changes";
        return false;
    }

    Registry::Entry entry;
    entry.sess_id = sess_id;
    entry.view_id = session.view_id;
    entry.node_id = session.node_id;
    entry.recursive = session.recursive;
    entry.local_path = session.local_path;
    entry.root = root;
    entry.root_dev = RecordedRootDevice(session.config_path, root->device());
    entry.remote_path = session.remote_path;
    entry.config_path = session.config_path;
    entry.black_list = black_list;
    entry.white_list = white_list;
    entry.event_db = event_db;
    entry.recycle_time = oldest_recycled;
    entry.isMSDOS = IsMSDOS(session.local_path);
    // Registered paused: it is synchronised only after "resume".
    entry.pause = true;
    Registry::getInstance().Set(entry);

    // From here on the session stays registered; failures are only logged.
    uint64_t sync_id = 0;
    if (event_db->getSyncId(sync_id) != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to get sync_id for session %llu\n", ull(sess_id));
        return true;
    }
    NLOG_AT(L_DEBUG, kChannel, "app.cpp", "reload_filter for session '%llu', current sync_id [%llu]\n", ull(sess_id),
            ull(sync_id));
    std::set<uint64_t> queued;
    if (!reload_filter(sess_id, sync_id, black_path, session.local_path, &queued)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "failed to reload_filter for session '%llu'.\n", ull(sess_id));
        return true;
    }
    // The conditions the reconciliation just stored are queued already.
    if (!load_resume_condition(sess_id, queued)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to load_resume_condition for session '%llu'.\n", ull(sess_id));
        return true;
    }
    EventManager::getInstance().IssueRescan(sess_id, "/", do_merge);
    NLOG_AT(L_INFO, kChannel, "app.cpp", "Folder '%s' is ready (with view %llu at %s)\n",
            session.local_path.c_str_utf8(), ull(session.view_id), session.remote_path.c_str_utf8());
    return true;
}

bool Nimbrel::create_session_environment(const SessionRoot& root, const ustring& config_path) {
    if (!is_dir(config_path)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "local config folder (%s) is not a directory\n", config_path.c_str_utf8());
        return false;
    }
    // The databases and signatures describe the user's files: only the user reads them.
    if (!MakePrivateDir(session_folders::SignFolder(config_path).str()) || !MakePrivateDir((config_path + "/db").str()))
        return false;

    // Scratch files go permanently, not to the trash; the recycle folder stays, so
    // that what was removed or replaced stays restorable across restarts.
    if (recycle::ClearWorkingDirectory(root) != 0) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to create recycle bin directory.\n");
        return false;
    }
    return true;
}

bool Nimbrel::load_resume_condition(uint64_t sess_id, const std::set<uint64_t>& already_queued) {
    std::list<std::pair<uint64_t, ResumeCondition>> conditions;
    if (FilterDB::getInstance().getResumeConditionsBySession(sess_id, conditions) != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to get resume condition for session '%llu'\n", ull(sess_id));
        return false;
    }
    for (const auto& [row_id, condition] : conditions) {
        if (already_queued.count(row_id) != 0) continue;
        NLOG_AT(L_INFO, kChannel, "app.cpp", "Add row_id '%llu' to progress_cache.\n", ull(row_id));
        ProgressCache::getInstance().addProgressEntry(row_id, condition);
    }
    return true;
}

void Nimbrel::reload_session(const PObject& request, PObject& reply) {
    if (!request.hasMember("session_id")) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Invalid parameter\n.");
        Refuse(reply, "Invalid parameter", "the key \"session_id\" is missing");
        return;
    }
    const uint64_t sess_id = request["session_id"].asUInt64();
    Registry::Entry entry;
    if (Registry::getInstance().Find(sess_id, entry) == 0) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "invalid session %llu, stop reload\n", ull(sess_id));
        Refuse(reply, "Invalid session.", "no session " + std::to_string(sess_id));
        return;
    }
    if (!entry.pause) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "reload session %llu without pause, stop reload\n", ull(sess_id));
        Refuse(reply, "Reload session without puase", "session " + std::to_string(sess_id) + " must be paused first");
        return;
    }

    const ustring black_path = session_folders::BlackListFile(entry.config_path);
    const ustring white_path = session_folders::WhiteListFile(entry.config_path);
    // Each file is read on the side first: a file that cannot be read must not leave
    // the session with an emptied list, which would let everything through.
    {
        BlackList2 probe;
        if (!probe.Load(black_path)) {
            NLOG_AT(L_ERR, kChannel, "app.cpp", "failed to reload black list filter for sesion %llu\n", ull(sess_id));
            reply["error"] = "Failed to load black list.";
            return;
        }
    }
    {
        WhiteListCpp probe;
        if (!probe.Load(white_path)) {
            NLOG_AT(L_ERR, kChannel, "app.cpp", "failed to reload white klist filter for sesion %llu\n", ull(sess_id));
            reply["error"] = "Failed to load white list.";
            return;
        }
    }
    if (!entry.black_list->Load(black_path)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "failed to reload black list filter for sesion %llu\n", ull(sess_id));
        reply["error"] = "Failed to load black list.";
        return;
    }
    if (!entry.white_list->Load(white_path)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "failed to reload white klist filter for sesion %llu\n", ull(sess_id));
        reply["error"] = "Failed to load white list.";
        return;
    }

    uint64_t sync_id = 0;
    if (entry.event_db->getSyncId(sync_id) != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to get sync_id for session %llu\n", ull(sess_id));
        reply["error"] = "Failed to get current sync_id.";
        return;
    }
    NLOG_AT(L_INFO, kChannel, "app.cpp", "Reload session (%llu), current sync_id [%llu]\n", ull(sess_id), ull(sync_id));
    if (!reload_filter(sess_id, sync_id, black_path, entry.local_path)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "failed to reload_filter for sess (%llu)\n", ull(sess_id));
        reply["error"] = "Failed to reload filter.";
        return;
    }
    reload_local_events(sess_id);
}

void Nimbrel::reload_local_events(uint64_t sess_id) {
    NLOG_AT(L_INFO, kChannel, "app.cpp", "reload local filtered events from database for session '%llu'\n",
            ull(sess_id));
    Registry::Entry entry;
    if (Registry::getInstance().Find(sess_id, entry) == 0) return;

    std::set<FilterLocalEvent> items;
    if (FilterDB::getInstance().dumpLocalFilteredEvent(sess_id, items) != DbResult::kOk) {
        NLOG_AT(L_WARNING, kChannel, "app.cpp", "failed to dump resume items for session '%llu'... \n", ull(sess_id));
        items.clear();
    }
    EventManager& manager = EventManager::getInstance();
    for (const FilterLocalEvent& item : items) {
        if (!IsSessionRelative(item.path)) {
            NLOG_AT(L_WARNING, kChannel, "app.cpp", "ignoring filtered item '%s' of session '%llu'\n",
                    item.path.c_str_utf8(), ull(sess_id));
            continue;
        }
        Event event;
        event.m_type = Event::EV_CREATE;
        event.m_path = item.path;
        event.m_data_hash = item.file_checksum;
        event.m_data_size = item.file_size;
        event.m_sess_id = sess_id;
        if (item.file_type == 1) event.setDir();
        FILE_INFO info;
        const FsResult stat_rc = entry.root ? entry.root->Stat(item.path, info) : FsResult::kFailed;
        if (stat_rc == FsResult::kOk && info.isExist && info.type == FT_SLINK) entry.root->NoteLink(item.path);
        if (stat_rc == FsResult::kLink || (stat_rc == FsResult::kOk && info.isExist && info.type == FT_SLINK)) {
            continue;  // a link inside the session is not synchronised
        }
        if (stat_rc != FsResult::kOk) {
            // Not knowing is not missing: fetching it could replace the local item.
            NLOG_AT(L_WARNING, kChannel, "app.cpp", "cannot examine filtered item '%s' of session '%llu'\n",
                    item.path.c_str_utf8(), ull(sess_id));
            continue;
        }
        if (stat_rc == FsResult::kOk && info.isExist) {
            manager.PushLocalEvent(event);  // still here: upload it
        } else {
            event.setServerEvent();  // gone locally: fetch it
            event.m_sync_id = Event::kForcedSyncId;
            manager.PushServerEvent(event);
        }
    }
}

void Nimbrel::remove_session(const PObject& request, PObject& reply) {
    if (request.hasMember("session_id")) {
        remove_one_session(request["session_id"].asUInt64(), reply);
        return;
    }
    // Each session is tried once; one that is running is reported and left alone.
    for (uint64_t sess_id : RegisteredSessions()) remove_one_session(sess_id, reply);
}

bool Nimbrel::remove_one_session(uint64_t sess_id, PObject& reply) {
    NLOG_AT(L_INFO, kChannel, "app.cpp", "remove_one_session '%llu'.\n", ull(sess_id));
    Registry::Entry entry;
    if (Registry::getInstance().Find(sess_id, entry) == 0) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "invalid session %llu, stop remove\n", ull(sess_id));
        Refuse(reply, "Invalid session.", "no session " + std::to_string(sess_id));
        return false;
    }
    if (!entry.pause) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "remove session %llu without pause, stop remove\n", ull(sess_id));
        Refuse(reply, "Remove session without puase", "session " + std::to_string(sess_id) + " must be paused first");
        return false;
    }
    Registry::getInstance().Clear(sess_id);
    SessionHealth::getInstance().Forget(sess_id);
    if (Detector* detector = get_detector()) detector->RemoveWatch(sess_id);

    // Every queued resume condition of it goes too, including ones whose stored row is
    // gone already; the stored ones are queued again when the session is added again.
    ProgressCache::getInstance().rmSessionEntries(sess_id);
    NLOG_AT(L_INFO, kChannel, "app.cpp", "session '%llu' is removed.\n", ull(sess_id));
    return true;
}

void Nimbrel::pause(const PObject& request, PObject& reply) {
    if (!IsIntegerOrAbsent(request, "session_id")) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "pause: invalid session id %s\n",
                request["session_id"].toString().c_str_utf8());
        Refuse(reply, "Invalid parameters", "\"session_id\" must be a number");
        return;
    }
    const uint64_t sess_id = OptionalSessionId(request);
    pauseRegistry(sess_id);
    drop_session(sess_id);
}

void Nimbrel::resume(const PObject& request, PObject& reply) {
    if (!IsIntegerOrAbsent(request, "session_id")) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "resume: invalid session id %s\n",
                request["session_id"].toString().c_str_utf8());
        Refuse(reply, "Invalid parameters", "\"session_id\" must be a number");
        return;
    }
    resumeRegistry(OptionalSessionId(request));
}

namespace {
void SetPause(uint64_t sess_id, bool pause) {
    Registry& registry = Registry::getInstance();
    auto one = [&](uint64_t id) {
        // Only the flag: a copy written back whole would undo what a task changed
        // meanwhile (its recycle_time).
        if (registry.SetPause(id, pause) == 0) return;
        if (pause)
            NLOG_AT(L_INFO, kChannel, "app.cpp", "pause session %llu\n", ull(id));
        else
            NLOG_AT(L_INFO, kChannel, "app.cpp", "resume session %llu\n", ull(id));
    };
    if (sess_id != 0) {
        one(sess_id);
        return;
    }
    for (uint64_t id : RegisteredSessions()) one(id);
}
}  // namespace

void Nimbrel::pauseRegistry(uint64_t sess_id) { SetPause(sess_id, true); }

void Nimbrel::resumeRegistry(uint64_t sess_id) { SetPause(sess_id, false); }

void Nimbrel::drop_session(uint64_t sess_id) { drop_session_workers(get_workers(), sess_id); }
