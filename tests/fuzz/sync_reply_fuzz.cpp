// Fuzzes what the sync engine does with server replies. Every input is the byte
// stream a server sends on one connection: the connection is one end of a socket
// pair, lent from a pool of one as already set up, and the other end writes the
// input and reads whatever the client sends. On it the server event puller pulls
// once (its events go to the event manager), then one worker carries out the queued
// events, each exchange reading the next reply from the same stream. A connection
// that breaks is reconnected to a loopback port that refuses at once, so nothing
// waits and no traffic leaves the process.
//
// Each input starts from the same scratch session: a few known files with their
// rows in a fresh event database, a link to a sentinel folder beside the session,
// and an empty working directory for the process. After it, nothing outside the
// session folder may have changed: the sentinel keeps its one file, no entry appears
// beside the session, its configuration folder or in the working directory. And the
// content of the one file that was never uploaded is still somewhere in the folder.
//
// Input: a flags byte, then the server's bytes. Flag bit 0 runs the puller first;
// bit 1 queues an upload of the local file "/up.txt"; bit 2 queues a remote removal
// of "/gone.txt" (known to the database, gone locally).
//
// NIMBREL_REPLY_RECORD=DIR with NIMBREL_REFSERVER=BIN records the seeds instead:
// the same scenarios against the real reference server, through a relay that keeps
// what the server sends after the connection was set up.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "delta/error_output.h"
#include "delta/simple_file_reader.h"
#include "events/event_manager.h"
#include "events/registry.h"
#include "foundation/logger.h"
#include "foundation/settings.h"
#include "store/file_event_db.h"
#include "store/file_status_db.h"
#include "store/filter_db.h"
#include "sync/proto_sites.h"
#include "sync/syncer.h"
#include "sync/worker.h"
#include "wire/channel.h"
#include "wire/connection_pool.h"
#include "wire/protocol.h"

namespace {

enum Flags : uint8_t { kPull = 1, kUpload = 2, kRemoveRemote = 4 };
constexpr uint64_t kSession = 1;
constexpr uint64_t kView = 7;
constexpr time_t kTime = 1700000000;
constexpr int kPasses = 8;

std::string g_dir;      // D: holds only s/, outside/ and cwd/
std::string g_sync;     // D/s/sync: the session folder
std::string g_config;   // D/s/config
std::string g_outside;  // D/outside: the sentinel folder
std::string g_cwd;      // D/cwd: the working directory while an input runs
std::string g_aux;      // log, template database, process-wide databases
std::string g_home;
int g_refuser = -1;  // a bound, never listening socket: connects to it are refused
int g_refused_port = 0;
PoolSlot g_slot;

// The process's services with the fuzzer's own pool slot.
SyncServices FuzzServices() {
    SyncServices s = SyncServices::Process();
    s.pool = &g_slot;
    return s;
}

struct LocalFile {
    const char* path;
    const char* content;
};
const LocalFile kFiles[] = {{"/a.txt", "alpha content\n"}, {"/dir/b.txt", "bravo\n"}, {"/up.txt", "upload me\n"}};

void Fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "%s %s\n", what, detail.c_str());
    std::abort();
}

int RemoveEntry(const char* p, const struct stat*, int, struct FTW*) {
    ::remove(p);
    return 0;
}
void RemoveTree(const std::string& dir) { nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    utimbuf t{kTime, kTime};
    ::utime(path.c_str(), &t);
}

std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> out;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return {"<unreadable>"};
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") out.insert(name);
    }
    ::closedir(d);
    return out;
}

std::string Md4(const std::string& file) {
    ustring hex;
    SimpleFileReader r;
    r.setFile(file);
    r.setHashString(hex);
    if (r.readFile() != DeltaResult::kDone) Fail("cannot hash", file);
    return hex.str();
}

ClientFileEventInfo Row(const std::string& path, bool dir, uint64_t sync_id, const std::string& content,
                        const std::string& hash) {
    ClientFileEventInfo row;
    row.fileType = dir ? 1 : 0;
    row.isExist = 1;
    row.fileModTime = static_cast<uint32_t>(kTime);
    row.syncID = sync_id;
    row.maxSyncID = sync_id;
    row.fileSize = dir ? 0 : content.size();
    row.fileCheckSum = hash;
    row.path = path;
    row.baseName = path.substr(path.rfind('/') + 1);
    return row;
}

// The session folder as every input finds it.
void ResetFolder() {
    RemoveTree(g_sync);
    if (::mkdir(g_sync.c_str(), 0755) != 0 || ::mkdir((g_sync + "/dir").c_str(), 0755) != 0) Fail("mkdir", g_sync);
    for (const LocalFile& f : kFiles) WriteFile(g_sync + f.path, f.content);
    utimbuf t{kTime, kTime};
    ::utime((g_sync + "/dir").c_str(), &t);
    if (::symlink("../../outside", (g_sync + "/link").c_str()) != 0) Fail("symlink");
}

// The template event database: rows for the known files and for "/gone.txt", which
// the folder does not hold.
void MakeTemplateDatabase() {
    ResetFolder();
    FileEventDB db;
    if (db.initialize(g_aux + "/template.sqlite") != DbResult::kOk) Fail("template database");
    auto put = [&db](const ClientFileEventInfo& row) {
        if (db.setEventInfo(row) != DbResult::kOk) Fail("template row");
    };
    put(Row("/a.txt", false, 1, kFiles[0].content, Md4(g_sync + "/a.txt")));
    put(Row("/dir", true, 2, "", ""));
    put(Row("/dir/b.txt", false, 2, kFiles[1].content, Md4(g_sync + "/dir/b.txt")));
    WriteFile(g_aux + "/gone", "gone\n");
    put(Row("/gone.txt", false, 3, "gone\n", Md4(g_aux + "/gone")));
    ::unlink((g_aux + "/gone").c_str());
    db.destroy();
}

void CopyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    if (!out) Fail("copy", to);
}

// A fresh session: the folder, a copy of the template database, the registry entry.
Registry::Entry ResetSession() {
    Registry::getInstance().Clear();  // closes the last input's database
    ResetFolder();
    RemoveTree(g_config);
    for (const std::string& d : {g_config, g_config + "/db"})
        if (::mkdir(d.c_str(), 0755) != 0) Fail("mkdir", d);
    const std::string db = g_config + "/db/event-db.sqlite";
    CopyFile(g_aux + "/template.sqlite", db);
    Registry::Entry e;
    e.sess_id = kSession;
    e.view_id = kView;
    e.recursive = true;
    if (!SessionRoot::Open(g_sync, e.root)) Fail("session root");
    e.local_path = e.root->path();
    e.remote_path = "/";
    e.config_path = g_config;
    e.event_db = Registry::MakeEventDB();
    if (e.event_db->initialize(db) != DbResult::kOk) Fail("event database");
    Registry::getInstance().Set(e);
    return e;
}

void PushLocal(const char* path, Event::Type type) {
    Event e;
    e.m_type = type;
    e.m_sess_id = kSession;
    e.m_path = path;
    EventManager::getInstance().PushLocalEvent(e);
}

// Nothing beside the session folder changed.
void CheckOutside() {
    if (Names(g_dir) != std::set<std::string>{"s", "outside", "cwd"}) Fail("an entry appeared beside the session");
    if (Names(g_dir + "/s") != std::set<std::string>{"sync", "config"}) Fail("an entry appeared beside the folder");
    if (Names(g_config) != std::set<std::string>{"db"}) Fail("an entry appeared in the configuration folder");
    if (Names(g_outside) != std::set<std::string>{"keep.txt"}) Fail("the sentinel folder changed");
    struct stat st {};
    if (::lstat((g_outside + "/keep.txt").c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 5)
        Fail("the sentinel file changed");
    std::ifstream in(g_outside + "/keep.txt", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    if (ss.str() != "keep\n") Fail("the sentinel file's content changed");
    if (!Names(g_cwd).empty()) Fail("a file appeared in the working directory");
}

// Whether some regular file below dir (never through a link) holds content.
bool HoldsContent(const std::string& dir, const std::string& content) {
    static const std::string* wanted = nullptr;
    static bool found = false;
    wanted = &content;
    found = false;
    nftw(
        dir.c_str(),
        [](const char* p, const struct stat* st, int type, struct FTW*) {
            if (type != FTW_F || !S_ISREG(st->st_mode) || static_cast<size_t>(st->st_size) != wanted->size()) return 0;
            std::ifstream in(p, std::ios::binary);
            std::stringstream ss;
            ss << in.rdbuf();
            found = ss.str() == *wanted;
            return found ? 1 : 0;
        },
        16, FTW_PHYS);
    return found;
}

// The queued work of one input: the puller once, then the worker's passes.
void RunScenario(uint8_t flags) {
    EventManager::getInstance().Clear();
    ResetSession();
    if (flags & kUpload) PushLocal("/up.txt", Event::EV_MODIFY);
    if (flags & kRemoveRemote) PushLocal("/gone.txt", Event::EV_REMOVE);
    if (flags & kPull) {
        Syncer puller(FuzzServices());
        puller.RunOnce();
    }
    {
        Worker worker(FuzzServices());
        for (int i = 0; i < kPasses && EventManager::getInstance().GetAllPendingEventCount(kSession) > 0; ++i)
            worker.RunOnce();
    }
    EventManager::getInstance().Clear();
    Registry::getInstance().Clear();
}

// The pool's one connection: on fd as confirmed (or closed when fd < 0).
void SetConnection(int fd) {
    ConnectionPool* pool = g_slot.get();
    Connection* conn = pool->pop();
    conn->Drop();
    if (fd >= 0) {
        if (conn->GetChannel()->Open(fd, true) != 0) Fail("channel");
        conn->Update(3600);
    }
    pool->push(conn);
}

// The server's end: writes the input, then reads what the client sends until the
// client closes.
void Serve(int fd, const uint8_t* data, size_t size) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    bool writing = true;
    char buf[65536];
    for (;;) {
        if (writing && size == 0) {
            ::shutdown(fd, SHUT_WR);
            writing = false;
        }
        pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, -1) < 0) break;
        if (writing && (p.revents & POLLOUT)) {
            const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
            if (n > 0) {
                data += n;
                size -= static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN) {
                writing = false;  // the client closed early
            }
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN)) break;
        }
    }
    ::close(fd);
}

// ---------------------------------------------------------------------------------------
// Recording the seeds

std::mutex g_rec_mutex;
std::string g_recorded;
std::atomic<bool> g_recording{false};

// Accepts one client at a time and relays it to the server at port; what the server
// sends while recording is on is kept.
void Relay(int listener, int port) {
    for (;;) {
        const int client = ::accept(listener, nullptr, nullptr);
        if (client < 0) return;
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Fail("relay connect");
        char buf[65536];
        for (bool open = true; open;) {
            pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) break;
            for (int i = 0; i < 2 && open; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
                if (n <= 0) {
                    open = false;
                    break;
                }
                if (i == 1 && g_recording) {
                    std::lock_guard<std::mutex> l(g_rec_mutex);
                    g_recorded.append(buf, static_cast<size_t>(n));
                }
                ::send(p[1 - i].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
            }
        }
        ::close(client);
        ::close(server);
    }
}

int Listen(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        Fail("bind");
    port = ntohs(a.sin_port);
    return fd;
}

// One scenario through the relay: the connection is set up first (not recorded),
// then everything the server sends is kept as the seed `name`.
void RecordSeed(const std::string& out, const std::string& name, uint8_t flags) {
    ConnectionPool* pool = g_slot.get();
    {
        ResetSession();
        ConnectionLease lease(*pool, nullptr);
        if (RequestChannel(SyncerSite(), lease.get(), *pool, kView) != 0) Fail("connect through the relay");
    }
    g_recording = true;
    RunScenario(flags);
    g_recording = false;
    std::lock_guard<std::mutex> l(g_rec_mutex);
    std::ofstream(out + "/" + name, std::ios::binary | std::ios::trunc) << static_cast<char>(flags) << g_recorded;
    g_recorded.clear();
}

// Changes the server without recording: the files are put into the session folder
// and uploaded (or removed there and on the server), then the session is reset.
void ServerChange(const std::vector<LocalFile>& put, const std::vector<const char*>& removed) {
    ConnectionPool* pool = g_slot.get();
    const Registry::Entry session = ResetSession();
    {
        ConnectionLease lease(*pool, nullptr);
        if (RequestChannel(SyncerSite(), lease.get(), *pool, kView) != 0) Fail("connect through the relay");
    }
    for (const LocalFile& f : put) {
        static_cast<void>(session.event_db->rmEventInfo(f.path));  // new to this client: uploaded whole
        WriteFile(g_sync + f.path, f.content);
        PushLocal(f.path, Event::EV_MODIFY);
    }
    for (const char* path : removed) {
        // Newer than anything the server holds, so that the server takes the removal.
        ClientFileEventInfo row;
        static_cast<void>(session.event_db->getEventInfo(path, row));
        row.syncID = row.maxSyncID = 1000;
        static_cast<void>(session.event_db->setEventInfo(row));
        ::unlink((g_sync + path).c_str());
        PushLocal(path, Event::EV_REMOVE);
    }
    Worker worker(FuzzServices());
    for (int i = 0; i < 3 * kPasses && EventManager::getInstance().GetAllPendingEventCount(kSession) > 0; ++i)
        worker.RunOnce();
    EventManager::getInstance().Clear();
    Registry::getInstance().Clear();
}

void Record(const std::string& out, const char* refserver) {
    const std::string root = g_aux + "/server";
    int from_server[2];
    if (::pipe(from_server) != 0) Fail("pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(from_server[1], 1);
        ::close(from_server[0]);
        execl(refserver, refserver, root.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(from_server[1]);
    FILE* in = ::fdopen(from_server[0], "r");
    char line[256];
    int server_port = 0;
    if (!std::fgets(line, sizeof line, in) || std::sscanf(line, "listening on 127.0.0.1:%d", &server_port) != 1)
        Fail("the reference server did not start");
    int relay_port = 0;
    const int listener = Listen(relay_port);
    if (::listen(listener, 4) != 0) Fail("listen");
    std::thread(Relay, listener, server_port).detach();

    ConnectionInfo info;
    info.server_ip = "127.0.0.1";
    info.server_port = relay_port;
    info.session = "token";
    info.conn_id = 1;
    info.computer_name = "fuzzbox";
    info.use_ssl = false;
    ProxyInfo proxy;
    TunnelInfo tunnel;
    ConnectionPool* old = g_slot.get();
    g_slot.set(new ConnectionPool(info, proxy, tunnel, 1));

    ::mkdir(out.c_str(), 0755);
    RecordSeed(out, "upload", kUpload);
    RecordSeed(out, "upload_remove", kUpload | kRemoveRemote);
    ServerChange({{"/srv.txt", "only on the server\n"}, {"/gone.txt", "gone\n"}, {"/a.txt", kFiles[0].content}}, {});
    RecordSeed(out, "pull_download", kPull);
    RecordSeed(out, "remove_remote", kRemoveRemote);
    ServerChange({{"/dir/c.txt", "charlie, a longer file that is sent whole\n"}}, {"/a.txt"});
    RecordSeed(out, "pull_remove", kPull);
    RecordSeed(out, "all", kPull | kUpload | kRemoveRemote);

    delete g_slot.get();
    g_slot.set(old);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    std::fclose(in);
}

void Cleanup() {
    delete g_slot.get();
    g_slot.set(nullptr);
    FileStatusDB::destroy();
    FilterDB::getInstance().destroy();
    if (std::getenv("NIMBREL_FUZZ_KEEP") != nullptr) return;
    RemoveTree(g_dir);
    RemoveTree(g_aux);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char shm[] = "/dev/shm/nimbrel-reply-fuzz-XXXXXX";
    char tmp[] = "/tmp/nimbrel-reply-fuzz-XXXXXX";
    char* d = ::mkdtemp(shm);
    if (d == nullptr) d = ::mkdtemp(tmp);
    if (d == nullptr) Fail("mkdtemp");
    g_dir = d;
    g_aux = g_dir + "-aux";
    g_sync = g_dir + "/s/sync";
    g_config = g_dir + "/s/config";
    g_outside = g_dir + "/outside";
    g_cwd = g_dir + "/cwd";
    for (const std::string& dir : {g_aux, g_dir + "/s", g_outside, g_cwd})
        if (::mkdir(dir.c_str(), 0755) != 0) Fail("mkdir", dir);
    WriteFile(g_outside + "/keep.txt", "keep\n");
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) Fail("getcwd");
    g_home = cwd;
    std::free(cwd);

    g_refuser = Listen(g_refused_port);
    WriteFile(g_aux + "/nimbreld.conf", "ui_port = " + std::to_string(g_refused_port) + "\n");
    Settings::getInstance().reset();
    if (!Settings::getInstance().loadConfigSettings(ustring(g_aux + "/nimbreld.conf"))) Fail("settings");
    if (!Logger::Initialize(Logger::FILE_LOGGER, ustring(g_aux + "/log"), ustring(), 1)) Fail("log");
    delta_set_error_output(nullptr);
    if (FileStatusDB::initialize(ustring(g_aux + "/fstat.sqlite")) != DbResult::kOk) Fail("file status database");
    if (FilterDB::getInstance().initialize(ustring(g_aux + "/filter.sqlite")) != DbResult::kOk) Fail("filter database");
    MakeTemplateDatabase();

    ConnectionInfo info;
    info.server_ip = "127.0.0.1";
    info.server_port = g_refused_port;
    info.session = "token";
    info.conn_id = 1;
    info.computer_name = "fuzzbox";
    info.use_ssl = false;
    ProxyInfo proxy;
    TunnelInfo tunnel;
    g_slot.set(new ConnectionPool(info, proxy, tunnel, 1));
    std::atexit(Cleanup);

    if (const char* out = std::getenv("NIMBREL_REPLY_RECORD")) {
        const char* refserver = std::getenv("NIMBREL_REFSERVER");
        if (refserver == nullptr) Fail("NIMBREL_REFSERVER names the reference server's program");
        Record(out, refserver);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) Fail("socketpair");
    std::thread server(Serve, sv[1], data + 1, size - 1);
    SetConnection(sv[0]);
    SetServerBuild(PROTO_OLD_SERVER_BUILD);
    if (::chdir(g_cwd.c_str()) != 0) Fail("chdir");
    RunScenario(flags);
    if (::chdir(g_home.c_str()) != 0) Fail("chdir");
    SetConnection(-1);  // the server's end sees the close and ends
    server.join();
    CheckOutside();
    // "/up.txt" was never synchronised: whatever the server says, its content stays
    // in the session folder (in place, under a conflict name or in the recycle folder).
    if (!HoldsContent(g_sync, kFiles[2].content)) Fail("the content of a file not yet uploaded was lost");
    return 0;
}
