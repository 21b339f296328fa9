#include "wire/ssl_channel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "foundation/error_codes.h"
#include "protocol_loopback.h"
#include "wire/abort_later.h"
#include "wire/object.h"
#include "wire/stream.h"

namespace {

namespace fs = std::filesystem;

class SslChannel : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = fs::temp_directory_path() / ("nimbrel-ssl-" + std::to_string(getpid()));
        fs::create_directories(dir);
        cert = (dir / "server.crt").string();
        key = (dir / "server.key").string();
        ASSERT_EQ(SSLMakeSelfSignedCertificate(cert.c_str(), key.c_str()), 0);
        SetCERTPath(cert);
        SetPriKeyPath(key);
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }

    // Upgrades both ends of a connected pair; the server side runs on its own thread.
    void Upgrade(ChannelPair& p, int* server_rc) {
        std::thread t([&] { *server_rc = p.server->ConvertToSSLChannel(true); });
        client_rc = p.client->ConvertToSSLChannel(false);
        t.join();
    }

    static fs::path dir;
    static std::string cert, key;
    int client_rc = -100;
};

fs::path SslChannel::dir;
std::string SslChannel::cert, SslChannel::key;

TEST_F(SslChannel, KeyFileIsPrivateAndFingerprintIsStable) {
    EXPECT_EQ(fs::status(key).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
    std::string fp = SSLCertificateFileFingerprint(cert.c_str());
    EXPECT_EQ(fp.size(), 64u);
    EXPECT_EQ(fp, SSLCertificateFileFingerprint(cert.c_str()));
    EXPECT_TRUE(SSLCertificateFileFingerprint((dir / "missing.crt").c_str()).empty());
}

TEST_F(SslChannel, UpgradeCarriesLargeValuesBothWays) {
    ChannelPair p;
    ASSERT_TRUE(p.Connect());
    int server_rc = -100;
    Upgrade(p, &server_rc);
    ASSERT_EQ(client_rc, 0);
    ASSERT_EQ(server_rc, 0);
    EXPECT_TRUE(SSLChannelIsEncrypted(*p.client));
    EXPECT_FALSE(p.client->IsClosed());

    std::string peer;
    ASSERT_TRUE(SSLChannelPeerFingerprint(*p.client, peer));
    EXPECT_EQ(peer, SSLCertificateFileFingerprint(cert.c_str()));
    // The server asked for no client certificate.
    EXPECT_FALSE(SSLChannelPeerFingerprint(*p.server, peer));

    // Strings larger than a TLS record and a map spanning several buffers.
    PObject big;
    for (int i = 0; i < 40; ++i)
        big[ustring(("k" + std::to_string(i)).c_str())] = ustring(std::string(60000, 'a' + i % 26).c_str());
    PObject got;
    std::thread sender([&] {
        PStream out;
        EXPECT_EQ(out.Send(*p.client, big), StreamResult::kOk);
    });
    PStream in;
    p.server->SetTimeout(30);
    ASSERT_EQ(in.Recv(*p.server, got), StreamResult::kOk);
    sender.join();
    EXPECT_EQ(got, big);

    PObject back;
    back["ok"] = 1;
    std::thread replier([&] {
        PStream out;
        EXPECT_EQ(out.Send(*p.server, back), StreamResult::kOk);
    });
    PObject echo;
    PStream in2;
    ASSERT_EQ(in2.Recv(*p.client, echo), StreamResult::kOk);
    replier.join();
    EXPECT_EQ(echo["ok"].asUInt32(), 1u);

    // A second upgrade changes nothing.
    EXPECT_EQ(p.client->ConvertToSSLChannel(false), 0);
    EXPECT_TRUE(SSLChannelIsEncrypted(*p.client));

    // Closing sends the alert, closes the socket and leaves the channel plain.
    EXPECT_EQ(p.client->Close(), 0);
    EXPECT_TRUE(p.client->IsClosed());
    EXPECT_FALSE(SSLChannelIsEncrypted(*p.client));
    uint8_t b;
    p.server->SetTimeout(10);
    EXPECT_NE(p.server->ReadByte(&b), 0);
}

TEST_F(SslChannel, HandshakeWithoutAnswerTimesOut) {
    ChannelPair p;
    ASSERT_TRUE(p.Connect());  // the server side never speaks
    p.client->SetTimeout(2);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p.client->ConvertToSSLChannel(false), ERR_IO);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(secs, 1.5);
    EXPECT_LT(secs, 20.0);
    EXPECT_FALSE(p.client->IsClosed());
    EXPECT_FALSE(SSLChannelIsEncrypted(*p.client));
    // Still a usable plain socket: the caller decides to close it.
    EXPECT_GE(p.client->GetFd(), 0);
}

TEST_F(SslChannel, AbortFlagEndsAStalledHandshake) {
    ChannelPair p;
    ASSERT_TRUE(p.Connect());
    std::atomic<int> flag{0};
    p.client->SetFlag(&flag);
    p.client->SetTimeout(120);
    AbortLater stopper(flag);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p.client->ConvertToSSLChannel(false), ERR_IO);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    stopper.join();
    p.client->SetFlag(nullptr);
}

TEST_F(SslChannel, GarbageInsteadOfAHandshakeFails) {
    ChannelPair p;
    ASSERT_TRUE(p.Connect());
    std::thread junk([&] {
        const char text[] = "HTTP/1.1 400 Bad Request\r\n\r\n";
        p.server->Write(text, sizeof text - 1);
        p.server->FlushWrite(0);
    });
    p.client->SetTimeout(10);
    EXPECT_EQ(p.client->ConvertToSSLChannel(false), ERR_IO);
    junk.join();
    EXPECT_FALSE(SSLChannelIsEncrypted(*p.client));
}

TEST_F(SslChannel, ServerWithoutCertificateFails) {
    SetCERTPath((dir / "nope.crt").string());
    ChannelPair p;
    ASSERT_TRUE(p.Connect());
    EXPECT_EQ(p.server->ConvertToSSLChannel(true), ERR_IO);
    SetCERTPath(cert);
    EXPECT_FALSE(SSLChannelIsEncrypted(*p.server));
}

TEST_F(SslChannel, ClosedChannelCannotBeUpgraded) {
    Channel ch(81920);
    EXPECT_EQ(ch.ConvertToSSLChannel(false), ERR_IO);
    std::string fp;
    EXPECT_FALSE(SSLChannelPeerFingerprint(ch, fp));
}

TEST_F(SslChannel, UnreadPlainBytesRefuseTheUpgrade) {
    ChannelPair p;
    ASSERT_TRUE(p.Connect());
    // The peer sends two bytes; the reader takes one and leaves the other buffered.
    ASSERT_EQ(p.server->Write("xy", 2), 0);
    ASSERT_EQ(p.server->FlushWrite(0), 0);
    p.client->SetTimeout(10);
    ASSERT_EQ(p.client->ReadMore(2), 0);
    uint8_t b;
    ASSERT_EQ(p.client->ReadByte(&b), 0);
    p.client->SetTimeout(30);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p.client->ConvertToSSLChannel(false), ERR_IO);
    // Refused at once, not after waiting for a handshake.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(SSLChannelIsEncrypted(*p.client));
}

}  // namespace
