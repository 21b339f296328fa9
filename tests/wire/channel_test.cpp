#include "wire/channel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "foundation/error_codes.h"
#include "wire/abort_later.h"
#include "wire/loopback_pair.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// A channel over one end of a loopback pair; the other end stays raw.
struct OpenChannel {
    explicit OpenChannel(unsigned capacity = 81920) : ch(capacity) {
        EXPECT_TRUE(pair.ok());
        EXPECT_EQ(ch.Open(pair.release_a(), true), 0);
    }
    LoopbackPair pair;
    Channel ch;
};

// Fills the peer's receive buffer and our send buffer until a flush stalls.
void FillUntilStalled(Channel& ch) {
    std::string block(65536, 'f');
    ch.SetTimeout(2);
    for (int i = 0; i < 10000; ++i) {
        if (ch.Write(block.data(), static_cast<unsigned>(block.size())) != 0) return;
    }
}

}  // namespace

TEST(ChannelIntegers, BigEndianOnTheWire) {
    OpenChannel c;
    ASSERT_EQ(c.ch.WriteInt32(0x01020304), 0);
    ASSERT_EQ(c.ch.WriteInt16(0xABCD), 0);
    ASSERT_EQ(c.ch.WriteByte(0x7F), 0);
    ASSERT_EQ(c.ch.WriteInt64(0x1122334455667788ull), 0);
    ASSERT_EQ(c.ch.FlushWrite(0), 0);
    c.ch.Close();
    EXPECT_EQ(RawRecvAll(c.pair.b),
              (Bytes{0x01, 0x02, 0x03, 0x04, 0xAB, 0xCD, 0x7F, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
}

TEST(ChannelIntegers, ReadsAssembleBigEndian) {
    OpenChannel c;
    ASSERT_TRUE(RawSend(c.pair.b, {0x12, 0x34, 0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0, 0, 0, 0, 0, 0, 0x02, 0x9A}));
    uint16_t v16 = 0;
    uint32_t v32 = 0;
    uint64_t v64 = 0;
    uint8_t v8 = 0;
    ASSERT_EQ(c.ch.ReadInt16(&v16), 0);
    EXPECT_EQ(v16, 0x1234);
    ASSERT_EQ(c.ch.ReadInt32(&v32), 0);
    EXPECT_EQ(v32, 0xDEADBEEFu);
    ASSERT_EQ(c.ch.ReadInt64(&v64), 0);
    EXPECT_EQ(v64, 0x0100000000000002ull);
    ASSERT_EQ(c.ch.ReadByte(&v8), 0);
    EXPECT_EQ(v8, 0x9A);

    // A failed read leaves the out-parameter alone.
    ::shutdown(c.pair.b, SHUT_WR);
    v32 = 77;
    EXPECT_EQ(c.ch.ReadInt32(&v32), ERR_IO);
    EXPECT_EQ(v32, 77u);

    EXPECT_EQ(c.ch.Convert(uint16_t{0x1234}), 0x3412);
    EXPECT_EQ(c.ch.Convert(uint32_t{0x01020304}), 0x04030201u);
    EXPECT_EQ(c.ch.Convert(uint64_t{0x0102030405060708ull}), 0x0807060504030201ull);
}

TEST(ChannelBuffers, WritesStayBufferedUntilRoomIsNeeded) {
    OpenChannel c(16);
    char block[16];
    std::memset(block, 'a', sizeof block);
    ASSERT_EQ(c.ch.Write(block, 16), 0);  // exactly the capacity: no I/O
    EXPECT_FALSE(RawReadable(c.pair.b, 200));
    ASSERT_EQ(c.ch.Write("b", 1), 0);  // one more byte makes room by sending
    EXPECT_TRUE(RawReadable(c.pair.b, 5000));
    char big[17] = {};
    EXPECT_EQ(c.ch.Write(big, 17), ERR_INVAL);  // larger than the buffer
    c.ch.Close();
    Bytes got = RawRecvAll(c.pair.b);
    ASSERT_EQ(got.size(), 17u);
    EXPECT_EQ(got.back(), 'b');
}

TEST(ChannelBuffers, RingWrapsKeepEveryByteInOrder) {
    // A tiny ring and irregular pieces force wrap-around on both sides.
    LoopbackPair p;
    ASSERT_TRUE(p.ok());
    Channel tx(7), rx(11);
    ASSERT_EQ(tx.Open(p.release_a(), true), 0);
    ASSERT_EQ(rx.Open(p.b, true), 0);
    p.b = INVALID_SOCKET;
    std::string data(20000, '\0');
    std::mt19937 rng(42);
    for (auto& ch : data) ch = static_cast<char>(rng());

    std::thread writer([&] {
        std::mt19937 r(7);
        size_t pos = 0;
        while (pos < data.size()) {
            unsigned n = std::min<unsigned>(1 + r() % 7, static_cast<unsigned>(data.size() - pos));
            ASSERT_EQ(tx.Write(data.data() + pos, n), 0);
            pos += n;
            if (r() % 5 == 0) {
                ASSERT_EQ(tx.FlushWrite(static_cast<int>(r() % 4)), 0);
            }
        }
        ASSERT_EQ(tx.FlushWrite(0), 0);
    });
    std::string got(data.size(), '\0');
    size_t pos = 0;
    while (pos < got.size()) {
        unsigned n = std::min<unsigned>(1 + rng() % 30, static_cast<unsigned>(got.size() - pos));
        unsigned total = 0;
        ASSERT_EQ(rx.Read(got.data() + pos, n, total), 0);
        ASSERT_EQ(total, n);
        pos += n;
    }
    writer.join();
    EXPECT_TRUE(got == data);
}

TEST(ChannelBuffers, SurplusFromOneSocketReadServesLaterReads) {
    OpenChannel c;
    ASSERT_TRUE(RawSend(c.pair.b, {1, 2, 3, 4, 5, 6}));
    char buf[2];
    ASSERT_EQ(c.ch.Read(buf, 2), 0);
    ::close(c.pair.b);  // everything left must come from the buffer
    c.pair.b = INVALID_SOCKET;
    char rest[4];
    unsigned total = 0;
    // The socket read may have fetched all six bytes already; if not, fewer arrive.
    int r = c.ch.Read(rest, 4, total);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(total, 4u);
    EXPECT_EQ(rest[3], 6);
    EXPECT_EQ(c.ch.Read(rest, 1, total), ERR_IO);  // then the closed peer shows
    EXPECT_EQ(total, 0u);
}

TEST(ChannelTimeouts, IdleReadEndsAfterTheChannelTimeout) {
    OpenChannel c;
    c.ch.SetTimeout(2);
    char b;
    auto start = Clock::now();
    EXPECT_EQ(c.ch.Read(&b, 1), ERR_TIMEOUT);
    double took = SecondsSince(start);
    EXPECT_GE(took, 1.9);
    EXPECT_LT(took, 30.0);
}

TEST(ChannelTimeouts, ProgressRestartsTheIdleClock) {
    OpenChannel c;
    c.ch.SetTimeout(4);
    std::thread drip([&] {
        for (int i = 0; i < 4; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            RawSend(c.pair.b, {static_cast<unsigned char>(i)});
        }
    });
    char buf[4];
    EXPECT_EQ(c.ch.Read(buf, 4), 0);  // 6 s in total, never 4 s without a byte
    drip.join();
}

TEST(ChannelTimeouts, AbortFlagStopsAnUnlimitedRead) {
    OpenChannel c;
    c.ch.SetTimeout(0);
    std::atomic<int> abort_cell{0};
    c.ch.SetFlag(&abort_cell);
    AbortLater t(abort_cell);
    char b;
    auto start = Clock::now();
    EXPECT_EQ(c.ch.Read(&b, 1), ERR_INT);
    EXPECT_LT(SecondsSince(start), 20.0);
    t.join();
}

TEST(ChannelTimeouts, StalledFlushTimesOut) {
    OpenChannel c;
    FillUntilStalled(c.ch);  // the peer never reads
    auto start = Clock::now();
    EXPECT_EQ(c.ch.FlushWrite(0), ERR_TIMEOUT);
    EXPECT_GE(SecondsSince(start), 1.9);
    c.ch.ClearWrite();
}

TEST(ChannelTimeouts, AbortFlagStopsAStalledFlush) {
    OpenChannel c;
    FillUntilStalled(c.ch);
    c.ch.SetTimeout(0);
    std::atomic<int> abort_cell{0};
    c.ch.SetFlag(&abort_cell);
    AbortLater t(abort_cell);
    EXPECT_EQ(c.ch.FlushWrite(0), ERR_INT);
    t.join();
    c.ch.SetFlag(nullptr);
    c.ch.ClearWrite();
}

TEST(ChannelLifecycle, OpenRulesAndClosedChannels) {
    Channel ch(64);
    EXPECT_TRUE(ch.IsClosed());
    char b;
    EXPECT_EQ(ch.Read(&b, 1), ERR_IO);
    EXPECT_EQ(ch.Write("x", 1), ERR_IO);
    EXPECT_EQ(ch.Open(INVALID_SOCKET, true), ERR_INVAL);
    EXPECT_EQ(ch.Open(nullptr, 80), 0);  // nothing to open
    EXPECT_TRUE(ch.IsClosed());
    std::string host;
    int port = 0;
    EXPECT_EQ(ch.GetPeerInfo(host, port), ERR_SYS);

    LoopbackPair p;
    ASSERT_TRUE(p.ok());
    SOCKET s = p.release_a();
    ASSERT_EQ(ch.Open(s, true), 0);
    EXPECT_FALSE(ch.IsClosed());
    EXPECT_EQ(ch.GetFd(), s);

    LoopbackPair other;
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(ch.Open(other.a, true), ERR_INVAL);  // already open: the first socket stays
    EXPECT_EQ(ch.GetFd(), s);
    ASSERT_EQ(ch.Write("hi", 2), 0);
    EXPECT_EQ(ch.Close(), 0);  // flushes, then closes
    EXPECT_TRUE(ch.IsClosed());
    EXPECT_EQ(RawRecvAll(p.b), (Bytes{'h', 'i'}));

    // A closed channel can be opened again.
    LoopbackPair again;
    ASSERT_TRUE(again.ok());
    ASSERT_EQ(ch.Open(again.release_a(), false), 0);
    ASSERT_EQ(ch.WriteByte(5), 0);
    ASSERT_EQ(ch.FlushWrite(0), 0);
    EXPECT_TRUE(RawReadable(again.b, 5000));
}

TEST(ChannelConnect, ConnectsToAListener) {
    SOCKET l = SockCreateTcp();
    ASSERT_EQ(SockBindLoopback(l, 0), 0);
    ASSERT_EQ(SockListen(l, 4), 0);
    Channel ch(81920);
    ASSERT_EQ(ch.Open("127.0.0.1", SockLocalPort(l)), 0);
    SOCKET peer = SockAccept(l);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(ch.WriteInt16(0x0102), 0);
    ASSERT_EQ(ch.FlushWrite(0), 0);
    ch.Close();
    EXPECT_EQ(RawRecvAll(peer), (Bytes{1, 2}));
    ::close(peer);
    ::close(l);
}

TEST(ChannelConnect, RefusedAndInvalidTargetsFailQuickly) {
    SOCKET l = SockCreateTcp();
    ASSERT_EQ(SockBindLoopback(l, 0), 0);
    int port = SockLocalPort(l);
    ::close(l);  // nobody listens there now
    Channel ch(81920);
    auto start = Clock::now();
    EXPECT_EQ(ch.Open("127.0.0.1", port), ERR_IO);
    EXPECT_LT(SecondsSince(start), 10.0);
    EXPECT_TRUE(ch.IsClosed());
    EXPECT_EQ(ch.Open("not-an-address", 80), ERR_IO);
    EXPECT_EQ(ch.Open("127.0.0.1", 70000), ERR_IO);
    EXPECT_EQ(ch.ConnectWithTimeout(INVALID_SOCKET, "127.0.0.1", 80), ERR_INVAL);
}

TEST(ChannelConnect, UnansweredConnectTimesOut) {
    // A listener whose queue is full and that never accepts drops further handshakes.
    SOCKET l = SockCreateTcp();
    ASSERT_EQ(SockBindLoopback(l, 0), 0);
    ASSERT_EQ(SockListen(l, 0), 0);
    int port = SockLocalPort(l);
    std::vector<SOCKET> fillers;
    for (int i = 0; i < 4; ++i) {
        SOCKET s = SockCreateTcp();
        SockSetNonBlock(s);
        SockConnectStart(s, "127.0.0.1", port);
        fillers.push_back(s);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Channel ch(81920);
    ch.SetTimeout(3);  // one wait of one second counts as three
    SOCKET sock = SockCreateTcp();
    ASSERT_EQ(SockSetNonBlock(sock), 0);
    auto start = Clock::now();
    int r = ch.ConnectWithTimeout(sock, "127.0.0.1", port);
    double took = SecondsSince(start);
    ::close(sock);
    for (SOCKET s : fillers) ::close(s);
    ::close(l);
    if (r == 0) GTEST_SKIP() << "this kernel completed the handshake anyway";
    EXPECT_EQ(r, ERR_TIMEOUT);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 20.0);
}
