// Fuzzes the control requests of the application object. One Nimbrel is built and
// linked once, with its databases, system filter and log in a private temporary
// folder; every input is decoded into a few requests whose members have any kind and
// value, and each goes through send_message as a request from the loopback port
// would. Besides crashes, hangs and sanitizer reports it checks that nothing is
// created outside the private folder: every path the requests carry is confined to
// the subfolder "f" (relative ones are taken from there too, as the working
// directory is moved inside it while an input runs), a marker folder next to it
// must stay empty, and the user's files in the prepared session folders must stay.
//
// Input: a count byte, then per request an action byte, a member count byte and the
// members: a key byte, a kind byte and the bytes of the value. After each input the
// daemon returns to the same start (linked, without sessions or connection pool),
// so that an input behaves the same on replay.
#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "daemon/app.h"
#include "events/registry.h"
#include "foundation/logger.h"
#include "foundation/settings.h"
#include "wire/connection_pool.h"
#include "wire/object.h"

namespace {

std::string g_dir;   // the private folder
std::string g_root;  // g_dir + "/f": where request paths point
std::string g_cwd;   // three levels below g_root: relative paths and ".." stay inside
std::string g_home;  // the fuzzer's own working directory, where it keeps its corpus
Nimbrel* g_app = nullptr;

const char* const kActions[] = {"link",      "unlink", "add_session",     "reload_session",    "remove_session",
                                "pause",     "resume", "link_connection", "reload_connection", "unlink_connection",
                                "get_status"};
constexpr size_t kActionCount = sizeof kActions / sizeof kActions[0];

const char* const kKeys[] = {"session_id",    "connection_id", "view_id",         "node_id",         "config_path",
                             "sync_folder",   "remote_path",   "recursive",       "create_time",     "sync_mode",
                             "server_ip",     "server_port",   "session",         "connection_mode", "username",
                             "computer_name", "use_ssl",       "ssl_fingerprint", "use_proxy",       "use_sys_proxy",
                             "proxy_ip",      "proxy_port",    "proxy_username",  "proxy_password",  "proxy_domain",
                             "proxy_host",    "use_tunnel",    "tunnel_ip",       "tunnel_port",     "action"};
constexpr size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];

// Path parts the confined paths are built from: the prepared session folders, a
// regular file, and the parts that must never lead out of the folder.
const char* const kParts[] = {"s1", "s2", "sync", "config", "file", "..", ".", "", "d1", "new", "s1/sync", "s2/config"};
constexpr size_t kPartCount = sizeof kParts / sizeof kParts[0];

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t byte() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    uint64_t u64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = (v << 8) | byte();
        return v;
    }
    std::string bytes(size_t max) {
        size_t len = byte() % (max + 1);
        if (len > n) len = n;
        std::string s(reinterpret_cast<const char*>(p), len);
        p += len;
        n -= len;
        return s;
    }
};

int RemoveEntry(const char* p, const struct stat*, int, struct FTW*) {
    ::remove(p);
    return 0;
}

void Cleanup() {
    if (g_app != nullptr) g_app->kill();
    // NIMBREL_FUZZ_KEEP=1 keeps the folder and its log for a look after a replay.
    if (std::getenv("NIMBREL_FUZZ_KEEP") != nullptr) return;
    if (!g_dir.empty()) nftw(g_dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

void MakeSession(const std::string& root) {
    ::mkdir(root.c_str(), 0755);
    ::mkdir((root + "/sync").c_str(), 0755);
    ::mkdir((root + "/config").c_str(), 0755);
    ::mkdir((root + "/config/conf").c_str(), 0755);
    WriteFile(root + "/config/conf/blacklist.filter", "[Version]\nmajor = 1\nminor = 0\n[File]\nblack_ext = \"mkv\"\n");
    WriteFile(root + "/config/conf/whitelist.filter", "[Version]\nmajor = 1\nminor = 0\n");
    WriteFile(root + "/sync/hello.txt", "hello");
}

// The user's files in the prepared session folders: no request may lose one.
bool UserFilesKept() {
    for (const std::string& base : {g_root, g_cwd})
        for (const char* name : {"/s1/sync/hello.txt", "/s2/sync/hello.txt", "/s1/config/conf/blacklist.filter",
                                 "/s2/config/conf/whitelist.filter", "/file"}) {
            struct stat st;
            if (::lstat((base + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
        }
    return true;
}

// A folder of the private area that no request can name: it must stay empty.
bool OutsideUntouched() {
    DIR* d = ::opendir((g_dir + "/outside").c_str());
    if (d == nullptr) return false;
    int entries = 0;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") ++entries;
    }
    ::closedir(d);
    return entries == 0;
}

// A confined path: absolute under g_cwd or relative to it, at most three parts, so
// that even three ".." end in g_root.
PObject PathValue(Reader& in) {
    const uint8_t form = in.byte();
    std::string path = (form & 1) ? g_cwd : std::string();
    const int parts = 1 + (form >> 1) % 3;
    for (int i = 0; i < parts; ++i) {
        if (!path.empty() || i > 0) path += "/";
        const uint8_t which = in.byte();
        if (which < 0xF0) {
            path += kParts[which % kPartCount];
        } else {
            // One part of arbitrary bytes (NULs included), without a separator.
            std::string raw = in.bytes(8);
            for (char& c : raw)
                if (c == '/') c = '_';
            if (raw == "..") raw = "__";
            path += raw;
        }
    }
    if (form & 0x80) path += "/";
    return PObject(ustring(path));
}

PObject Value(Reader& in, const std::string& key, int depth);

PObject Scalar(Reader& in, uint8_t kind, const std::string& key) {
    switch (kind % 6) {
        case 0:
            return PObject();
        case 1:
            return PObject(static_cast<uint64_t>(in.byte() % 4));
        case 2:
            return PObject(in.u64());
        case 3: {
            std::string s = in.bytes(24);
            return PObject(ustring(s));
        }
        case 4: {
            PObject::binary_type b;
            b.offset = in.byte();
            b.length = in.byte();
            b.path = ustring(g_root + "/file");
            return PObject(b);
        }
        default:
            return PObject(key == "session_id" ? "1" : "true");
    }
}

PObject Value(Reader& in, const std::string& key, int depth) {
    const uint8_t kind = in.byte();
    // Addresses are only ever the loopback or no text: no name lookups, no traffic
    // leaving the machine.
    if (key == "server_ip" || key == "proxy_ip" || key == "tunnel_ip") {
        if (kind % 3 == 0) return PObject("127.0.0.1");
        if (kind % 3 == 1) return PObject("");
        return PObject(static_cast<uint64_t>(kind));
    }
    if ((key == "config_path" || key == "sync_folder") && kind < 0xC0) return PathValue(in);
    if (key == "server_port" || key == "proxy_port" || key == "tunnel_port") {
        // A closed port on the loopback: anything that connects is refused at once.
        static const uint64_t ports[] = {0, 1, 65536 + 1, 0x100000001ULL, ~0ULL};
        if (kind < 0xC0) return PObject(ports[kind % 5]);
    }
    if (depth < 2 && (kind & 0xF0) == 0xE0) {
        PObject arr;
        arr.asArray();
        const int count = in.byte() % 3;
        for (int i = 0; i < count; ++i) arr.asArray().push_back(Value(in, key, depth + 1));
        return arr;
    }
    if (depth < 2 && (kind & 0xF0) == 0xF0) {
        PObject map;
        map.asMap();
        const int count = in.byte() % 3;
        for (int i = 0; i < count; ++i) map[ustring(in.bytes(6))] = Value(in, key, depth + 1);
        return map;
    }
    return Scalar(in, kind, key);
}

void Send(const PObject& request) {
    PObject reply;
    if (g_app->send_message(request, reply) != AppResult::kOk) std::abort();
    if (!reply.isMap() || reply["ack"].asString() != "ok") std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/nimbrel-control-fuzz-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) std::abort();
    g_dir = tmpl;
    g_root = g_dir + "/f";
    g_cwd = g_root + "/d1/d2/d3";
    for (const std::string& d : {g_root, g_root + "/d1", g_root + "/d1/d2", g_cwd, g_dir + "/outside"})
        if (::mkdir(d.c_str(), 0755) != 0) std::abort();
    for (const std::string& base : {g_root, g_cwd}) {
        MakeSession(base + "/s1");
        MakeSession(base + "/s2");
        WriteFile(base + "/file", "not a folder");
    }
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) std::abort();
    g_home = cwd;
    std::free(cwd);

    WriteFile(g_dir + "/system.filter", "[Version]\nmajor = 1\nminor = 0\n");
    const std::string conf = g_dir + "/nimbreld.conf";
    WriteFile(conf, "fstat_db_path = \"" + g_dir + "/fstat.sqlite\"\nfilter_db_path = \"" + g_dir +
                        "/filter.sqlite\"\nsystem_filter_path = \"" + g_dir +
                        "/system.filter\"\nworker_count = 2\nui_port = 1\n");
    Settings::getInstance().reset();
    if (!Settings::getInstance().loadConfigSettings(conf.c_str())) std::abort();
    if (!Logger::Initialize(Logger::FILE_LOGGER, ustring(g_dir + "/log"), ustring(), 1)) std::abort();
    // Every request and reply is traced, so that their texts get formatted too.
    Logger::SetLevel(ustring("client_debug"), Logger::L_DEBUG);

    g_app = new Nimbrel();
    if (g_app->run() != AppResult::kOk) std::abort();
    PObject link;
    link["action"] = "link";
    PObject reply;
    if (g_app->send_message(link, reply) != AppResult::kOk || reply.hasMember("error")) std::abort();
    std::atexit(Cleanup);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    // Only while the requests run: the fuzzer itself writes its corpus relative to
    // its own directory.
    if (::chdir(g_cwd.c_str()) != 0) std::abort();
    const int count = 1 + in.byte() % 6;
    for (int r = 0; r < count && in.n > 0; ++r) {
        PObject request;
        request.asMap();
        const uint8_t a = in.byte();
        if (a < 0xE0) {
            request["action"] = kActions[a % kActionCount];
        } else if (a < 0xF0) {
            std::string text = in.bytes(12);
            if (text == "stop") text = "stopp";
            request["action"] = ustring(text);
        } else {
            request["action"] = Scalar(in, a, "action");
        }
        const int members = in.byte() % 10;
        for (int m = 0; m < members; ++m) {
            const uint8_t k = in.byte();
            std::string key = k < 0xF8 ? kKeys[k % kKeyCount] : in.bytes(8);
            if (key == "action") continue;  // the action was chosen above: never "stop"
            request[ustring(key)] = Value(in, key, 0);
        }
        Send(request);
        if (!OutsideUntouched() || !UserFilesKept()) std::abort();
    }
    // The same start for the next input: linked, no session, no connection pool.
    // Unlinking costs a tenth of a second per task, so it is done only when needed.
    if (g_pool != nullptr || !g_app->is_linked()) {
        PObject unlink, link;
        unlink["action"] = "unlink";
        link["action"] = "link";
        Send(unlink);
        PObject reply;
        if (g_app->send_message(link, reply) != AppResult::kOk || reply.hasMember("error")) std::abort();
    } else {
        PObject pause, remove;
        pause["action"] = "pause";
        remove["action"] = "remove_session";
        Send(pause);
        Send(remove);
    }
    if (Registry::getInstance().Size() != 0) std::abort();
    if (::chdir(g_home.c_str()) != 0) std::abort();
    return 0;
}
