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

struct Row {
    const char* action;
    uint32_t code;
    Change change;
    bool in_short_form;
};

// The short form runs one row per kind of change; the full form every row.
const Row kRows[] = {
    // Retried where they are: internal errors and codes of no known class.
    {"upload", 0x7001, Change::kUpload, true},
    {"upload", 0x0001, Change::kUpload, false},
    {"upload", 0x4003, Change::kUpload, false},
    {"upload", 0xC001, Change::kUpload, false},
    // Handed back, with a connection error for the UI.
    {"upload", 0x1001, Change::kUpload, false},
    {"upload", 0x2001, Change::kUpload, false},
    {"upload", 0x5001, Change::kUpload, false},
    // Handed back, with a session error for the UI.
    {"upload", 0x3001, Change::kUpload, false},
    {"upload", 0x3002, Change::kUpload, false},
    {"upload", 0x3003, Change::kUpload, false},
    {"upload", 0x4001, Change::kUpload, false},
    {"upload", 0x4002, Change::kUpload, false},
    // Handed back quietly.
    {"upload", 0x8002, Change::kUpload, false},
    {"upload", 0xA003, Change::kUpload, false},
    {"upload", 0xB001, Change::kUpload, false},
    // The upload's own codes.
    {"upload", 0x7000, Change::kUpload, false},
    {"upload", 0x9001, Change::kUpload, false},
    {"upload", 0x9002, Change::kUpload, false},
    {"upload", 0x6001, Change::kUpload, false},
    {"upload", 0x6002, Change::kUpload, false},
    // The resumable upload's steps.
    {"resume_get_token", 0x7001, Change::kUploadLarge, false},
    {"resume_get_token", 0x4001, Change::kUploadLarge, false},
    {"resume_get_token", 0xB001, Change::kUploadLarge, false},
    {"resume_upload", 0x7001, Change::kUploadLarge, false},
    {"resume_upload", 0x3002, Change::kUploadLarge, false},
    {"resume_upload", 0x1001, Change::kUploadLarge, false},
    {"resume_upload", 0x8002, Change::kUploadLarge, false},
    {"resume_upload", 0xB001, Change::kUploadLarge, false},
    {"resume_upload", 0x9001, Change::kUploadLarge, false},
    {"resume_upload", 0x9002, Change::kUploadLarge, false},
    {"resume_upload", 0x6002, Change::kUploadLarge, false},
    // Downloads: the token, then the transfer.
    {"resume_get_token", 0x7001, Change::kDownload, false},
    {"resume_get_token", 0x3001, Change::kDownload, false},
    {"resume_get_token", 0xB001, Change::kDownload, false},
    {"resume_download", 0x7001, Change::kDownload, true},
    {"resume_download", 0x0001, Change::kDownload, false},
    {"resume_download", 0x6002, Change::kDownload, false},
    {"resume_download", 0xC001, Change::kDownload, false},
    {"resume_download", 0x1001, Change::kDownload, false},
    {"resume_download", 0x5001, Change::kDownload, false},
    {"resume_download", 0x3001, Change::kDownload, false},
    {"resume_download", 0x3002, Change::kDownload, false},
    {"resume_download", 0x3003, Change::kDownload, false},
    {"resume_download", 0x4001, Change::kDownload, false},
    {"resume_download", 0x4002, Change::kDownload, false},
    {"resume_download", 0x8002, Change::kDownload, false},
    {"resume_download", 0x9001, Change::kDownload, false},
    {"resume_download", 0xB001, Change::kDownload, false},
    {"resume_download", 0x8001, Change::kDownload, false},
    // Removals.
    {"remove", 0x7001, Change::kRemove, true},
    {"remove", 0x0001, Change::kRemove, false},
    {"remove", 0x6002, Change::kRemove, false},
    {"remove", 0xC001, Change::kRemove, false},
    {"remove", 0x1001, Change::kRemove, false},
    {"remove", 0x5001, Change::kRemove, false},
    {"remove", 0x3001, Change::kRemove, false},
    {"remove", 0x3002, Change::kRemove, false},
    {"remove", 0x3003, Change::kRemove, false},
    {"remove", 0x4001, Change::kRemove, false},
    {"remove", 0x4002, Change::kRemove, false},
    {"remove", 0x8002, Change::kRemove, false},
    {"remove", 0xB001, Change::kRemove, false},
    {"remove", 0xA003, Change::kRemove, false},
    {"remove", 0xA001, Change::kRemove, false},
    {"remove", 0xA002, Change::kRemove, false},
};

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

// Files lost or damaged while the fault lasts: every file the writer wrote must hold
// what was written; on the other side and on the server each file of the base or of
// the change must hold one of the two versions (never a partial or mixed one), and
// only a removal may take a base file away.
Check DuringFault(World& w, const e2e::Tree& base, const e2e::Tree& expected, const std::vector<std::string>& written,
                  e2e::Client& writer, bool removal) {
    Check c;
    for (const std::string& rel : written) {
        const std::string now = e2e::Md4OfFile(writer.path(rel));
        if (now != expected.at(rel)) {
            ++(now == "<unreadable>" ? c.lost : c.corrupted);
            c.detail += "  while refused: " + writer.computer + " holds " + now + " in " + rel + "\n";
        }
    }
    e2e::Tree ts;
    e2e::ServerTree(w.server, ts);
    e2e::Client& other = &writer == &w.a ? w.b : w.a;
    const std::vector<std::pair<std::string, e2e::Tree>> sides{{other.computer, e2e::LocalTree(other.sync)},
                                                              {"server", ts}};
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
        if (!removal)
            for (const auto& [rel, hash] : base)
                if (!tree.count(rel)) {
                    ++c.lost;
                    c.detail += "  while refused: " + name + " lacks " + rel + "\n";
                }
    }
    return c;
}

// One row: a synchronised base, the server restarted with the fault, the change, a
// wait until the fault was met at least twice (so the daemon came back after the first
// refusal), the checks above, then the server restarted without the fault and a
// settle. An empty text when the row ran, else why it could not.
std::string RunRow(const Row& row, uint64_t seed, bool& converged, Check& check) {
    World w;
    std::string why = w.Start();
    if (!why.empty()) return why;
    e2e::Tree expected;
    WriteBase(w.a, seed, expected);
    Check settled;
    if (!w.Settle(expected, settled)) return "the base did not settle:\n" + settled.detail;
    const e2e::Tree base = expected;

    if (!w.server.Restart({"--fault", std::string(row.action) + "=" + Hex(row.code)}))
        return "nimbrel-refserver did not restart with the fault";
    std::vector<std::string> written;
    e2e::Client* writer = nullptr;
    MakeChange(w, row.change, seed, expected, written, writer);
    const int seconds = faults::kSanitized ? 120 : 60;
    if (!w.server.WaitLog("fault injected", 2, seconds))
        return "the fault was met " + std::to_string(w.server.CountLog("fault injected")) + " times";
    Check during = DuringFault(w, base, expected, written, *writer, row.change == Change::kRemove);

    if (!w.server.Restart({})) return "nimbrel-refserver did not restart without the fault";
    converged = w.Settle(expected, check);
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
    for (const Row& row : kRows) {
        const std::string name = std::string(row.action) + "=" + Hex(row.code);
        if (only && *only ? name != only : !full && !row.in_short_form) continue;
        auto rng = tally.Rng(run);
        bool converged = false;
        Check check;
        const std::string why = RunRow(row, rng(), converged, check);
        if (!why.empty()) check.detail = "the row did not run: " + why + "\n";
        if (!converged || check.lost || check.corrupted || check.extra) check.detail = name + ":\n" + check.detail;
        printf("server error row %s: %s\n", name.c_str(), converged && !check.lost && !check.corrupted && !check.extra ? "ok" : "FAILED");
        tally.Add(run++, converged, check);
    }
    tally.Report();
}

}  // namespace
