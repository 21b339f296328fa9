#include "wire/ssl_channel.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "foundation/mutex.h"
#include "platform/socket.h"
#include "wire/channel.h"

namespace {

const char* kLog = "channel_debug";

std::string Hex(const unsigned char* d, unsigned n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (unsigned i = 0; i < n; ++i) {
        s.push_back(digits[d[i] >> 4]);
        s.push_back(digits[d[i] & 15]);
    }
    return s;
}

}  // namespace

void log_ssl() {
    unsigned long e;
    char text[256];
    while ((e = ERR_get_error()) != 0) {
        ERR_error_string_n(e, text, sizeof text);
        NLOG_AT(L_WARNING, kLog, "channel.cpp", "ssl-errors: %s\n", text);
    }
}

int SSLReadFd(void* ctx, char* buf, unsigned len, const timeval& wait) {
    SSL* ssl = (SSL*)ctx;
    if (len == 0) {
        NLOG_AT(L_WARNING, kLog, "channel.cpp", "ReadFd: request 0\n");
        return ERR_INVAL;
    }
    if (!ssl) return ERR_IO;
    int held = SSL_pending(ssl);
    if (held > 0) {
        int want = (unsigned)held < len ? held : (int)len;
        int n = SSL_read(ssl, buf, want);
        if (n <= 0) {
            NLOG_AT(L_WARNING, kLog, "channel.cpp", "Diagnose: SSL_read failed\n");
            log_ssl();
            return ERR_IO;
        }
        NLOG_AT(L_DEBUG, kLog, "channel.cpp", "ReadFd: read %d bytes\n", n);
        return n;
    }
    int fd = SSL_get_fd(ssl);
    int w = SockWaitReady(fd, false, wait);
    if (w < 0) {
        int err = SockLastError();
        NLOG_AT(L_WARNING, kLog, "channel.cpp", "select: [%d] %s\n", err, SockErrorText(err));
        return ERR_IO;
    }
    if (w == 0) return ERR_TIMEOUT;
    int cap = len > 0x7FFFFFFFu ? 0x7FFFFFFF : (int)len;
    int n = SSL_read(ssl, buf, cap);
    if (n > 0) {
        NLOG_AT(L_DEBUG, kLog, "channel.cpp", "ReadFd: read %d bytes\n", n);
        return n;
    }
    int e = SSL_get_error(ssl, n);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        // Only part of a record has arrived: report one empty wait so the caller
        // simply waits again.
        NLOG_AT(L_DEBUG, kLog, "channel.cpp", "SSL want read");
        return ERR_TIMEOUT;
    }
    log_ssl();
    return ERR_IO;
}

int SSLWriteFd(void* ctx, const char* buf, unsigned len, const timeval& wait) {
    SSL* ssl = (SSL*)ctx;
    if (!ssl) return ERR_IO;
    if (len == 0) return ERR_INVAL;
    int fd = SSL_get_fd(ssl);
    int w = SockWaitReady(fd, true, wait);
    if (w < 0) {
        NLOG_AT(L_WARNING, kLog, "channel.cpp", "select: %s\n", SockErrorText(SockLastError()));
        return ERR_IO;
    }
    if (w == 0) {
        NLOG_AT(L_DEBUG, kLog, "channel.cpp", "select: timeout\n");
        return ERR_TIMEOUT;
    }
    int cap = len > 0x7FFFFFFFu ? 0x7FFFFFFF : (int)len;
    ERR_clear_error();
    int n = SSL_write(ssl, buf, cap);
    if (n > 0) {
        NLOG_AT(L_DEBUG, kLog, "channel.cpp", "WriteFd: write %d bytes\n", n);
        return n;
    }
    int e = SSL_get_error(ssl, n);
    int err = errno;
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        NLOG_AT(L_DEBUG, kLog, "channel.cpp", "SSL want write\n");
        return ERR_TIMEOUT;
    }
    if (e == SSL_ERROR_SYSCALL) {
        NLOG_AT(L_WARNING, kLog, "channel.cpp", "syscall error: n = %d, ssl_ret = %d, errno = %d, err = %s\n", n, e,
                err, strerror(err));
        log_ssl();
        return ERR_SYS;
    }
    NLOG_AT(L_WARNING, kLog, "channel.cpp", "misc error: n = %d, ssl_ret = %d, errno = %d\n", n, e, err);
    log_ssl();
    return ERR_IO;
}

int ssl_channel_get_fd(void* ctx) { return ctx ? SSL_get_fd((SSL*)ctx) : -1; }

bool ssl_channel_is_invalid(void* ctx) { return ctx == nullptr; }

void ssl_channel_release(void* ctx) {
    SSL* ssl = (SSL*)ctx;
    NLOG_AT(L_DEBUG, kLog, "channel.cpp", "destroy ssl obj %p\n", ctx);
    if (!ssl) return;
    SSL_CTX* sctx = SSL_get_SSL_CTX(ssl);
    // The closing alert is best effort: the peer may be gone already, and a
    // non-blocking socket must not make this wait.
    SSL_shutdown(ssl);
    ERR_clear_error();
    SSL_free(ssl);
    SSL_CTX_free(sctx);
}

void ssl_channel_close(void* ctx) {
    SSL* ssl = (SSL*)ctx;
    if (!ssl) return;
    int fd = SSL_get_fd(ssl);
    ssl_channel_release(ctx);
    if (fd >= 0) {
        if (shutdown(fd, SHUT_RDWR) != 0)
            NLOG_AT(L_DEBUG, kLog, "channel.cpp", "Channel: shutdown: %s\n", strerror(errno));
        close(fd);
        NLOG_AT(L_DEBUG, kLog, "channel.cpp", "Channel: socket %d closed\n", fd);
    }
}

std::string SSLCertificateFingerprint(X509* cert) {
    if (!cert) return std::string();
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    if (X509_digest(cert, EVP_sha256(), md, &n) != 1) return std::string();
    return Hex(md, n);
}

std::string SSLCertificateFileFingerprint(const ustring& cert_path) {
    FILE* f = fopen(cert_path.c_str_utf8(), "r");
    if (!f) return std::string();
    X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    fclose(f);
    std::string hex = SSLCertificateFingerprint(cert);
    X509_free(cert);
    return hex;
}

int SSLMakeSelfSignedCertificate(const ustring& cert_path, const ustring& key_path) {
    int result = -1;
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    X509* cert = X509_new();
    FILE* f = nullptr;
    X509_NAME* name = nullptr;
    unsigned char serial[16];
    BIGNUM* bn = nullptr;
    if (!key || !cert) goto done;
    if (RAND_bytes(serial, sizeof serial) != 1) goto done;
    serial[0] &= 0x7F;
    bn = BN_bin2bn(serial, sizeof serial, nullptr);
    if (!bn || !BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert))) goto done;
    X509_set_version(cert, 2);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3650L * 24 * 3600);
    X509_set_pubkey(cert, key);
    name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char*)"127.0.0.1", -1, -1, 0);
    X509_set_issuer_name(cert, name);
    if (X509_sign(cert, key, EVP_sha256()) == 0) goto done;
    {
        // The key file is created for the owner only before anything is written to it.
        int fd = open(key_path.c_str_utf8(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) goto done;
        f = fdopen(fd, "w");
        if (!f) {
            close(fd);
            goto done;
        }
        bool ok = PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
        if (fclose(f) != 0) ok = false;
        f = nullptr;
        if (!ok) goto done;
    }
    f = fopen(cert_path.c_str_utf8(), "w");
    if (!f) goto done;
    if (PEM_write_X509(f, cert) != 1) {
        fclose(f);
        goto done;
    }
    if (fclose(f) != 0) goto done;
    result = 0;
done:
    if (result != 0) log_ssl();
    BN_free(bn);
    X509_free(cert);
    EVP_PKEY_free(key);
    return result;
}

// ---------------------------------------------------------------------------
// Operation table, set-up and the upgrade of a channel.

namespace {

Mutex g_path_lock;
std::string g_cert_path GUARDED_BY(g_path_lock) = "/usr/varnel/etc/ssl/ssl.crt/server.crt";
std::string g_key_path GUARDED_BY(g_path_lock) = "/usr/varnel/etc/ssl/ssl.key/server.key";

// Reaches the channel's protected operation table from outside the class: a
// pointer to a protected member taken in a derived class is valid for any Channel.
struct ChannelOpsAccess : Channel {
    static tag_CHANNEL_OPS Channel::*Ops() { return &ChannelOpsAccess::m_ops; }
    static bool Channel::*IsSSL() { return &ChannelOpsAccess::m_isSSL; }
};

}  // namespace

void InstallSSLOps(tag_CHANNEL_OPS& ops) {
    ops.read = SSLReadFd;
    ops.write = SSLWriteFd;
    ops.get_fd = ssl_channel_get_fd;
    ops.close = ssl_channel_close;
    ops.isInvalid = ssl_channel_is_invalid;
}

void SetCERTPath(const std::string& path) {
    MutexLock g(g_path_lock);
    g_cert_path = path;
}

void SetPriKeyPath(const std::string& path) {
    MutexLock g(g_path_lock);
    g_key_path = path;
}

std::string GetCERTPath() {
    MutexLock g(g_path_lock);
    return g_cert_path;
}

std::string GetPriKeyPath() {
    MutexLock g(g_path_lock);
    return g_key_path;
}

bool InstallCERT(SSL* ssl) {
    std::string path = GetCERTPath();
    if (SSL_use_certificate_file(ssl, path.c_str(), SSL_FILETYPE_PEM) != 1) {
        log_ssl();
        NLOG_AT(L_WARNING, kLog, "channel.cpp", "Install certificate failed\n");
        return false;
    }
    return true;
}

bool InstallPriKey(SSL* ssl) {
    std::string path = GetPriKeyPath();
    if (SSL_use_PrivateKey_file(ssl, path.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_check_private_key(ssl) != 1) {
        log_ssl();
        NLOG_AT(L_WARNING, kLog, "channel.cpp", "Install private key failed\n");
        return false;
    }
    return true;
}

void DeinitSSL(SSL*& ssl, SSL_CTX*& ctx, bool quiet) {
    if (ssl) {
        if (quiet)
            SSL_set_quiet_shutdown(ssl, 1);
        else
            SSL_shutdown(ssl);
        ERR_clear_error();
        SSL_free(ssl);
    }
    if (ctx) SSL_CTX_free(ctx);
    ssl = nullptr;
    ctx = nullptr;
}

bool InitSSL(SSL*& ssl, SSL_CTX*& ctx, bool isServer) {
    ssl = nullptr;
    ctx = SSL_CTX_new(isServer ? TLS_server_method() : TLS_client_method());
    if (!ctx) {
        NLOG_AT(L_WARNING, kLog, "channel.cpp", "m_ssl_ctx created failed\n");
        log_ssl();
        DeinitSSL(ssl, ctx, true);
        return false;
    }
    // Old protocol versions and broken suites are refused; the library's default
    // suites are used. The client does not check the certificate chain: servers
    // with self-signed certificates are the norm, and a pinned fingerprint is
    // checked after the handshake instead.
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    // Writes may be retried with a moved buffer: the channel's ring buffer hands
    // over the same bytes from wherever they are.
    SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
    ssl = SSL_new(ctx);
    if (!ssl) {
        NLOG_AT(L_WARNING, kLog, "channel.cpp", "m_ssl created failed\n");
        log_ssl();
        DeinitSSL(ssl, ctx, true);
        return false;
    }
    if (!isServer) {
        SSL_set_connect_state(ssl);
        return true;
    }
    if (!InstallCERT(ssl)) {
        NLOG_AT(L_WARNING, kLog, "channel.cpp", "Open: init ssl certificate failed\n");
        DeinitSSL(ssl, ctx, true);
        return false;
    }
    if (!InstallPriKey(ssl)) {
        NLOG_AT(L_WARNING, kLog, "channel.cpp", "Open: init ssl private key failed\n");
        DeinitSSL(ssl, ctx, true);
        return false;
    }
    SSL_set_accept_state(ssl);
    return true;
}

int SSLHandshake(SSL* ssl, const timeval& wait, unsigned channel_timeout, const std::atomic<int>* abort_flag,
                 std::atomic<int64_t>* waiting_since) {
    std::atomic<int64_t> unused{0};
    struct StallMark {
        std::atomic<int64_t>& since;
        ~StallMark() { since.store(0, std::memory_order_relaxed); }
    } stall{waiting_since ? *waiting_since : unused};
    int64_t last_progress = Channel::MonotonicMs();
    unsigned elapsed = 0;
    int fd = SSL_get_fd(ssl);
    for (;;) {
        ERR_clear_error();
        int r = SSL_do_handshake(ssl);
        if (r == 1) return 0;
        int e = SSL_get_error(ssl, r);
        bool for_write;
        if (e == SSL_ERROR_WANT_READ) {
            for_write = false;
        } else if (e == SSL_ERROR_WANT_WRITE) {
            for_write = true;
        } else {
            NLOG_AT(L_WARNING, kLog, "channel.cpp", "SSLHandshake: SSL error code: %d\n", e);
            log_ssl();
            return ERR_IO;
        }
        for (;;) {
            // A task being paused or stopped does not sit out the whole time-out.
            if (abort_flag && abort_flag->load() != 0) return ERR_INT;
            int w = SockWaitReady(fd, for_write, wait);
            if (w < 0) {
                NLOG_AT(L_WARNING, kLog, "channel.cpp", "SSLHandshake: select: Error Code: %d\n", SockLastError());
                return ERR_SYS;
            }
            if (w > 0) {
                NLOG_AT(L_DEBUG, kLog, "channel.cpp", "SSLHandshake: reset timeout\n");
                elapsed = 0;
                last_progress = Channel::MonotonicMs();
                stall.since.store(0, std::memory_order_relaxed);
                break;
            }
            int64_t none = 0;
            stall.since.compare_exchange_strong(none, last_progress, std::memory_order_relaxed);
            // A wait shorter than a second still counts one, so the limit is reached.
            elapsed += wait.tv_sec > 0 ? (unsigned)wait.tv_sec : 1;
            if (channel_timeout != 0 && elapsed >= channel_timeout) {
                NLOG_AT(L_WARNING, kLog, "channel.cpp",
                        "SSLHandshake: timed out during connect (%d seconds), "
                        "abort anyway\n",
                        (int)channel_timeout);
                return ERR_TIMEOUT;
            }
        }
    }
}

int Channel::ConvertToSSLChannel(bool isServer) {
    if (m_isSSL) {
        NLOG_AT(L_WARNING, kLog, "channel.cpp",
                "ConvertToSSLChannel: Channel is SSL channel, no need to be "
                "converted\n");
        return ERR_OK;
    }
    if (IsClosed()) return ERR_IO;
    SSL* ssl = nullptr;
    SSL_CTX* ctx = nullptr;
    if (!InitSSL(ssl, ctx, isServer)) {
        NLOG_AT(L_WARNING, kLog, "channel.cpp", "Open: init ssl failed\n");
        return ERR_IO;
    }
    // Anything still buffered for sending belongs to the plain part of the
    // conversation and must leave before the handshake.
    if (w_size != 0 && FlushWrite(0) != 0) {
        DeinitSSL(ssl, ctx, true);
        return ERR_IO;
    }
    SOCKET fd = GetFd();
    if (SSL_set_fd(ssl, fd) != 1) {
        NLOG_AT(L_WARNING, kLog, "channel.cpp", "set fd failed\n");
        log_ssl();
        DeinitSSL(ssl, ctx, true);
        return ERR_IO;
    }
    // Bytes the peer sent after its plain reply are the start of its handshake;
    // they sit in the read buffer and cannot be handed to the library, so a peer
    // that does that is refused rather than misread.
    if (r_size != 0) {
        NLOG_AT(L_WARNING, kLog, "channel.cpp", "ConvertToSSLChannel: %u unread plain bytes before the handshake\n",
                (unsigned)r_size);
        DeinitSSL(ssl, ctx, true);
        return ERR_IO;
    }
    if (SSLHandshake(ssl, m_timeout, channel_timeout, flag, &waiting_since_ms) != 0) {
        NLOG_AT(L_WARNING, kLog, "channel.cpp", "Open to SSL connect to server failed\n");
        DeinitSSL(ssl, ctx, true);
        return ERR_IO;
    }
    // The SSL object now owns the socket and keeps a reference to its context,
    // which ssl_channel_close releases.
    delete static_cast<SOCKET*>(m_ops.context);
    m_ops.context = ssl;
    ctx = nullptr;
    SwitchChannelOp(CHANNEL_SSL_MODE);
    m_isSSL = true;
    return ERR_OK;
}

bool SSLChannelPeerFingerprint(Channel& channel, std::string& hex) {
    hex.clear();
    if (!SSLChannelIsEncrypted(channel)) return false;
    SSL* ssl = static_cast<SSL*>((channel.*ChannelOpsAccess::Ops()).context);
    if (!ssl) return false;
    X509* cert = SSL_get1_peer_certificate(ssl);
    if (!cert) return false;
    hex = SSLCertificateFingerprint(cert);
    X509_free(cert);
    return !hex.empty();
}

bool SSLChannelIsEncrypted(Channel& channel) { return channel.*ChannelOpsAccess::IsSSL(); }
