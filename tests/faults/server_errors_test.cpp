// Every upload, download and removal answered with each class of server error: while
// the server refuses, the daemon retries or hands the event back as its error tables
// say and the local files stay as they were written; once the server answers again
// (restarted without the fault, same data, port and certificate) all three agree.
//
// A class is a group of server codes that lead to one result in the worker: a retry
// (internal errors and codes of no known class), a hand-back with a connection error
// (authentication, version), a hand-back with a session error (view, permission, view
// path, quota, server disk full), a quiet hand-back (the transfer classes 0x8000 to
// 0xB000), and the codes a handler acts on itself (an upload's missing or changed base
// and its conflicts, a download's vanished file, a removal's missing or changed item).
#include <cinttypes>
#include <set>

#include "faults/fault_loop.h"

namespace {

using faults::Check;
using faults::Tally;
using faults::World;

// What the run changes while the fault is active, and so which requests meet it.
enum class Change {
    kUpload,       // alpha: a new small file, an edited one, a new folder ("upload")
    kUploadLarge,  // alpha: a new and an edited file above 512 KiB (the resumable upload)
    kDownload,     // beta: a new and an edited small file, which alpha downloads
    kRemove,       // alpha: a removed file and a removed folder with a file in it
};

// What the tables make of the refusal, once the server answers again.
enum class Outcome {
    // Retried or handed back until the server answers: all three agree.
    kConverges,
    // The upload's conflict codes rename the local item to a conflict name, which is
    // then uploaded: all three agree, the written content under that name.
    kConflictCopy,
    // The upload's "base changed" codes finish the event to wait for the server's
    // newer version; as none exists, the change goes up at the writer daemon's next
    // start (its rescan), which the run performs.
    kAtNextStart,
    // The server's word that an item is gone (or changed) is taken: the refusing side
    // lets go of its copy (a downloaded file's old copy goes to the recycle folder; a
    // removal is recorded as done) and the other two keep theirs.
    kServerSaysGone,
};

// Codes of one action that the tables treat alike, each a row of its own.
struct Rows {
    const char* action;
    Change change;
    Outcome outcome;
    std::vector<uint32_t> codes;
};

const Rows kRows[] = {
    // Retried (internal errors, codes of no known class); handed back with a connection
    // error (0x1, 0x2, 0x5), with a session error (0x3001-3, 0x4001-2), or quietly.
    {"upload",
     Change::kUpload,
     Outcome::kConverges,
     {0x7001, 0x0001, 0x4003, 0xC001, 0x1001, 0x2001, 0x5001, 0x3001, 0x3002, 0x3003, 0x4001, 0x4002, 0x8002, 0xA003,
      0xB001, 0x7000}},
    // The upload's own codes.
    {"upload", Change::kUpload, Outcome::kServerSaysGone, {0x9001}},
    {"upload", Change::kUpload, Outcome::kAtNextStart, {0x9002, 0x6001}},
    {"upload", Change::kUpload, Outcome::kConflictCopy, {0x6002}},
    // The resumable upload's steps.
    {"resume_get_token", Change::kUploadLarge, Outcome::kConverges, {0x7001, 0x4001, 0xB001}},
    {"resume_upload", Change::kUploadLarge, Outcome::kConverges, {0x7001, 0x3002, 0x1001, 0x8002, 0xB001}},
    {"resume_upload", Change::kUploadLarge, Outcome::kServerSaysGone, {0x9001}},
    {"resume_upload", Change::kUploadLarge, Outcome::kAtNextStart, {0x9002}},
    {"resume_upload", Change::kUploadLarge, Outcome::kConflictCopy, {0x6002}},
    // Downloads: the token, then the transfer.
    {"resume_get_token", Change::kDownload, Outcome::kConverges, {0x7001, 0x3001, 0xB001}},
    {"resume_download",
     Change::kDownload,
     Outcome::kConverges,
     {0x7001, 0x0001, 0x6002, 0xC001, 0x1001, 0x5001, 0x3001, 0x3002, 0x3003, 0x4001, 0x4002, 0x8002, 0x9001, 0xB001}},
    {"resume_download", Change::kDownload, Outcome::kServerSaysGone, {0x8001}},
    // Removals.
    {"remove",
     Change::kRemove,
     Outcome::kConverges,
     {0x7001, 0x0001, 0x6002, 0xC001, 0x1001, 0x5001, 0x3001, 0x3002, 0x3003, 0x4001, 0x4002, 0x8002, 0xB001, 0xA003}},
    {"remove", Change::kRemove, Outcome::kServerSaysGone, {0xA001, 0xA002}},
};

// The short form: one row per action (upload, download, removal).
const std::set<std::string> kShortForm = {"upload=0x7001", "resume_download=0x7001", "remove=0x7001"};

std::string Hex(uint32_t code) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%04" PRIx32, code);
    return buf;
}

const size_t kLarge = 600 * 1024;  // above the resumable upload's threshold

// Writes content at rel in the client's folder and records it as expected.
void Put(e2e::Client& c, const std::string& rel, const std::string& content, e2e::Tree& expected) {
    e2e::WriteFile(c.path(rel), content);
    expected[rel] = e2e::Md4OfFile(c.path(rel));
}

void Mkdir(e2e::Client& c, const std::string& rel, e2e::Tree& expected) {
    std::filesystem::create_directories(c.path(rel));
    expected[rel] = e2e::kDirMark;
}

// The tree every run starts from, written by alpha and synchronised to all three.
void WriteBase(e2e::Client& a, uint64_t seed, e2e::Tree& expected) {
    Mkdir(a, "kept", expected);
    Put(a, "kept/edit.txt", e2e::Noise(3000, seed), expected);
    Put(a, "kept/gone.txt", e2e::Noise(2000, seed + 1), expected);
    Put(a, "kept/big-edit.bin", e2e::Noise(kLarge, seed + 2), expected);
    Mkdir(a, "kept/gone-dir", expected);
    Put(a, "kept/gone-dir/inner.txt", e2e::Noise(1500, seed + 3), expected);
}

// Makes the row's change and records its outcome in expected. The files it writes are
// the ones whose content the run checks while the fault lasts (writer's side).
void MakeChange(World& w, Change change, uint64_t seed, e2e::Tree& expected, std::vector<std::string>& written,
                e2e::Client*& writer) {
    writer = &w.a;
    auto put = [&](e2e::Client& c, const std::string& rel, size_t size, uint64_t s) {
        Put(c, rel, e2e::Noise(size, s), expected);
        written.push_back(rel);
    };
    switch (change) {
        case Change::kUpload:
            put(w.a, "kept/edit.txt", 4000, seed + 10);
            put(w.a, "new.txt", 5000, seed + 11);
            Mkdir(w.a, "new-dir", expected);
            break;
        case Change::kUploadLarge:
            put(w.a, "kept/big-edit.bin", kLarge + 4096, seed + 12);
            put(w.a, "big-new.bin", kLarge, seed + 13);
            break;
        case Change::kDownload:
            writer = &w.b;
            put(w.b, "kept/edit.txt", 4500, seed + 14);
            put(w.b, "down-new.txt", 6000, seed + 15);
            break;
        case Change::kRemove:
            std::filesystem::remove(w.a.path("kept/gone.txt"));
            std::filesystem::remove_all(w.a.path("kept/gone-dir"));
            expected.erase("kept/gone.txt");
            expected.erase("kept/gone-dir");
            expected.erase("kept/gone-dir/inner.txt");
            break;
    }
}

// A tree with every conflict copy ("NAME_CLIENT_STAMP_Conflict.EXT") under the name it
// was made from, when that name is free: the content counts, not the name.
e2e::Tree UnderOriginalNames(const e2e::Tree& tree) {
    e2e::Tree out;
    for (const auto& [rel, hash] : tree) {
        const size_t mark = rel.find("_Conflict");
        const size_t slash = rel.rfind('/');
        const size_t base = slash == std::string::npos ? 0 : slash + 1;
        // The client's name and the stamp sit between the original stem and the mark.
        size_t cut = std::string::npos;
        if (mark != std::string::npos && mark > base) {
            const size_t stamp = rel.rfind('_', mark - 1);
            if (stamp != std::string::npos && stamp > base) cut = rel.rfind('_', stamp - 1);
        }
        if (cut == std::string::npos || cut < base) {
            out[rel] = hash;
            continue;
        }
        const std::string original = rel.substr(0, cut) + rel.substr(mark + 9);
        out[tree.count(original) ? rel : original] = hash;
    }
    return out;
}

// Files lost or damaged while the fault lasts: every file the writer wrote must hold
// what was written; on the other side and on the server each file of the base or of
// the change must hold one of the two versions (never a partial or mixed one), and
// only a removal, a conflict copy's rename or the server's word may take a base
// file away.
Check DuringFault(World& w, const e2e::Tree& base, const e2e::Tree& expected, const std::vector<std::string>& written,
                  e2e::Client& writer, bool base_may_go) {
    Check c;
    // A conflict copy keeps the content: it counts under the name it was made from.
    const e2e::Tree mine = UnderOriginalNames(e2e::LocalTree(writer.sync));
    for (const std::string& rel : written) {
        const std::string now = mine.count(rel) ? mine.at(rel) : "<unreadable>";
        if (now != expected.at(rel)) {
            ++(now == "<unreadable>" ? c.lost : c.corrupted);
            c.detail += "  while refused: " + writer.computer + " holds " + now + " in " + rel + "\n";
        }
    }
    e2e::Tree ts;
    e2e::ServerTree(w.server, ts);
    e2e::Client& other = &writer == &w.a ? w.b : w.a;
    const std::vector<std::pair<std::string, e2e::Tree>> sides{
        {other.computer, UnderOriginalNames(e2e::LocalTree(other.sync))}, {"server", UnderOriginalNames(ts)}};
    for (const auto& [name, tree] : sides) {
        for (const auto& [rel, hash] : tree) {
            auto old_it = base.find(rel);
            auto new_it = expected.find(rel);
            const bool known = (old_it != base.end() && old_it->second == hash) ||
                               (new_it != expected.end() && new_it->second == hash);
            if (!known) {
                ++c.corrupted;
                c.detail += "  while refused: " + name + " holds unknown content in " + rel + "\n";
            }
        }
        if (!base_may_go)
            for (const auto& [rel, hash] : base)
                if (!tree.count(rel)) {
                    ++c.lost;
                    c.detail += "  while refused: " + name + " lacks " + rel + "\n";
                }
    }
    return c;
}

// After the server took its word back: waits until both daemons are idle and the three
// trees hold still, then counts what the server's word may not cost: every written
// content must be on its writer and on the server under some name, every base file the
// run did not remove must still be on the server, and no side may hold content that
// nobody wrote.
bool SettleByTheServersWord(World& w, const e2e::Tree& base, const e2e::Tree& expected,
                            const std::vector<std::string>& written, e2e::Client& writer, Check& c) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(faults::kConvergeSeconds);
    e2e::Tree ta, tb, ts, last_a, last_b, last_s;
    int still = 0;
    while (still < 3 && std::chrono::steady_clock::now() < until) {
        faults::SleepMs(500);
        const bool idle = w.a.Idle() && w.b.Idle();
        ta = e2e::LocalTree(w.a.sync);
        tb = e2e::LocalTree(w.b.sync);
        e2e::ServerTree(w.server, ts);
        still = idle && ta == last_a && tb == last_b && ts == last_s ? still + 1 : 0;
        last_a = ta, last_b = tb, last_s = ts;
    }
    if (still < 3) c.detail += "  the daemons did not come to rest\n";
    std::set<std::string> known;
    for (const auto* t : {&base, &expected})
        for (const auto& [rel, hash] : *t) known.insert(hash);
    auto holds = [](const e2e::Tree& t, const std::string& hash) {
        for (const auto& [rel, h] : t)
            if (h == hash) return true;
        return false;
    };
    const e2e::Tree& tw = &writer == &w.a ? ta : tb;
    for (const std::string& rel : written)
        for (const auto& [name, tree] :
             {std::pair<std::string, const e2e::Tree*>{writer.computer, &tw}, {"server", &ts}})
            if (!holds(*tree, expected.at(rel))) {
                ++c.lost;
                c.detail += "  " + name + " lost the written content of " + rel + "\n";
            }
    for (const auto& [rel, hash] : base)
        if (expected.count(rel) && hash != e2e::kDirMark && !holds(ts, hash) && expected.at(rel) == hash) {
            ++c.lost;
            c.detail += "  server lost " + rel + "\n";
        }
    for (const auto& [name, tree] :
         {std::pair<std::string, const e2e::Tree*>{"alpha", &ta}, {"beta", &tb}, {"server", &ts}})
        for (const auto& [rel, hash] : *tree)
            if (!known.count(hash)) {
                ++c.corrupted;
                c.detail += "  " + name + " holds unknown content in " + rel + "\n";
            }
    c.detail += "alpha:\n" + e2e::Describe(ta) + "beta:\n" + e2e::Describe(tb) + "server:\n" + e2e::Describe(ts);
    return still >= 3;
}

// One row: a synchronised base, the server restarted with the fault, the change, a
// wait until the fault was met at least twice (so the daemon came back after the first
// refusal), the checks above, then the server restarted without the fault and the
// outcome the tables give. An empty text when the row ran, else why it could not.
std::string RunRow(const char* action, uint32_t code, const Rows& row, uint64_t seed, bool& converged, Check& check) {
    World w;
    std::string why = w.Start();
    if (!why.empty()) return why;
    e2e::Tree expected;
    WriteBase(w.a, seed, expected);
    Check settled;
    if (!w.Settle(expected, settled)) return "the base did not settle:\n" + settled.detail;
    const e2e::Tree base = expected;

    if (!w.server.Restart({"--fault", std::string(action) + "=" + Hex(code)}))
        return "nimbrel-refserver did not restart with the fault";
    std::vector<std::string> written;
    e2e::Client* writer = nullptr;
    MakeChange(w, row.change, seed, expected, written, writer);
    const int seconds = faults::kSanitized ? 120 : 60;
    if (!w.server.WaitLog("fault injected", 2, seconds))
        return "the fault was met " + std::to_string(w.server.CountLog("fault injected")) + " times";
    Check during = DuringFault(w, base, expected, written, *writer,
                               row.change == Change::kRemove || row.outcome != Outcome::kConverges);

    if (!w.server.Restart({})) return "nimbrel-refserver did not restart without the fault";
    switch (row.outcome) {
        case Outcome::kConverges:
            converged = w.Settle(expected, check);
            break;
        case Outcome::kAtNextStart:
            // Let the finished events pass, then start the writer again: its rescan finds
            // the change that never went up.
            faults::SleepMs(3000);
            writer->Kill();
            why = writer->Start(w.server);
            if (!why.empty()) return why;
            converged = w.Settle(expected, check);
            break;
        case Outcome::kConflictCopy:
            converged = w.Settle(expected, check, UnderOriginalNames);
            break;
        case Outcome::kServerSaysGone:
            converged = SettleByTheServersWord(w, base, expected, written, *writer, check);
            break;
    }
    check.lost += during.lost;
    check.corrupted += during.corrupted;
    check.detail = during.detail + check.detail;
    return "";
}

// Rows run: the short form's (NIMBREL_FAULT_RUNS unset or 1), else every row once;
// NIMBREL_FAULT_ROW="ACTION=CODE" runs that row alone.
TEST(Faults, ServerErrorClassesOnUploadDownloadRemove) {
    Tally tally("server error classes on upload/download/remove");
    const bool full = faults::Runs(1, 2) > 1;
    const char* only = getenv("NIMBREL_FAULT_ROW");
    int run = 0;
    for (const Rows& rows : kRows)
        for (uint32_t code : rows.codes) {
            const std::string name = std::string(rows.action) + "=" + Hex(code);
            if (only && *only ? name != only : !full && !kShortForm.count(name)) continue;
            auto rng = tally.Rng(run);
            bool converged = false;
            Check check;
            const std::string why = RunRow(rows.action, code, rows, rng(), converged, check);
            if (!why.empty()) check.detail = "the row did not run: " + why + "\n";
            if (!converged || check.lost || check.corrupted || check.extra) check.detail = name + ":\n" + check.detail;
            // A single row (NIMBREL_FAULT_ROW) shows where it ended.
            if (only && *only) printf("%s", check.detail.c_str());
            tally.Add(run++, converged, check);
        }
    tally.Report();
}

}  // namespace
