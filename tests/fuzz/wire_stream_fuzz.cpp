// Fuzzes the receiving side of the value stream: the input bytes arrive on a
// Channel over a socket pair and PStream::Recv reads one value from them. Received
// binaries land in a private temporary folder that is emptied after every input.
// Besides crashes and sanitizer reports it checks that every received binary names
// a file inside that folder whose size matches the length the value reports, and
// that a value received whole re-encodes and reads back to the same value.
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "foundation/logger.h"
#include "wire/stream.h"

namespace {

// Inputs up to this size are written before reading starts; larger ones are fed
// by a thread, since the socket pair cannot hold them.
constexpr size_t kDirectLimit = 64 * 1024;

void RemoveFolders();

std::string& RecvDir() {
    static std::string* dir = nullptr;
    if (!dir) {
        char tmpl[] = "/tmp/nimbrel-stream-fuzz-XXXXXX";
        if (!mkdtemp(tmpl)) {
            std::perror("mkdtemp");
            std::abort();
        }
        dir = new std::string(tmpl);
        // Log to a file in a sibling folder, with the per-value trace switched on
        // so that its formatting of received texts is exercised too.
        std::string log_dir = *dir + "-log";
        if (::mkdir(log_dir.c_str(), 0700) != 0 ||
            !Logger::Initialize(Logger::FILE_LOGGER, ustring(log_dir + "/log"), ustring(), 1)) {
            std::perror("log folder");
            std::abort();
        }
        Logger::SetLevel(ustring("stream"), Logger::L_DEBUG);
        std::atexit(RemoveFolders);
    }
    return *dir;
}

void EmptyDir(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        ::unlink((dir + "/" + name).c_str());
    }
    ::closedir(d);
}

void RemoveFolders() {
    std::string dir = RecvDir();
    EmptyDir(dir);
    ::rmdir(dir.c_str());
    Logger::Destroy();
    EmptyDir(dir + "-log");
    ::rmdir((dir + "-log").c_str());
}

bool SendAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
    std::abort();
}

// Binaries must stay in the receive folder and describe the bytes on disk.
void CheckBinaries(const PObject& v, const std::string& dir, bool* has_binary, bool* has_underscore_key) {
    switch (v.getType()) {
        case PObject::TYPE_BINARY: {
            *has_binary = true;
            const PObject::binary_type& b = v.asBinary();
            if (b.path.empty()) return;
            std::string path = b.path.c_str_utf8();
            if (path.compare(0, dir.size() + 1, dir + "/") != 0 || path.find('/', dir.size() + 1) != std::string::npos)
                Fail("received binary outside the receive folder", path);
            struct stat st {};
            if (::stat(path.c_str(), &st) != 0) Fail("received binary names no file", path);
            if (static_cast<uint64_t>(st.st_size) != b.length || b.offset != b.length)
                Fail("received binary length differs from its file", path);
            return;
        }
        case PObject::TYPE_ARRAY:
            for (const auto& e : v.asArray()) CheckBinaries(e, dir, has_binary, has_underscore_key);
            return;
        case PObject::TYPE_MAP:
            for (const auto& [key, member] : v.asMap()) {
                if (!key.empty() && key[0] == '_') *has_underscore_key = true;
                CheckBinaries(member, dir, has_binary, has_underscore_key);
            }
            return;
        default:
            return;
    }
}

// Receives one value from `size` bytes; the far end then stops sending.
StreamResult Receive(const uint8_t* data, size_t size, const std::string& dir, PObject& value) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) std::abort();
    Channel ch(PStream::kBufferSize);
    if (ch.Open(sv[0], true) != 0) std::abort();
    std::thread feeder;
    if (size <= kDirectLimit) {
        if (!SendAll(sv[1], data, size)) std::abort();
        ::shutdown(sv[1], SHUT_WR);
    } else {
        feeder = std::thread([&] {
            SendAll(sv[1], data, size);  // fails once the receiver gives up and closes
            ::shutdown(sv[1], SHUT_WR);
        });
    }
    PStream s;
    s.SetDefaultRecvLocation(ustring(dir));
    const StreamResult r = s.Recv(ch, value);
    ch.Close();  // unblocks the feeder
    if (feeder.joinable()) feeder.join();
    ::close(sv[1]);
    return r;
}

std::vector<uint8_t> Encode(const PObject& value) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) std::abort();
    Channel ch(PStream::kBufferSize);
    if (ch.Open(sv[0], true) != 0) std::abort();
    PStream s;
    const StreamResult r = s.Send(ch, value);
    ch.Close();
    if (r != StreamResult::kOk) Fail("a received value could not be sent", value.toString().c_str_utf8());
    std::vector<uint8_t> out;
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = ::recv(sv[1], buf, sizeof buf, 0);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    ::close(sv[1]);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& dir = RecvDir();
    {
        PObject value;
        const StreamResult r = Receive(data, size, dir, value);
        bool has_binary = false;
        bool has_underscore_key = false;
        CheckBinaries(value, dir, &has_binary, &has_underscore_key);
        // A leading "_" is dropped from keys on sending, so such values do not
        // round-trip; values with binaries would re-read the files just written.
        // The re-encoding is never longer than the input, so it fits the pair too.
        if (r == StreamResult::kOk && !has_binary && !has_underscore_key && size <= kDirectLimit) {
            std::vector<uint8_t> again = Encode(value);
            PObject back;
            if (Receive(again.data(), again.size(), dir, back) != StreamResult::kOk || !(back == value))
                Fail("re-encoded value reads back differently", value.toString().c_str_utf8());
        }
    }
    EmptyDir(dir);
    return 0;
}
