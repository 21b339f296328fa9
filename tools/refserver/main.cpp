// nimbrel-refserver: the reference storage server for tests and demos.
#include <fcntl.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "options.h"
#include "platform/socket.h"
#include "ref_connection.h"
#include "storage.h"
#include "wire/ssl_channel.h"

namespace {
constexpr int kMaxConnections = 256;
std::atomic<int> g_open_connections{0};

// Whether cert and key are a certificate and the private key that belongs to it. A
// server that was stopped, even killed, starts again with the certificate its clients
// pinned; a pair cut short while it was being written is made anew.
bool CertificatePairUsable(const std::string& cert_path, const std::string& key_path) {
    FILE* f = fopen(cert_path.c_str(), "r");
    X509* cert = f ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
    if (f) fclose(f);
    f = fopen(key_path.c_str(), "r");
    EVP_PKEY* key = f ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
    if (f) fclose(f);
    const bool usable = cert && key && X509_check_private_key(cert, key) == 1;
    EVP_PKEY_free(key);
    X509_free(cert);
    return usable;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        fputs(ServerUsage(), stdout);
        return 0;
    }
    ServerOptions opts;
    std::string error;
    if (ParseServerOptions(argc, argv, &opts, &error) != 0) {
        fprintf(stderr, "nimbrel-refserver: %s\n%s", error.c_str(), ServerUsage());
        return 2;
    }
    // A client that disappears must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    if (opts.cut_min != 0 && !opts.has_fault_seed) {
        opts.fault_seed = (static_cast<uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
        opts.has_fault_seed = true;
    }
    if (opts.cut_min != 0)
        fprintf(stderr, "fault seed %llu (--fault-seed repeats the draws)\n", (unsigned long long)opts.fault_seed);

    // The storage holds every synchronised file: folders 0700, files 0600, whatever
    // the umask, and a root made earlier with wider bits is closed too.
    umask(077);
    static Storage storage;
    if (storage.Open(opts.root) != 0) {
        fprintf(stderr, "nimbrel-refserver: %s\n", storage.error().c_str());
        return 1;
    }
    chmod(storage.root().c_str(), 0700);
    // One server per storage: a second one would hand out the same sync ids twice.
    // The lock belongs to the open file and ends with the process.
    const std::string lock_path = storage.root() + "/server.lock";
    const int lock_fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock_fd < 0 || flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
        fprintf(stderr, "nimbrel-refserver: %s\n",
                lock_fd < 0 ? ("cannot open " + lock_path + ": " + strerror(errno)).c_str()
                            : ("another nimbrel-refserver uses the storage " + storage.root()).c_str());
        return 1;
    }
    const std::string tls = storage.root() + "/tls";
    mkdir(tls.c_str(), 0700);
    const std::string cert = tls + "/server.crt", key = tls + "/server.key";
    if (!CertificatePairUsable(cert, key) && SSLMakeSelfSignedCertificate(cert.c_str(), key.c_str()) != 0) {
        fprintf(stderr, "nimbrel-refserver: cannot make the server certificate in %s\n", tls.c_str());
        return 1;
    }
    SetCERTPath(cert);
    SetPriKeyPath(key);

    SOCKET lsock = SockCreateTcp();
    if (lsock < 0 || SockSetReuseAddress(lsock) != 0 || SockBindLoopback(lsock, opts.port) != 0 ||
        SockListen(lsock, 64) != 0) {
        fprintf(stderr, "nimbrel-refserver: cannot listen on 127.0.0.1:%d: %s\n", opts.port,
                SockErrorText(SockLastError()));
        return 1;
    }
    printf("listening on 127.0.0.1:%d\n", SockLocalPort(lsock));
    printf("certificate sha256 %s\n", SSLCertificateFileFingerprint(cert.c_str()).c_str());
    fflush(stdout);
    if (opts.relay.enabled) return RunRelay(lsock, opts.relay);

    static const ServerOptions& shared = opts;
    uint64_t number = 0;
    for (;;) {
        SOCKET fd = SockAccept(lsock);
        if (fd < 0) {
            if (SockWouldBlock(SockLastError())) continue;
            fprintf(stderr, "nimbrel-refserver: accept: %s\n", SockErrorText(SockLastError()));
            // Out of descriptors and the like: give the open connections time to end.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        ++number;
        SockSetNoDelay(fd, true);  // answers are small and each one is waited for
        // A test server has no business holding thousands of threads.
        if (g_open_connections.load() >= kMaxConnections) {
            fprintf(stderr, "conn %llu: too many connections, closed\n", (unsigned long long)number);
            CloseSocket(fd);
            continue;
        }
        ++g_open_connections;
        std::thread([fd, number] {
            {
                RefConnection conn(shared, storage, fd, number);
                conn.Serve();
            }
            --g_open_connections;
        }).detach();
    }
}
