// The upload handler on a worker that was never started, against the real refserver:
// what is sent (whole, delta, nothing), the plain and the resumable protocol, the
// server's answers, and files that change while they are uploaded.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <fstream>
#include <functional>
#include <random>

#include "delta/simple_file_reader.h"
#include "filter/filter_codes.h"
#include "filter/white_list.h"
#include "store/filter_db.h"
#include "sync/sync_fixture.h"

namespace {

constexpr uint64_t kView = 7;

// Runs the real handlers; `after_read` may change the file once its read is done.
class UploadWorker : public Worker {
public:
    UploadWorker() : Worker(SyncServices::Process()) {}
    ~UploadWorker() override {
        Stop();
        Join();
    }
    std::function<void()> after_read;
    int ReadFileOnce(const ustring& rel, ustring& hash, const ustring& sig, const ustring& base, const ustring& delta,
                     int* keep_fd) override {
        const int rc = Worker::ReadFileOnce(rel, hash, sig, base, delta, keep_fd);
        if (after_read) {
            auto hook = std::move(after_read);
            after_read = nullptr;
            hook();
        }
        return rc;
    }
    PObject& Cached() { return upload_.State().request; }
};

class UploadTest : public SyncFixture {
protected:
    void SetUp() override {
        SyncFixture::SetUp();
        ASSERT_EQ(FilterDB::getInstance().initialize(at("filter.sqlite")), DbResult::kOk);
    }
    void TearDown() override {
        FilterDB::getInstance().destroy();
        SyncFixture::TearDown();
    }
    void Start(const std::vector<std::string>& options = {}) {
        StartServer(options);
        session = AddSession(1, kView);
    }
    std::string Local(const std::string& name) const { return session.local_path.str() + name; }
    void Put(const std::string& name, const std::string& bytes, time_t mtime = 1700000000) {
        std::ofstream(Local(name), std::ios::binary | std::ios::trunc) << bytes;
        SetTime(name, mtime);
    }
    void SetTime(const std::string& name, time_t mtime) {
        utimbuf t{mtime, mtime};
        ASSERT_EQ(utime(Local(name).c_str(), &t), 0);
    }
    time_t TimeOf(const std::string& name) {
        struct stat st {};
        stat(Local(name).c_str(), &st);
        return st.st_mtime;
    }
    static std::string Md4(const std::string& file) {
        ustring out;
        SimpleFileReader r;
        r.setFile(file);
        r.setHashString(out);
        return r.readFile() == DeltaResult::kDone ? out.str() : "unreadable";
    }
    void Push(const std::string& name, Event::Type type = Event::EV_MODIFY, bool dir = false) {
        Event e;
        if (dir) e.setDir();
        e.m_type = type;
        e.m_path = name;
        e.m_sess_id = 1;
        EventManager::getInstance().PushLocalEvent(e);
    }
    ClientFileEventInfo Row(const std::string& name) {
        ClientFileEventInfo row;
        static_cast<void>(session.event_db->getEventInfo(name, row));  // an absent row reads as empty
        return row;
    }
    // The server holds name with exactly the local content.
    void ExpectServerHasLocal(const std::string& name) {
        std::string hash, blob;
        ASSERT_EQ(ServerFile(server.data_root().string(), kView, name, &hash, &blob), 1) << name;
        const std::string local = Md4(Local(name));
        EXPECT_EQ(hash, local) << name;
        EXPECT_EQ(blob, local) << name;
        EXPECT_EQ(Row(name).fileCheckSum.str(), local) << name;
    }
    // Bytes the server received for the last stored upload of name.
    uint64_t BytesReceived(const std::string& name, std::string* kind) {
        std::istringstream in(server.Log());
        std::string line, last;
        while (std::getline(in, line))
            if (line.find(": " + name + ": stored as") != std::string::npos) last = line;
        const size_t open = last.find('(');
        if (open == std::string::npos) return ~0ull;
        *kind = last.substr(open + 1, last.find(',', open) - open - 1);
        return std::stoull(last.substr(last.find(", ", open) + 2));
    }
    // Runs passes until the event is finished; the actions taken, in order.
    std::vector<int> Drain(UploadWorker& w, int passes = 8) {
        std::vector<int> actions;
        for (int i = 0; i < passes && EventManager::getInstance().GetAllPendingEventCount(1) > 0; ++i)
            actions.push_back(w.RunOnce());
        return actions;
    }

    Registry::Entry session;
};

TEST_F(UploadTest, NewFileWholeEditAsDeltaTouchedFileNotSentAndTimeBack) {
    Start();
    UploadWorker w;
    const std::string body = RandomBytes(300000, 1);
    Put("/doc.bin", body);
    Push("/doc.bin", Event::EV_CREATE);
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
    std::string kind;
    EXPECT_EQ(BytesReceived("/doc.bin", &kind), body.size());
    EXPECT_EQ(kind, "whole");
    ExpectServerHasLocal("/doc.bin");
    const ClientFileEventInfo first = Row("/doc.bin");
    EXPECT_NE(first.syncID, 0u);
    EXPECT_EQ(first.fileSize, body.size());
    EXPECT_EQ(first.fileModTime, 1700000000u);

    std::string edited = body;
    edited.replace(150000, 100, std::string(100, 'x'));
    Put("/doc.bin", edited, 1700000100);
    Push("/doc.bin");
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
    const uint64_t sent = BytesReceived("/doc.bin", &kind);
    EXPECT_EQ(kind, "delta");
    EXPECT_LT(sent, edited.size() / 20);
    ExpectServerHasLocal("/doc.bin");
    const ClientFileEventInfo second = Row("/doc.bin");
    EXPECT_GT(second.syncID, first.syncID);

    // Touched only: nothing goes out and the time is the recorded one again.
    const int stored = server.CountLog("stored as");
    SetTime("/doc.bin", 1700000500);
    Push("/doc.bin");
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(server.CountLog("stored as"), stored);
    EXPECT_EQ(TimeOf("/doc.bin"), 1700000100);
    EXPECT_EQ(Row("/doc.bin").syncID, second.syncID);
}

TEST_F(UploadTest, DirectoryUnderARemoteFolderIsCreatedOnceThenOnlyGetsItsTimeBack) {
    StartServer();
    session = AddSession(1, kView, "/team/");
    UploadWorker w;
    std::filesystem::create_directory(Local("/d"));
    SetTime("/d", 1700000000);
    Push("/d", Event::EV_CREATE, true);
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
    std::string hash, blob;
    uint64_t sync_id = 0;
    ASSERT_EQ(ServerFile(server.data_root().string(), kView, "/team/d", &hash, &blob, &sync_id), 1);
    EXPECT_EQ(Row("/d").fileType, 1);
    EXPECT_EQ(Row("/d").syncID, sync_id);

    SetTime("/d", 1700000900);
    Push("/d", Event::EV_MODIFY, true);
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(server.CountLog("stored as"), 1);
    EXPECT_EQ(TimeOf("/d"), 1700000000);
}

// A file stored before its folders' own events (workers run side by side, or a
// daemon is killed in between) records the folders as present: the server makes them
// too, so the view never holds a file below a folder it lacks.
TEST_F(UploadTest, FileStoredBeforeItsFoldersBringsThemToTheServer) {
    Start();
    UploadWorker w;
    std::filesystem::create_directories(Local("/a/b"));
    Put("/a/b/f.txt", "below two new folders");
    Push("/a/b/f.txt");
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
    ExpectServerHasLocal("/a/b/f.txt");
    EXPECT_EQ(server.CountLog("made the missing folders /a, /a/b"), 1) << server.Log();
    uint64_t file_id = 0, dir_id = 0;
    std::string hash, blob;
    ASSERT_EQ(ServerFile(server.data_root().string(), kView, "/a/b/f.txt", &hash, &blob, &file_id), 1);
    ASSERT_EQ(ServerFile(server.data_root().string(), kView, "/a/b", &hash, &blob, &dir_id), 1);
    EXPECT_LT(dir_id, file_id);
    EXPECT_EQ(Row("/a/b").fileType, 1);

    // A live file where a folder would have to be is a name conflict, and stays.
    ASSERT_NE(AddServerChange(server.data_root().string(), kView, "/x", false, false, Md4(Local("/a/b/f.txt")), 21,
                              1700000000),
              0u);
    std::filesystem::create_directories(Local("/x"));
    Put("/x/y.txt", "under a name the server holds as a file");
    Push("/x/y.txt");
    w.RunOnce();
    EXPECT_EQ(server.CountLog("/x/y.txt: name conflict with the file /x"), 1) << server.Log();
    EXPECT_EQ(ServerFile(server.data_root().string(), kView, "/x/y.txt", &hash, &blob), 0);
}

TEST_F(UploadTest, ItemsThatCannotBeSentFinishWithoutTraffic) {
    Start();
    write("white.filter", "[Version]\nmajor = 1\nminor = 0\n[File]\nwhite_ext = \"txt\"\n");
    session.white_list = std::make_shared<WhiteListCpp>();
    ASSERT_TRUE(session.white_list->Load(at("white.filter")));
    Registry::getInstance().Set(session);
    Put("/film.mkv", "frames");
    ASSERT_EQ(symlink("/etc/hostname", Local("/link.txt").c_str()), 0);
    ASSERT_EQ(mkfifo(Local("/pipe.txt").c_str(), 0600), 0);
    std::filesystem::create_directory(Local("/.VarnelWorkingDirectory"));
    Put("/.VarnelWorkingDirectory/scratch.txt", "partial download");
    UploadWorker w;
    for (const char* name :
         {"/film.mkv", "/link.txt", "/pipe.txt", "/vanished.txt", "/.VarnelWorkingDirectory/scratch.txt"}) {
        Push(name, Event::EV_CREATE);
        EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE) << name;
        EXPECT_EQ(Row(name).syncID, 0u) << name;
    }
    EXPECT_EQ(server.CountLog("connect"), 0);
    // The selective-sync refusal is remembered, so that a wider rule can bring it back.
    FilterLocalEvent recorded;
    EXPECT_EQ(FilterDB::getInstance().getLocalFilteredEventByPath(1, "/film.mkv", recorded), DbLookup::kFound);
    EXPECT_EQ(recorded.filtered_type, FILTER_EXT_SELECTIVE_SYNC);
}

TEST_F(UploadTest, FileLockedByAnotherHolderIsHandedBackAndReported) {
    Start();
    Put("/held.txt", "in use");
    const int fd = open(Local("/held.txt").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &lock), 0);
    UploadWorker w;
    Push("/held.txt", Event::EV_CREATE);
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_RETURN_EVENT);
    close(fd);
    ASSERT_TRUE(ui.WaitForKind("locked_file", 1));
    for (const PObject& v : ui.Values())
        if (v["notify"].asString() == "locked_file") {
            EXPECT_EQ(v["path"].asString(), ustring("/held.txt"));
        }
    EXPECT_EQ(server.CountLog("connect"), 0);
}

TEST_F(UploadTest, PlainUpToHalfAMebibyteResumableAbove) {
    Start();
    UploadWorker w;
    const struct {
        const char* name;
        size_t size;
        const char* action;
    } cases[] = {{"/exact.bin", 524288, "upload: /exact.bin: stored"},
                 {"/over.bin", 524289, "resume_upload: /over.bin: stored"}};
    for (const auto& c : cases) {
        Put(c.name, RandomBytes(c.size, (unsigned)c.size));
        Push(c.name, Event::EV_CREATE);
        EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE) << c.name;
        EXPECT_EQ(server.CountLog(c.action), 1) << c.name;
        ExpectServerHasLocal(c.name);
    }
    EXPECT_EQ(server.CountLog("resume_get_token"), 1);
}

TEST_F(UploadTest, CutResumableUploadResumesAtTheServersOffset) {
    Start({"--fault", "cut-after=300000"});
    UploadWorker w;
    Put("/big.bin", RandomBytes(700000, 3));
    Push("/big.bin", Event::EV_CREATE);
    const std::vector<int> actions = Drain(w);
    ASSERT_FALSE(actions.empty());
    EXPECT_EQ(actions.front(), Worker::ACTION_RETRY);
    EXPECT_EQ(actions.back(), Worker::ACTION_DONE);
    EXPECT_EQ(server.CountLog("resume_get_token"), 1);
    EXPECT_EQ(server.CountLog("resume_get_status: offset 300000"), 1);
    EXPECT_EQ(server.CountLog("resume_get_status: offset 600000"), 1);
    ExpectServerHasLocal("/big.bin");
}

TEST_F(UploadTest, EditBetweenAttemptsInTheSameSecondStartsAFreshUpload) {
    Start({"--fault", "cut-after=300000"});
    UploadWorker w;
    const std::string head = RandomBytes(300000, 8);
    Put("/big.bin", head + RandomBytes(400000, 9));
    Push("/big.bin", Event::EV_CREATE);
    EXPECT_EQ(Drain(w).back(), Worker::ACTION_DONE);
    // A delta of about 400000 bytes, cut after 300000.
    Put("/big.bin", head + RandomBytes(400000, 10), 1700000100);
    Push("/big.bin");
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_RETRY);
    // Edited again before the retry: same size, same modification second.
    Put("/big.bin", head + RandomBytes(400000, 11), 1700000100);
    EXPECT_EQ(Drain(w).back(), Worker::ACTION_DONE);
    ExpectServerHasLocal("/big.bin");
}

TEST_F(UploadTest, ServerOffsetPastTheDataStartsTheUploadAgain) {
    Start({"--fault", "cut-after=300000"});
    UploadWorker w;
    Put("/big.bin", RandomBytes(700000, 4));
    Push("/big.bin", Event::EV_CREATE);
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_RETRY);  // cut after 300000 bytes
    // The cached request now claims less than the server holds.
    w.Cached()["file"]["data"].asBinary().length = 1000;
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_RETRY);
    EXPECT_TRUE(w.Cached().isEmpty());
    const std::vector<int> rest = Drain(w);
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(rest.back(), Worker::ACTION_DONE);
    EXPECT_EQ(server.CountLog("resume_get_token"), 2);
    ExpectServerHasLocal("/big.bin");
}

TEST_F(UploadTest, KnownContentIsReferredAndTheRowGetsItsSizeAndHash) {
    Start();
    UploadWorker w;
    const std::string body = RandomBytes(600000, 5);
    Put("/a.bin", body);
    Push("/a.bin", Event::EV_CREATE);
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
    Put("/b.bin", body);
    Push("/b.bin", Event::EV_CREATE);
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(server.CountLog("/b.bin: dry run, content known"), 1);
    std::string kind;
    EXPECT_EQ(BytesReceived("/b.bin", &kind), 0u);
    EXPECT_EQ(kind, "referred");
    ExpectServerHasLocal("/b.bin");
    EXPECT_EQ(Row("/b.bin").fileSize, body.size());
}

TEST_F(UploadTest, BaseChangedOnTheServerFinishesWithoutADatabaseWrite) {
    Start();
    UploadWorker w;
    Put("/f.txt", "first version");
    Push("/f.txt", Event::EV_CREATE);
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
    const ClientFileEventInfo before = Row("/f.txt");
    ASSERT_NE(AddServerChange(server.data_root().string(), kView, "/f.txt", false, false,
                              "0123456789abcdef0123456789abcdef", 3, 1700000300),
              0u);
    Put("/f.txt", "local edit", 1700000200);
    Push("/f.txt");
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(server.CountLog("is not current"), 1);
    const ClientFileEventInfo after = Row("/f.txt");
    EXPECT_EQ(after.syncID, before.syncID);
    EXPECT_EQ(after.fileCheckSum, before.fileCheckSum);
    EXPECT_EQ(after.fileModTime, before.fileModTime);
}

TEST_F(UploadTest, ServerErrorsDecideTheActionAndWhatHappensToTheRow) {
    const struct {
        const char* code;
        int action;
        bool row_kept;
    } cases[] = {
        {"0x9001", Worker::ACTION_RETURN_EVENT, false},  // base gone: forget the row, send again
        {"0x6001", Worker::ACTION_DONE, true},           // wait for the server's version
        {"0x7000", Worker::ACTION_RETURN_EVENT, true},   // internal error: keep the base
        {"0xb001", Worker::ACTION_RETURN_EVENT, true},   // resume state lost
        {"0x4001", Worker::ACTION_RETURN_EVENT, true},   // quota
        {"0x7001", Worker::ACTION_RETRY, true},          // content refused: read it again
    };
    uint64_t id = 10;
    for (const auto& c : cases) {
        server.Stop();
        StartServer({"--fault", std::string("upload=") + c.code});
        ++id;
        session = AddSession(id, id);
        ClientFileEventInfo known;
        known.path = "/f.txt";
        known.syncID = known.maxSyncID = 5;
        known.fileSize = 3;
        known.fileModTime = 1600000000;
        known.fileCheckSum = "0123456789abcdef0123456789abcdef";
        ASSERT_EQ(session.event_db->setEventInfo(known), DbResult::kOk);
        Put("/f.txt", "new content");
        Event e;
        e.m_type = Event::EV_MODIFY;
        e.m_path = "/f.txt";
        e.m_sess_id = id;
        EventManager::getInstance().PushLocalEvent(e);
        UploadWorker w;
        EXPECT_EQ(w.RunOnce(), c.action) << c.code;
        ClientFileEventInfo row;
        EXPECT_EQ(session.event_db->getEventInfo("/f.txt", row), c.row_kept ? DbLookup::kFound : DbLookup::kAbsent)
            << c.code;
        if (c.row_kept) {
            EXPECT_EQ(row.syncID, 5u) << c.code;
        }
        EventManager::getInstance().Clear();
    }
}

TEST_F(UploadTest, NameConflictRenamesTheLocalFileWhichIsUploadedUnderItsNewName) {
    Start();
    UploadWorker w;
    ASSERT_NE(AddServerChange(server.data_root().string(), kView, "/c.txt", false, false,
                              "0123456789abcdef0123456789abcdef", 3, 1700000000),
              0u);
    Put("/c.txt", "mine");
    Push("/c.txt", Event::EV_CREATE);
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_RETURN_EVENT);
    EXPECT_FALSE(std::filesystem::exists(Local("/c.txt")));
    std::string renamed;
    for (const auto& entry : std::filesystem::directory_iterator(session.local_path.str()))
        if (entry.path().filename().string().find("c_testbox_") == 0) renamed = "/" + entry.path().filename().string();
    ASSERT_FALSE(renamed.empty());
    EXPECT_NE(renamed.find("_Conflict.txt"), std::string::npos);
    EXPECT_EQ(Drain(w).back(), Worker::ACTION_DONE);  // the old name: vanished
    Push(renamed, Event::EV_CREATE);
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
    ExpectServerHasLocal(renamed);
}

TEST_F(UploadTest, FileChangingWhileReadIsHandedBackAndTheFinalContentArrives) {
    Start();
    UploadWorker w;
    Put("/grow.bin", RandomBytes(100000, 6));
    w.after_read = [&] { std::ofstream(Local("/grow.bin"), std::ios::binary | std::ios::app) << "more bytes"; };
    Push("/grow.bin", Event::EV_CREATE);
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_RETURN_EVENT);
    EXPECT_EQ(server.CountLog("stored as"), 0);
    EXPECT_EQ(Drain(w).back(), Worker::ACTION_DONE);
    ExpectServerHasLocal("/grow.bin");
}

TEST_F(UploadTest, EditRacingATouchedFileKeepsItsNewTimeAndIsUploaded) {
    Start();
    UploadWorker w;
    const std::string body = RandomBytes(50000, 7);
    Put("/t.bin", body);
    Push("/t.bin", Event::EV_CREATE);
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);

    SetTime("/t.bin", 1700000500);  // touched: same content
    std::string edited = body;
    edited[10] ^= 0x55;
    // Lands after the hash, with the same size and the same modification second.
    w.after_read = [&] { Put("/t.bin", edited, 1700000500); };
    Push("/t.bin");
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_RETURN_EVENT);
    EXPECT_EQ(TimeOf("/t.bin"), 1700000500);
    EXPECT_EQ(Drain(w).back(), Worker::ACTION_DONE);
    ExpectServerHasLocal("/t.bin");
}

// A file saved twice within one second, the second time after the first upload has
// read it: the row keeps whole seconds, so the second save must not look unchanged.
TEST_F(UploadTest, ASecondSaveWithinTheSameSecondIsUploadedToo) {
    Start();
    UploadWorker w;
    std::string body = RandomBytes(20000, 8);
    std::ofstream(Local("/s.bin"), std::ios::binary | std::ios::trunc) << body;  // written now
    Push("/s.bin", Event::EV_CREATE);
    EXPECT_EQ(Drain(w).back(), Worker::ACTION_DONE);
    // Saved again at once, same size; same second unless the upload waited it out.
    body[5] ^= 0x33;
    std::ofstream(Local("/s.bin"), std::ios::binary | std::ios::trunc) << body;
    Push("/s.bin");
    EXPECT_EQ(Drain(w).back(), Worker::ACTION_DONE);
    ExpectServerHasLocal("/s.bin");
}

}  // namespace

// Below 64 KiB a version keeps no signature and goes whole; a file shrinking below
// that loses the signature its larger version left, so no delta is made against it.
TEST_F(UploadTest, SmallVersionsKeepNoSignatureAndGoWhole) {
    Start();
    UploadWorker w;
    Put("/f.bin", RandomBytes(100000, 2));
    Push("/f.bin", Event::EV_CREATE);
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
    EXPECT_TRUE(std::filesystem::exists(Row("/f.bin").signaturePath.str()));
    std::string small = RandomBytes(4000, 3);
    for (time_t mtime : {1700000100, 1700000200}) {
        small[10] = static_cast<char>(mtime / 100);
        Put("/f.bin", small, mtime);
        Push("/f.bin");
        EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
        std::string kind;
        EXPECT_EQ(BytesReceived("/f.bin", &kind), small.size());
        EXPECT_EQ(kind, "whole");
        ExpectServerHasLocal("/f.bin");
        EXPECT_FALSE(std::filesystem::exists(Row("/f.bin").signaturePath.str()));
    }
}
