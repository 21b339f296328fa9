// The relay token, the relay settings, the header checks, the relay handshake's verdict
// on scripted responses, refusals before anything is sent, and the proxy channel's
// socket being closed exactly once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "foundation/logger.h"
#include "loopback_pair.h"
#include "protocol_loopback.h"
#include "wire/http_text.h"
#include "wire/proxy_channel.h"
#include "wire/proxy_tunnel_channel.h"
#include "wire/ssl_channel.h"
#include "wire/tunnel_channel.h"
#include "wire/tunnel_token.h"

namespace {

namespace fs = std::filesystem;

RelayKey Key(uint32_t mult = 0x41C64E6D, uint32_t inc = 12345) {
    RelayKey k;
    std::string problem;
    bool unset = false;
    EXPECT_TRUE(ParseRelayKey(std::to_string(mult), std::to_string(inc), "0123456789abcdef", &k, &problem, &unset));
    return k;
}

RelaySettings Relay() {
    RelaySettings r;
    r.key_multiplier = "0x41C64E6D";
    r.key_increment = "12345";
    r.iv = "0123456789ABCDEF";
    return r;
}

TunnelInfo TunnelTo(int port) {
    TunnelInfo t;
    t.use_tunnel = true;
    t.tunnel_ip = "127.0.0.1";
    t.tunnel_port = static_cast<uint16_t>(port);
    return t;
}

ProxyInfo ProxyAt(int port) {
    ProxyInfo p;
    p.use_proxy = true;
    p.proxy_ip = "127.0.0.1";
    p.proxy_port = static_cast<uint16_t>(port);
    return p;
}

bool Accepted(const LoopbackListener& l, int ms) { return RawReadable(l.fd, ms); }

TEST(RelayToken, TwelveCharacterTargetMakesA42ByteTokenThatDecrypts) {
    const char target[] = "10.0.0.1:443";  // 12 characters, encrypted with its zero byte
    unsigned char token[64];
    ASSERT_EQ(VARNELCryptoEncryptLength(13), 47u);
    size_t n = 0;
    ASSERT_TRUE(
        VARNELCryptoEncrypt(Key(), token, sizeof token, reinterpret_cast<const unsigned char*>(target), 13, &n));
    ASSERT_EQ(n, 42u);
    EXPECT_EQ(token[0], 0xFF);
    EXPECT_EQ(token[1], 0xFF);
    EXPECT_EQ(token[2], 0x00);
    EXPECT_EQ(token[3], 0x01);
    EXPECT_EQ(std::memcmp(token + 20, "\0\0\0\x10", 4), 0);  // 16 bytes of ciphertext
    char text[57];
    EXPECT_TRUE(VARNELCryptoBase64Encode(text, sizeof text, token, 42, &n));
    EXPECT_EQ(n, 56u);
    EXPECT_EQ(std::strlen(text), 56u);
    EXPECT_EQ(std::strpbrk(text, "\r\n"), nullptr);

    unsigned char plain[64];
    ASSERT_TRUE(VARNELCryptoDecrypt(Key(), plain, sizeof plain, token, 42, &n));
    ASSERT_EQ(n, 13u);
    EXPECT_EQ(std::memcmp(plain, target, 13), 0);
    size_t other = 0;
    const bool decrypted = VARNELCryptoDecrypt(Key(0x41C64E6D, 1), plain, sizeof plain, token, 42, &other);
    EXPECT_TRUE(!decrypted || other != 13 || std::memcmp(plain, target, 13) != 0);
    token[0] = 0;
    EXPECT_FALSE(VARNELCryptoDecrypt(Key(), plain, sizeof plain, token, 42, &n));
}

TEST(RelayToken, BuffersAreNeverCut) {
    unsigned char token[64];
    const unsigned char in[13] = {};
    size_t n = 0;
    EXPECT_FALSE(VARNELCryptoEncrypt(Key(), token, 41, in, 13, &n));
    char text[56];  // one short of the 56 characters and the terminator
    EXPECT_FALSE(VARNELCryptoBase64Encode(text, sizeof text, token, 42, &n));
    EXPECT_STREQ(text, "");
}

TEST(RelayToken, KeySettingsAreCheckedByName) {
    struct Case {
        const char *mult, *inc, *iv, *problem;
        bool unset;
    } cases[] = {
        {"", "1", "0011223344556677", "relay_key_multiplier", true},
        {"12x", "1", "0011223344556677", "relay_key_multiplier", false},
        {"1", "4294967296", "0011223344556677", "relay_key_increment", false},
        {"1", "-1", "0011223344556677", "relay_key_increment", false},
        {"1", "0xFFFFFFFF", "", "relay_iv", true},
        {"1", "2", "00112233445566", "relay_iv", false},
        {"1", "2", "00112233445566zz", "relay_iv", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mult) + " " + c.inc + " " + c.iv);
        RelayKey k;
        std::string problem;
        bool unset = false;
        EXPECT_FALSE(ParseRelayKey(c.mult, c.inc, c.iv, &k, &problem, &unset));
        EXPECT_EQ(problem, c.problem);
        EXPECT_EQ(unset, c.unset);
    }
}

TEST(HttpText, StatusHeaderIsReadWhateverTheCase) {
    struct Case {
        const char* line;
        int result, number;
    } cases[] = {
        {"X-Target-Status: 0\r\n", 1, 0},
        {"x-target-status: 401\r\n", 1, 401},
        {"X-TARGET-STATUS:200", 1, 200},
        {"X-Target-Status: abc\r\n", -1, 0},
        {"X-Target-Status: \r\n", -1, 0},
        {"X-Target-Status: 12 34\r\n", -1, 0},
        {"X-Target-Status: 99999999999\r\n", -1, 0},
        {"X-Target-Statuses: 1\r\n", 0, 0},
        {"X-Target-Host: a\r\n", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        int n = -7;
        EXPECT_EQ(ParseNumericHeader(c.line, "X-Target-Status", &n), c.result);
        if (c.result == 1) {
            EXPECT_EQ(n, c.number);
        }
    }
    int code = 0;
    EXPECT_TRUE(ParseHttpStatusLine("HTTP/1.1 101 Switching Protocols\r\n", &code));
    EXPECT_EQ(code, 101);
    EXPECT_TRUE(ParseHttpStatusLine("HTTP/1.0 407\r\n", &code));
    EXPECT_FALSE(ParseHttpStatusLine("HTTP/1.1 20 OK\r\n", &code));
    EXPECT_FALSE(ParseHttpStatusLine("X-Target-Status: 200\r\n", &code));
    EXPECT_TRUE(IsSafeHeaderHost(std::string(255, 'a').c_str()));
    EXPECT_FALSE(IsSafeHeaderHost(std::string(256, 'a').c_str()));
    EXPECT_FALSE(IsSafeHeaderHost("a\r\nb"));
    EXPECT_FALSE(IsSafeHeaderHost(""));
}

// A relay on loopback that answers every handshake with one scripted response.
class ScriptedRelay : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = fs::temp_directory_path() / ("nimbrel-relay-" + std::to_string(getpid()));
        fs::create_directories(dir);
        ASSERT_EQ(SSLMakeSelfSignedCertificate((dir / "r.crt").c_str(), (dir / "r.key").c_str()), 0);
        SetCERTPath((dir / "r.crt").string());
        SetPriKeyPath((dir / "r.key").string());
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }

    // Opens a tunnel channel against a relay sending `response`; Open's result.
    int OpenAgainst(const std::string& response, std::string* request = nullptr) {
        LoopbackListener relay;
        std::string seen;
        std::thread t([&] {
            std::unique_ptr<Channel> ch = relay.Accept();
            if (!ch || ch->ConvertToSSLChannel(true) != 0) return;
            char c;
            while (seen.size() < 4 || seen.compare(seen.size() - 4, 4, "\r\n\r\n") != 0) {
                if (ch->Read(&c, 1) != 0) return;
                seen.push_back(c);
            }
            if (response.empty()) return;  // hang up
            if (ch->Write(response.data(), response.size()) != 0 || ch->FlushWrite(0) != 0) return;
            while (ch->Read(&c, 1) == 0) {
            }
        });
        TunnelChannel tunnel(TunnelTo(relay.port), Relay());
        tunnel.SetTimeout(3);
        int rc = tunnel.Open("127.0.0.1", 4242);
        tunnel.Close();
        t.join();
        if (request) *request = seen;
        return rc;
    }

    static fs::path dir;
};
fs::path ScriptedRelay::dir;

TEST_F(ScriptedRelay, OnlyAnAcceptingStatusOpens) {
    const std::string long_line = "X-Padding: " + std::string(1023 - 11, 'p');
    struct Case {
        const char* name;
        std::string response;
        int rc;
    } cases[] = {
        {"101 without status header", "HTTP/1.1 101 Switching Protocols\r\n\r\n", 0},
        {"200 with status 0", "HTTP/1.1 200 OK\r\nX-Target-Status: 0\r\n\r\n", 0},
        {"101 with status 200", "HTTP/1.1 101 Up\r\nX-Target-Status: 200\r\n\r\n", 0},
        {"continuation piece is not a header", "HTTP/1.1 101 Up\r\n" + long_line + "X-Target-Status: 401\r\n\r\n", 0},
        {"lower-case 401", "HTTP/1.1 101 Up\r\nx-target-status: 401\r\n\r\n", -2},
        {"unreadable number", "HTTP/1.1 101 Up\r\nX-Target-Status: yes\r\n\r\n", -2},
        {"502 without header", "HTTP/1.1 502 Bad Gateway\r\n\r\n", -2},
        {"no status line", "X-Target-Status: 0\r\n\r\n", -2},
        {"nothing but a hang-up", "", -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(OpenAgainst(c.response), c.rc);
    }
}

TEST_F(ScriptedRelay, RequestNamesTheTargetAndCarriesAToken) {
    std::string request;
    ASSERT_EQ(OpenAgainst("HTTP/1.1 101 Up\r\n\r\n", &request), 0);
    EXPECT_EQ(request.rfind("GET /varnel-tunnel HTTP/1.1\r\nHost: 127.0.0.1:", 0), 0u) << request;
    EXPECT_NE(request.find("\r\nUpgrade: VarnelTunnel\r\nX-Target-Host: 127.0.0.1\r\nX-Target-Port: 4242\r\n"),
              std::string::npos);
    EXPECT_NE(request.find("\r\nX-AuthToken: "), std::string::npos);
}

// Unsafe targets and missing settings are refused before any connection is made.
TEST(TunnelRefusal, NothingIsSentForAnUnsafeHostOrMissingKey) {
    LoopbackListener peer;
    RelaySettings no_iv = Relay();
    no_iv.iv.clear();
    struct Case {
        const char* name;
        std::function<std::unique_ptr<Channel>()> make;
        std::string host;
        const char* log;
    } cases[] = {
        {"tunnel, CR LF", [&] { return std::make_unique<TunnelChannel>(TunnelTo(peer.port), Relay()); },
         "evil\r\nX-Target-Host: other", "refused target"},
        {"tunnel, 256 bytes", [&] { return std::make_unique<TunnelChannel>(TunnelTo(peer.port), Relay()); },
         std::string(256, 'h'), "refused target"},
        {"tunnel, relay_iv unset", [&] { return std::make_unique<TunnelChannel>(TunnelTo(peer.port), no_iv); },
         "127.0.0.1", "setting \"relay_iv\" is not set"},
        {"proxy, CR LF", [&] { return std::make_unique<ProxyChannel>(ProxyAt(peer.port)); }, "a\r\nb",
         "refused: unusable proxy"},
        {"proxy tunnel, CR LF",
         [&] { return std::make_unique<ProxyTunnelChannel>(ProxyAt(peer.port), TunnelTo(peer.port), Relay()); },
         "a\r\n", "refused target"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<Channel> ch = c.make();
        testing::internal::CaptureStderr();
        EXPECT_EQ(ch->Open(c.host.c_str(), 4242), -2);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find(c.log), std::string::npos) << log;
        EXPECT_TRUE(ch->IsClosed());
        EXPECT_FALSE(Accepted(peer, 50));
    }
}

// The proxy's socket goes back to the proxy layer once: a descriptor that reuses its
// number afterwards stays open when the channel is closed again and destroyed.
TEST(ProxyChannelClose, ClosesTheSocketExactlyOnce) {
    LoopbackListener proxy;
    std::string request;
    std::thread t([&] {
        SOCKET s = SockAccept(proxy.fd);
        if (s < 0) return;
        char c;
        while (request.size() < 4 || request.compare(request.size() - 4, 4, "\r\n\r\n") != 0) {
            if (::recv(s, &c, 1, 0) != 1) break;
            request.push_back(c);
        }
        RawSend(s, std::vector<unsigned char>{'H', 'T', 'T', 'P', '/', '1',  '.',  '1',  ' ',  '2',
                                              '0', '0', ' ', 'O', 'K', '\r', '\n', '\r', '\n', 'x'});
        RawRecvAll(s, 2000);
        ::close(s);
    });
    auto ch = std::make_unique<ProxyChannel>(ProxyAt(proxy.port));
    ASSERT_EQ(ch->Open("server.example", 443), 0);
    // The byte after the proxy's reply belongs to the target, not to the reply.
    char first = 0;
    EXPECT_EQ(ch->Read(&first, 1), 0);
    EXPECT_EQ(first, 'x');
    int fd = ch->GetFd();
    EXPECT_EQ(ch->Close(), 0);
    EXPECT_TRUE(ch->IsClosed());
    int reused = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(reused, 0);
    ch->Close();
    ch.reset();
    EXPECT_NE(::fcntl(reused, F_GETFD), -1)
        << "descriptor " << reused << " (was the proxy socket " << fd << ") was closed behind its owner";
    ::close(reused);
    t.join();
    EXPECT_EQ(request.rfind("CONNECT server.example:443 HTTP/1.1\r\nHost: server.example:443\r\n", 0), 0u) << request;
}

}  // namespace
