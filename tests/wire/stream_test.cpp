#include "wire/stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "wire/loopback_pair.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Everything Send puts on the wire for one value, and its result.
Bytes Encode(const PObject& v, StreamResult* result = nullptr) {
    LoopbackPair p;
    EXPECT_TRUE(p.ok());
    Channel ch(81920);
    EXPECT_EQ(ch.Open(p.release_a(), true), 0);
    PStream s;
    const StreamResult r = s.Send(ch, v);
    if (result) *result = r;
    ch.Close();
    return RawRecvAll(p.b);
}

// Receives one value from raw bytes (after which the far end stops sending).
StreamResult Decode(const Bytes& bytes, PObject& target, const ustring& recv_path = ustring(),
                    std::shared_ptr<const SessionRoot> root = nullptr) {
    LoopbackPair p;
    EXPECT_TRUE(p.ok());
    Channel ch(81920);
    EXPECT_EQ(ch.Open(p.release_a(), true), 0);
    EXPECT_TRUE(RawSend(p.b, bytes));
    ::shutdown(p.b, SHUT_WR);
    PStream s;
    if (!recv_path.empty()) s.SetDefaultRecvLocation(recv_path);
    s.SetRecvRoot(std::move(root));
    return s.Recv(ch, target);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes BinaryHeader(uint64_t n) {
    Bytes b{0x30};
    for (int i = 7; i >= 0; --i) b.push_back(static_cast<unsigned char>(n >> (8 * i)));
    return b;
}

std::string Pattern(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 7;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

class StreamFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/nimbrel-stream-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string Path(const char* name) const { return dir + "/" + name; }
    void WriteFile(const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
    std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string dir;
};

}  // namespace

TEST(StreamEncoding, IntegersUseTheSmallestWidth) {
    EXPECT_EQ(Encode(PObject(0)), (Bytes{0x01, 0x01, 0x00}));
    EXPECT_EQ(Encode(PObject(255)), (Bytes{0x01, 0x01, 0xFF}));
    EXPECT_EQ(Encode(PObject(256)), (Bytes{0x01, 0x02, 0x01, 0x00}));
    EXPECT_EQ(Encode(PObject(300)), (Bytes{0x01, 0x02, 0x01, 0x2C}));
    EXPECT_EQ(Encode(PObject(65536)), (Bytes{0x01, 0x04, 0x00, 0x01, 0x00, 0x00}));
    EXPECT_EQ(Encode(PObject(uint64_t{4294967296ull})),
              (Bytes{0x01, 0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Encode(PObject(-1)), (Bytes{0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(StreamEncoding, NullStringsAndEmptyContainers) {
    EXPECT_EQ(Encode(PObject()), (Bytes{0x00, 0x00}));
    EXPECT_EQ(Encode(PObject("")), (Bytes{0x10, 0x00, 0x00}));
    EXPECT_EQ(Encode(PObject("\xc3\xa9")), (Bytes{0x10, 0x00, 0x02, 0xC3, 0xA9}));  // byte count, not characters
    EXPECT_EQ(Encode(PObject(PObject::map_type{})), (Bytes{0x42, 0x40}));
    EXPECT_EQ(Encode(PObject(PObject::array_type{})), (Bytes{0x41, 0x40}));
}

TEST(StreamEncoding, MapKeysInByteOrderWithLeadingUnderscoreDropped) {
    PObject m;
    m["a"] = 1;
    m["_b"] = "x";
    EXPECT_EQ(Encode(m), (Bytes{0x42, 0x10, 0x00, 0x01, 0x62, 0x10, 0x00, 0x01, 0x78, 0x10, 0x00, 0x01, 0x61, 0x01,
                                0x01, 0x01, 0x40}));
}

TEST(StreamEncoding, UnderscoreTwinKeysArriveAsOneKeyHoldingTheLastValue) {
    PObject m;
    m["_action"] = "first";
    m["action"] = "second";
    Bytes wire = Encode(m);
    PObject got;
    ASSERT_EQ(Decode(wire, got), StreamResult::kOk);
    ASSERT_EQ(got.asMap().size(), 1u);
    EXPECT_EQ(got["action"].asString(), "second");
}

TEST(StreamEncoding, OverlongStringIsRefusedBeforeItsTag) {
    StreamResult r = StreamResult::kOk;
    Bytes wire = Encode(PObject(std::string(65536, 'x')), &r);
    EXPECT_EQ(r, StreamResult::kSys);
    EXPECT_TRUE(wire.empty());
    Bytes ok = Encode(PObject(std::string(65535, 'x')), &r);
    EXPECT_EQ(r, StreamResult::kOk);
    EXPECT_EQ(ok.size(), 3u + 65535u);
    // An over-long key is refused in the same way.
    PObject m;
    m[ustring(std::string(70000, 'k'))] = 1;
    Encode(m, &r);
    EXPECT_EQ(r, StreamResult::kSys);
}

TEST(StreamDecoding, RoundTripOfANestedValue) {
    PObject v;
    v["_action"] = "add_session";
    v["session"]["id"] = uint64_t{1234567890123ull};
    v["session"]["name"] = "caf\xc3\xa9";
    v["list"].asArray() = {PObject(1), PObject(), PObject("x"), PObject(PObject::array_type{})};
    v["long"] = std::string(70000 / 2, 'y');
    PObject got;
    ASSERT_EQ(Decode(Encode(v), got), StreamResult::kOk);
    PObject expect = v;
    expect.asMap().erase("_action");
    expect["action"] = "add_session";
    EXPECT_EQ(got, expect);
}

TEST(StreamDecoding, IntegerLengthsFromZeroToEight) {
    PObject got;
    ASSERT_EQ(Decode({0x01, 0x00}, got), StreamResult::kOk);
    EXPECT_TRUE(got.isInteger());
    EXPECT_EQ(got.asInteger(), 0u);
    ASSERT_EQ(Decode({0x01, 0x03, 0x01, 0x02, 0x03}, got), StreamResult::kOk);
    EXPECT_EQ(got.asInteger(), 0x010203u);
    ASSERT_EQ(Decode({0x01, 0x08, 0x80, 0, 0, 0, 0, 0, 0, 1}, got), StreamResult::kOk);
    EXPECT_EQ(got.asInteger(), 0x8000000000000001ull);
}

TEST(StreamDecoding, MalformedInputFailsWithStreamError) {
    PObject got;
    EXPECT_EQ(Decode({0x01, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9}, got), StreamResult::kStream);     // length byte above 8
    EXPECT_EQ(Decode({0x00, 0x01}, got), StreamResult::kStream);                                // null with a length
    EXPECT_EQ(Decode({0x42, 0x01, 0x01, 0x05, 0x00, 0x00, 0x40}, got), StreamResult::kStream);  // integer key
    EXPECT_EQ(Decode({0x77}, got), StreamResult::kStream);                                      // unknown tag
    EXPECT_EQ(Decode({0x40}, got), StreamResult::kStream);                                      // stray end byte
    EXPECT_EQ(Decode({0x41, 0x00, 0x05, 0x40}, got), StreamResult::kStream);                    // null deep in an array
    // Truncated input is a channel failure.
    EXPECT_EQ(Decode({0x10, 0x00, 0x05, 'a', 'b'}, got), StreamResult::kIo);
    EXPECT_EQ(Decode({0x42, 0x10, 0x00, 0x01, 'a'}, got), StreamResult::kIo);
    EXPECT_EQ(Decode({}, got), StreamResult::kIo);
}

TEST(StreamDecoding, NestingIsLimited) {
    auto nested = [](int depth) {
        Bytes b(static_cast<size_t>(depth), 0x41);
        b.insert(b.end(), static_cast<size_t>(depth), 0x40);
        return b;
    };
    PObject got;
    ASSERT_EQ(Decode(nested(PStream::kMaxDepth), got), StreamResult::kOk);
    const PObject* p = &got;
    int depth = 0;
    while (p->isArray()) {
        ++depth;
        p = &(*p)[0];
    }
    EXPECT_EQ(depth, PStream::kMaxDepth);
    EXPECT_EQ(Decode(nested(PStream::kMaxDepth + 1), got), StreamResult::kStream);
    // A deep map chain is counted the same way, and refused before it is built.
    Bytes maps;
    for (int i = 0; i < 100000; ++i) maps.insert(maps.end(), {0x42, 0x10, 0x00, 0x01, 'k'});
    PObject deep;
    EXPECT_EQ(Decode(maps, deep), StreamResult::kStream);
}

// The bound counts what members cost in memory, not only their text: ten thousand
// small members of a control request (60 KB on the wire, over a megabyte once
// built) are refused, and nothing of them is kept.
TEST(StreamDecoding, LimitCountsTheMemoryAValueTakes) {
    Bytes map{0x42};
    for (int i = 0; i < 10000; ++i) {
        const std::string key = std::to_string(100000 + i);
        map.insert(map.end(), {0x10, 0x00, static_cast<uint8_t>(key.size())});
        map.insert(map.end(), key.begin(), key.end());
        map.insert(map.end(), {0x01, 0x00});
    }
    map.push_back(0x40);
    LoopbackPair p;
    ASSERT_TRUE(p.ok());
    Channel ch(81920);
    ASSERT_EQ(ch.Open(p.release_a(), true), 0);
    ASSERT_TRUE(RawSend(p.b, map));
    PStream s;
    s.SetRecvLimit(PStream::kSmallRecvBytes);
    PObject got;
    EXPECT_EQ(s.Recv(ch, got), StreamResult::kStream);
    EXPECT_TRUE(got.isNull());
}

// A peer that opens a value and keeps streaming members is cut off at the bound:
// the receiver stops with ERR_STREAM, never waits for the end that does not come.
TEST(StreamDecoding, EndlessValuesAreCutOffAtTheBound) {
    Bytes text{0x10, 0xFF, 0xFF};  // a 65535-byte string
    text.resize(text.size() + 0xFFFF, 'x');
    struct Case {
        const char* name;
        Bytes open;    // opens the value
        Bytes member;  // repeated for ever
    };
    const std::vector<Case> cases = {
        {"array of nulls", {0x41}, {0x00, 0x00}},
        {"array of long texts", {0x41}, text},
        {"map with long keys", {0x42}, Concat({text, {0x01, 0x00}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackPair p;
        ASSERT_TRUE(p.ok());
        Channel ch(81920);
        ASSERT_EQ(ch.Open(p.release_a(), true), 0);
        std::atomic<uint64_t> sent{0};
        std::thread peer([&] {
            Bytes burst;
            while (burst.size() < 65536) burst.insert(burst.end(), c.member.begin(), c.member.end());
            const uint64_t per_burst = burst.size() / c.member.size();
            if (!RawSend(p.b, c.open)) return;
            while (RawSend(p.b, burst)) sent += per_burst;  // until the receiver hangs up
        });
        PStream s;
        PObject got;
        EXPECT_EQ(s.Recv(ch, got), StreamResult::kStream);
        ch.Close();
        peer.join();
        EXPECT_GT(sent.load(), 0u);
        const uint64_t members = got.isArray() ? got.asArray().size() : got.isMap() ? got.asMap().size() : 0;
        EXPECT_LE(members, PStream::kMaxRecvElements);
        // The same stream takes the next value as usual.
        LoopbackPair q;
        ASSERT_TRUE(q.ok());
        Channel next_ch(81920);
        ASSERT_EQ(next_ch.Open(q.release_a(), true), 0);
        ASSERT_TRUE(RawSend(q.b, Encode(PObject(uint64_t{7}))));
        PObject next;
        EXPECT_EQ(s.Recv(next_ch, next), StreamResult::kOk);
        EXPECT_EQ(next.asUInt64(), 7u);
    }
}

TEST(StreamDecoding, StringEndsAtFirstZeroByte) {
    PObject got;
    ASSERT_EQ(Decode({0x10, 0x00, 0x04, 'a', 'b', 0x00, 'c'}, got), StreamResult::kOk);
    EXPECT_EQ(got.asString(), "ab");
}

TEST(StreamDecoding, ContainersMergeIntoExistingValues) {
    PObject arr;
    arr.asArray() = {PObject(1), PObject(2)};
    ASSERT_EQ(Decode({0x41, 0x01, 0x01, 0x03, 0x01, 0x01, 0x04, 0x01, 0x01, 0x05, 0x40}, arr), StreamResult::kOk);
    ASSERT_EQ(arr.asArray().size(), 5u);
    EXPECT_EQ(arr[4].asInteger(), 5u);

    PObject map;
    map["keep"] = "old";
    map["sub"]["x"] = 1;
    // {"sub": {"y": 2}, "new": 3}
    ASSERT_EQ(Decode({0x42, 0x10, 0x00, 0x03, 's',  'u',  'b', 0x42, 0x10, 0x00, 0x01, 'y',  0x01,
                      0x01, 0x02, 0x40, 0x10, 0x00, 0x03, 'n', 'e',  'w',  0x01, 0x01, 0x03, 0x40},
                     map),
              StreamResult::kOk);
    EXPECT_EQ(map["keep"].asString(), "old");
    EXPECT_EQ(map["sub"]["x"].asInteger(), 1u);
    EXPECT_EQ(map["sub"]["y"].asInteger(), 2u);
    EXPECT_EQ(map["new"].asInteger(), 3u);

    // A value of another kind is replaced.
    PObject s("text");
    ASSERT_EQ(Decode({0x41, 0x01, 0x01, 0x07, 0x40}, s), StreamResult::kOk);
    ASSERT_TRUE(s.isArray());
    EXPECT_EQ(s.asArray().size(), 1u);
}

TEST_F(StreamFiles, BinaryIntoAFreshFileInTheReceiveFolder) {
    std::string content = Pattern(200000);
    WriteFile(Path("src"), content);
    PObject v(PObject::binary_type(Path("src"), 1000, 150000));
    PObject got;
    ASSERT_EQ(Decode(Encode(v), got, dir), StreamResult::kOk);
    ASSERT_TRUE(got.isBinary());
    const auto& b = got.asBinary();
    EXPECT_EQ(b.path.substr(0, static_cast<uint32_t>(dir.size()) + 1), ustring(dir + "/"));
    EXPECT_EQ(b.path.length(), dir.size() + 9);
    EXPECT_EQ(b.offset, 150000u);
    EXPECT_EQ(b.length, 150000u);
    EXPECT_EQ(ReadFile(b.path.str()), content.substr(1000, 150000));
}

TEST_F(StreamFiles, WithARootBinariesAreWrittenOnlyBeneathIt) {
    ASSERT_EQ(mkdir(Path("sync").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(Path("outside").c_str(), 0755), 0);
    ASSERT_EQ(symlink(Path("outside").c_str(), Path("sync/out").c_str()), 0);
    WriteFile(Path("outside/f"), "keep");
    std::shared_ptr<const SessionRoot> root;
    ASSERT_TRUE(SessionRoot::Open(Path("sync"), root));
    const Bytes abc = Concat({BinaryHeader(3), {'a', 'b', 'c'}});
    for (const std::string& name : {Path("sync/out/f"), Path("sync/out/new"), Path("elsewhere")}) {
        SCOPED_TRACE(name);
        PObject target(PObject::binary_type(name, 0, 0));
        EXPECT_EQ(Decode(abc, target, ustring(), root), StreamResult::kSys);
    }
    PObject fresh;
    EXPECT_EQ(Decode(abc, fresh, Path("sync/out"), root), StreamResult::kSys);
    EXPECT_EQ(ReadFile(Path("outside/f")), "keep");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Path("outside")), {}), 1);
    EXPECT_FALSE(std::filesystem::exists(Path("elsewhere")));

    PObject inside(PObject::binary_type(Path("sync/in"), 0, 0));
    ASSERT_EQ(Decode(abc, inside, ustring(), root), StreamResult::kOk);
    EXPECT_EQ(ReadFile(Path("sync/in")), "abc");
}

TEST_F(StreamFiles, EmptyBinaryMakesAnEmptyFile) {
    PObject got;
    ASSERT_EQ(Decode(BinaryHeader(0), got, dir), StreamResult::kOk);
    ASSERT_TRUE(got.isBinary());
    struct stat st {};
    ASSERT_EQ(stat(got.asBinary().path.c_str_utf8(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST_F(StreamFiles, UnnamedBinaryWithoutReceiveFolderIsRefused) {
    PObject got;
    EXPECT_EQ(Decode(Concat({BinaryHeader(3), {'a', 'b', 'c'}}), got), StreamResult::kSys);
    EXPECT_TRUE(std::filesystem::is_empty(dir));
}

TEST_F(StreamFiles, BinaryAtOffsetZeroReplacesTheFile) {
    WriteFile(Path("dst"), std::string(5000, 'z'));
    PObject target(PObject::binary_type(Path("dst"), 0, 5000));
    ASSERT_EQ(Decode(Concat({BinaryHeader(3), {'a', 'b', 'c'}}), target), StreamResult::kOk);
    EXPECT_EQ(ReadFile(Path("dst")), "abc");
    EXPECT_EQ(target.asBinary().offset, 3u);
    EXPECT_EQ(target.asBinary().length, 3u);
}

TEST_F(StreamFiles, BinaryAtTheKnownLengthContinuesTheFile) {
    WriteFile(Path("dst"), "hello ");
    PObject target(PObject::binary_type(Path("dst"), 6, 6));
    ASSERT_EQ(Decode(Concat({BinaryHeader(5), {'w', 'o', 'r', 'l', 'd'}}), target), StreamResult::kOk);
    EXPECT_EQ(ReadFile(Path("dst")), "hello world");
    EXPECT_EQ(target.asBinary().offset, 11u);
    EXPECT_EQ(target.asBinary().length, 11u);
}

TEST_F(StreamFiles, BinaryInTheMiddleCutsTheRestOff) {
    std::string base = Pattern(300);
    WriteFile(Path("dst"), base);
    PObject target(PObject::binary_type(Path("dst"), 100, 200));
    ASSERT_EQ(Decode(Concat({BinaryHeader(4), {'W', 'X', 'Y', 'Z'}}), target), StreamResult::kOk);
    EXPECT_EQ(ReadFile(Path("dst")), base.substr(0, 100) + "WXYZ");
    EXPECT_EQ(target.asBinary().offset, 104u);
    EXPECT_EQ(target.asBinary().length, 104u);
}

TEST_F(StreamFiles, BinaryBeyondTheFileEndIsRefused) {
    WriteFile(Path("dst"), "short");
    PObject target(PObject::binary_type(Path("dst"), 100, 100));
    EXPECT_EQ(Decode(Concat({BinaryHeader(2), {'a', 'b'}}), target), StreamResult::kSys);
    EXPECT_EQ(ReadFile(Path("dst")), "short");
}

TEST_F(StreamFiles, PartialBinaryLeavesTheTargetDescribingTheBytesOnDisk) {
    PObject target(PObject::binary_type(Path("dst"), 0, 0));
    std::string part = Pattern(100000);
    Bytes wire = BinaryHeader(1000000);
    wire.insert(wire.end(), part.begin(), part.end());
    EXPECT_EQ(Decode(wire, target), StreamResult::kIo);
    EXPECT_EQ(target.asBinary().offset, 100000u);
    EXPECT_EQ(target.asBinary().length, 100000u);
    EXPECT_EQ(ReadFile(Path("dst")), part);

    // The next attempt continues after those bytes.
    std::string rest = Pattern(50, 9);
    ASSERT_EQ(Decode(Concat({BinaryHeader(50), Bytes(rest.begin(), rest.end())}), target), StreamResult::kOk);
    EXPECT_EQ(ReadFile(Path("dst")), part + rest);
    EXPECT_EQ(target.asBinary().length, 100050u);
}

TEST_F(StreamFiles, FullDiskIsReported) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    PObject target(PObject::binary_type("/dev/full", 0, 0));
    EXPECT_EQ(Decode(Concat({BinaryHeader(4), {'a', 'b', 'c', 'd'}}), target), StreamResult::kDiskFull);
    EXPECT_EQ(target.asBinary().length, 0u);
}

TEST_F(StreamFiles, ShortFileOnSendFailsAfterSendingWhatItHolds) {
    WriteFile(Path("src"), "0123456789");
    StreamResult r = StreamResult::kOk;
    Bytes wire = Encode(PObject(PObject::binary_type(Path("src"), 4, 100)), &r);
    EXPECT_EQ(r, StreamResult::kStream);
    EXPECT_EQ(wire, Concat({BinaryHeader(100), {'4', '5', '6', '7', '8', '9'}}));

    Encode(PObject(PObject::binary_type(Path("missing"), 0, 1)), &r);
    EXPECT_EQ(r, StreamResult::kSys);
}

TEST_F(StreamFiles, ProgressRecordShowsTheKeyPathDuringATransfer) {
    const size_t size = 20 * 1024 * 1024;
    std::string content = Pattern(size);
    WriteFile(Path("big"), content);
    PObject request;
    request["file"]["data"] = PObject::binary_type(Path("big"), 0, size);

    LoopbackPair p;
    ASSERT_TRUE(p.ok());
    Channel sender(81920), receiver(81920);
    ASSERT_EQ(sender.Open(p.release_a(), true), 0);
    ASSERT_EQ(receiver.Open(p.b, true), 0);
    p.b = INVALID_SOCKET;
    PStream out;
    std::atomic<StreamResult> send_result{StreamResult::kSys};
    std::thread t([&] { send_result = out.Send(sender, request); });

    // The receiver does not read yet, so the sender stalls inside the binary.
    ustring item;
    uint64_t sent = 0, total = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        out.GetStatus(item, sent, total);
    } while ((item != "file.file.data" || sent == 0) && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(item, "file.file.data");
    EXPECT_EQ(total, size);
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, size);

    PStream in;
    PObject got;
    got["file"]["data"] = PObject::binary_type(Path("copy"), 0, 0);
    EXPECT_EQ(in.Recv(receiver, got), StreamResult::kOk);
    t.join();
    EXPECT_EQ(send_result.load(), StreamResult::kOk);
    EXPECT_EQ(got["file"]["data"].asBinary().length, size);
    EXPECT_TRUE(ReadFile(Path("copy")) == content);
    out.GetStatus(item, sent, total);
    EXPECT_EQ(item, "");
    EXPECT_EQ(total, 0u);
}

TEST(StreamVersion, IsOneZeroZero) {
    int a = 0, b = 0, c = 0;
    PStream::GetVersion(a, b, c);
    EXPECT_EQ(a * 100 + b * 10 + c, 100);
}

TEST_F(StreamFiles, DamagedInputNeverCrashes) {
    // Valid encodings with bytes flipped, cut short or extended: every receive ends
    // with 0 or a negative code, and nothing is written outside the receive folder.
    PObject v;
    v["_action"] = "upload";
    v["list"].asArray() = {PObject(1), PObject(uint64_t{1} << 40), PObject("x"), PObject()};
    v["map"]["k"] = "value";
    v["bin"] = PObject::binary_type();
    WriteFile(Path("src"), "0123456789");
    PObject with_binary = v;
    with_binary["bin"] = PObject::binary_type(Path("src"), 0, 10);
    Bytes base = Encode(with_binary);
    ASSERT_FALSE(base.empty());
    std::string recv_dir = Path("recv");
    std::filesystem::create_directory(recv_dir);
    std::mt19937 rng(1234);
    for (int round = 0; round < 400; ++round) {
        Bytes input = base;
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            size_t pos = rng() % input.size();
            switch (rng() % 3) {
                case 0:
                    input[pos] = static_cast<unsigned char>(rng());
                    break;
                case 1:
                    input.resize(pos);
                    break;
                default:
                    input.insert(input.begin() + static_cast<long>(pos), static_cast<unsigned char>(rng()));
                    break;
            }
            if (input.empty()) input.push_back(0x41);
        }
        PObject got;
        const StreamResult r = Decode(input, got, recv_dir);
        (void)r;  // any result but a crash
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "src" || name == "recv") << name;
    }
}

// A list handed to a receiver element by element: bounded per element, so a list far
// beyond the bound of one value arrives whole; the same key deeper down is kept as it
// is, and a receiver's refusal ends the value.
TEST(StreamDecoding, ListReceiverTakesALongListOneElementAtATime) {
    PObject reply;
    reply["alive"] = uint64_t{30};
    reply["next_sync_id"] = uint64_t{10000};
    reply["inner"]["event_list"].asArray().push_back(PObject(uint64_t{5}));
    PObject::array_type& list = reply["event_list"].asArray();
    for (uint64_t i = 0; i < 10000; ++i) {
        PObject e;
        e["path"] = ustring(("/file-" + std::to_string(i)).c_str());
        e["sync_id"] = i + 1;
        list.push_back(e);
    }
    const Bytes bytes = Encode(reply);
    auto receive = [&](PStream& s, PObject& got) {
        LoopbackPair p;
        EXPECT_TRUE(p.ok());
        Channel ch(81920);
        EXPECT_EQ(ch.Open(p.release_a(), true), 0);
        std::thread peer([&] { RawSend(p.b, bytes); });
        s.SetRecvLimit(PStream::kSmallRecvBytes);
        const StreamResult r = s.Recv(ch, got);
        ch.Close();
        peer.join();
        return r;
    };
    PStream whole;
    PObject got;
    EXPECT_EQ(receive(whole, got), StreamResult::kStream);  // too large as one value

    PStream streamed;
    uint64_t seen = 0;
    bool in_order = true;
    streamed.SetListReceiver("event_list", [&](PObject& e) {
        in_order = in_order && e["sync_id"].asUInt64() == ++seen;
        return StreamResult::kOk;
    });
    got.clear();
    ASSERT_EQ(receive(streamed, got), StreamResult::kOk);
    EXPECT_EQ(seen, 10000u);
    EXPECT_TRUE(in_order);
    EXPECT_TRUE(got["event_list"].isArray() && got["event_list"].asArray().empty());
    EXPECT_EQ(got["next_sync_id"].asUInt64(), 10000u);
    EXPECT_EQ(got["inner"]["event_list"].asArray().size(), 1u);

    seen = 0;
    streamed.SetListReceiver("event_list",
                             [&](PObject&) { return ++seen == 3 ? StreamResult::kSys : StreamResult::kOk; });
    got.clear();
    EXPECT_EQ(receive(streamed, got), StreamResult::kSys);
    EXPECT_EQ(seen, 3u);
}
