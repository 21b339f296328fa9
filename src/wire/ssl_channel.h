// SSL mode of a Channel: the upgrade of an open plain channel in place (as client or
// as server), the handshake with its no-progress time-out, the SSL operation table,
// the server's certificate and key, and certificate fingerprints.
//
// Channel::ConvertToSSLChannel is defined in ssl_channel.cpp; Channel::SwitchChannelOp
// installs the table below for CHANNEL_SSL_MODE.
#pragma once

#include <openssl/ssl.h>
#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "foundation/ustring.h"

class Channel;
struct tag_CHANNEL_OPS;

// The SSL operation table (context = the SSL connection object).
void InstallSSLOps(tag_CHANNEL_OPS& ops);
int SSLReadFd(void* ssl, char* buf, unsigned len, const timeval& wait);
int SSLWriteFd(void* ssl, const char* buf, unsigned len, const timeval& wait);
int ssl_channel_get_fd(void* ssl);
void ssl_channel_close(void* ssl);
// As ssl_channel_close, but the socket stays open for its owner.
void ssl_channel_release(void* ssl);
bool ssl_channel_is_invalid(void* ssl);

// Makes the context and the connection object (client: TLS 1.2 or newer, the
// library's default ciphers, no certificate check; server: also the certificate
// and key set below). True, or false with nothing left allocated.
[[nodiscard]] bool InitSSL(SSL*& ssl, SSL_CTX*& ctx, bool isServer);
// Runs the handshake; the limit is channel_timeout seconds without progress (0: none).
// 0, -2 (refused or broken), -3 (wait failed), -9 (timed out), -1 (abort_flag set).
// waiting_since, when given, holds from when the peer kept the handshake waiting
// (monotonic milliseconds; 0 while it moves and after the return), for a status.
int SSLHandshake(SSL* ssl, const timeval& wait, unsigned channel_timeout, const std::atomic<int>* abort_flag = nullptr,
                 std::atomic<int64_t>* waiting_since = nullptr);
// Frees both objects and nulls them; quiet skips the closing alert.
void DeinitSSL(SSL*& ssl, SSL_CTX*& ctx, bool quiet);
// Load the server certificate / private key (PEM) into a connection. True on success.
[[nodiscard]] bool InstallCERT(SSL* ssl);
[[nodiscard]] bool InstallPriKey(SSL* ssl);
// Process-wide certificate and key paths for server mode (set once at start-up).
void SetCERTPath(const std::string& path);
void SetPriKeyPath(const std::string& path);
std::string GetCERTPath();
std::string GetPriKeyPath();

// Drains the library's error queue into the log, one line per entry.
void log_ssl();

// Makes a fresh key and a self-signed certificate for 127.0.0.1 and writes both as
// PEM (the key readable by the owner only). 0 or -1.
int SSLMakeSelfSignedCertificate(const ustring& cert_path, const ustring& key_path);
// SHA-256 of a certificate (DER) as 64 lower-case hex digits; empty when unreadable.
std::string SSLCertificateFingerprint(X509* cert);
std::string SSLCertificateFileFingerprint(const ustring& cert_path);
// Fingerprint of the certificate the peer presented on an upgraded channel: true with
// hex set, false when there is none.
[[nodiscard]] bool SSLChannelPeerFingerprint(Channel& channel, std::string& hex);
// True when the channel runs the SSL table.
bool SSLChannelIsEncrypted(Channel& channel);
