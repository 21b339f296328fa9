// The frame of every fault loop: a generated tree written into the clients' folders,
// a fault struck while two daemons and the reference server synchronise it, a bounded
// wait until all three agree, and a check of every file against what was written.
//
// Run counts: unset NIMBREL_FAULT_RUNS gives the short form scripts/test runs,
// "full" the full count of each loop, a number that many runs. NIMBREL_FAULT_SEED
// repeats a loop's random choices; each loop prints the seed it used.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/two_clients.h"

namespace faults {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Generous: the sanitizer builds on a shared two-core machine are slow.
constexpr double kConvergeSeconds = kSanitized ? 240 : 120;

inline int Runs(int short_runs, int full_runs) {
    const char* env = getenv("NIMBREL_FAULT_RUNS");
    if (!env || !*env) return short_runs;
    if (std::string(env) == "full") return full_runs;
    return std::max(1, atoi(env));
}

inline uint64_t Seed() {
    const char* env = getenv("NIMBREL_FAULT_SEED");
    if (env && *env) return strtoull(env, nullptr, 0);
    return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

// Milliseconds drawn evenly from [0, max_ms).
inline int RandomMs(std::mt19937_64& rng, int max_ms) {
    return static_cast<int>(rng() % static_cast<uint64_t>(max_ms));
}

inline void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Writes a tree below root/prefix: nested folders (three deep), `files` small files of
// 0 to 20 KB and `large` files of large_bytes each, and adds each entry with the MD4
// of what was written to expected.
inline void WriteTree(const std::string& root, const std::string& prefix, uint64_t seed, int files, int large,
                      size_t large_bytes, e2e::Tree& expected) {
    namespace fs = std::filesystem;
    std::mt19937_64 rng(seed);
    auto add_dirs = [&](const std::string& rel) {
        std::string at;
        for (size_t i = 0; i <= rel.size(); ++i)
            if (i == rel.size() || rel[i] == '/') {
                at = rel.substr(0, i);
                expected[at] = e2e::kDirMark;
            }
        fs::create_directories(root + "/" + rel);
    };
    auto write = [&](const std::string& rel, const std::string& bytes) {
        e2e::WriteFile(root + "/" + rel, bytes);
        expected[rel] = e2e::Md4OfFile(root + "/" + rel);
    };
    add_dirs(prefix);
    for (int i = 0; i < files; ++i) {
        std::string dir = prefix;
        for (int depth = static_cast<int>(rng() % 4); depth > 0; --depth) dir += "/d" + std::to_string(rng() % 4);
        add_dirs(dir);
        write(dir + "/f" + std::to_string(i) + ".txt", e2e::Noise(rng() % 20001, rng()));
    }
    for (int i = 0; i < large; ++i)
        write(prefix + "/large" + std::to_string(i) + ".bin", e2e::Noise(large_bytes, rng()));
}

// How a side's tree is read before it is compared with expected (nullptr: as it is).
using TreeView = std::function<e2e::Tree(const e2e::Tree&)>;

// The other side edits its file rel meanwhile; the first change on the server keeps the
// name. Items of `name`, below it and its conflict copies are compared by content (only
// those in `kept`, when given: a removed folder's other files may come back with the edit).
inline TreeView EditMeanwhile(const std::string& other_root, const std::string& name, const std::string& rel,
                              e2e::Tree& expected, std::set<std::string> kept = {}) {
    std::error_code ec;
    e2e::WriteFile(other_root + "/" + rel, "edited meanwhile");
    const size_t slash = name.rfind('/'), dot = name.rfind('.');
    const std::string stem = name.substr(0, dot == std::string::npos || dot < slash ? name.size() : dot) + "_";
    const auto ours = [name, stem](const std::string& p) {
        return p == name || p.rfind(name + "/", 0) == 0 ||
               (p.rfind(stem, 0) == 0 && p.find("_Conflict") != std::string::npos &&
                p.find('/', stem.size()) >= p.find("_Conflict"));
    };
    // Hashed from a copy: the other daemon may rename its file from now on.
    const std::string copy = other_root + ".edit";
    e2e::WriteFile(copy, "edited meanwhile");
    const std::string edited = e2e::Md4OfFile(copy);
    std::filesystem::remove(copy, ec);
    if (!kept.empty()) kept.insert(edited);
    const TreeView view = [name, ours, kept](const e2e::Tree& tree) {
        e2e::Tree out;
        for (const auto& [p, hash] : tree)
            if (!ours(p))
                out[p] = hash;
            else if (hash != e2e::kDirMark && (kept.empty() || kept.count(hash)))
                out[name + "#" + hash] = hash;
        return out;
    };
    expected[name + "#" + edited] = edited;
    expected = view(expected);
    return view;
}

// What users do to a tree while it synchronises, one of them drawn: a folder renamed
// away and back four times with no pause, a file replaced by a folder, a folder by a
// file (each half the time while other_root edits that file or one in that folder).
// expected follows the change; the view to compare with it is returned.
inline TreeView UserMove(const std::string& root, const std::string& prefix, std::mt19937_64& rng, e2e::Tree& expected,
                         const std::string& other_root = "") {
    namespace fs = std::filesystem;
    std::vector<std::string> files, dirs;
    for (const auto& [path, hash] : expected)
        if (path.rfind(prefix + "/", 0) == 0) (hash == e2e::kDirMark ? dirs : files).push_back(path);
    std::error_code ec;
    const int kind = static_cast<int>(rng() % 3);
    if (kind == 0 && !dirs.empty()) {
        const std::string d = root + "/" + dirs[rng() % dirs.size()];
        for (int i = 0; i < 4; ++i) fs::rename(i % 2 ? d + ".away" : d, i % 2 ? d : d + ".away", ec);
    } else if (kind == 1 && !files.empty()) {
        const std::string f = files[rng() % files.size()];
        std::mt19937_64 side = rng;  // a draw of its own: the loop's later draws stay
        const bool edit = !other_root.empty() && side() % 2 && fs::is_regular_file(other_root + "/" + f, ec);
        fs::remove(root + "/" + f, ec);
        fs::create_directory(root + "/" + f, ec);
        e2e::WriteFile(root + "/" + f + "/inside.txt", "was a file");
        expected[f] = e2e::kDirMark;
        expected[f + "/inside.txt"] = e2e::Md4OfFile(root + "/" + f + "/inside.txt");
        if (edit) return EditMeanwhile(other_root, f, f, expected);
    } else if (kind == 2 && !dirs.empty()) {
        const std::string d = dirs[rng() % dirs.size()];
        std::mt19937_64 side = rng;
        const auto inside = std::find_if(files.begin(), files.end(), [&](const std::string& f) {
            return f.rfind(d + "/", 0) == 0 && fs::is_regular_file(other_root + "/" + f, ec);
        });
        const bool edit = !other_root.empty() && side() % 2 && inside != files.end();
        fs::remove_all(root + "/" + d, ec);
        e2e::WriteFile(root + "/" + d, "was a folder");
        std::erase_if(expected, [&](const auto& e) { return e.first.rfind(d + "/", 0) == 0; });
        expected[d] = e2e::Md4OfFile(root + "/" + d);
        if (edit) return EditMeanwhile(other_root, d, *inside, expected, {expected[d]});
    }
    return nullptr;
}

// A file renamed to a name that cannot be synchronised (its removal is held back);
// the rename to a valid name, to make after the restart, is returned ("" when none).
// expected follows the end state.
inline std::pair<std::string, std::string> RenameToUnsyncable(const std::string& root, const std::string& prefix,
                                                              std::mt19937_64& rng, e2e::Tree& expected) {
    auto it = expected.lower_bound(prefix + "/");
    for (uint64_t n = rng() % 100; n > 0 && it != expected.end(); --n) ++it;
    if (it == expected.end() || it->second == e2e::kDirMark || it->first.rfind(prefix + "/", 0) != 0) return {};
    const std::string f = it->first;
    std::error_code ec;
    std::filesystem::rename(root + "/" + f, root + "/" + f + "\\x", ec);
    expected[f + ".back"] = it->second;
    expected.erase(f);
    return {root + "/" + f + "\\x", root + "/" + f + ".back"};
}

// What one run left, measured against what was written. A file is lost when one of the
// three sides lacks it, corrupted when one holds other content; extra counts entries
// nobody wrote (such as conflict copies, which a single writer per file never makes).
struct Check {
    int lost = 0, corrupted = 0, extra = 0;
    std::string detail;
};

inline Check Compare(const e2e::Tree& expected, const std::vector<std::pair<std::string, e2e::Tree>>& sides) {
    Check c;
    for (const auto& [path, hash] : expected) {
        bool missing = false, wrong = false;
        for (const auto& [name, tree] : sides) {
            auto it = tree.find(path);
            if (it == tree.end()) {
                missing = true;
                c.detail += "  " + name + " lacks " + path + "\n";
            } else if (it->second != hash) {
                wrong = true;
                c.detail += "  " + name + " holds other content in " + path + "\n";
            }
        }
        c.lost += missing;
        c.corrupted += !missing && wrong;
    }
    for (const auto& [name, tree] : sides)
        for (const auto& [path, hash] : tree)
            if (!expected.count(path)) {
                ++c.extra;
                c.detail += "  " + name + " holds unexpected " + path + "\n";
            }
    return c;
}

// The tree most loops synchronise: 150 files on each side, nested, and large files
// (above the 512 KiB limit of the resumable upload) two on alpha, one on beta.
constexpr int kFiles = 150;
constexpr size_t kLarge = (kSanitized ? 1u : 4u) << 20;
// Faults are drawn from this window after the tree is written: most runs are still
// synchronising then.
constexpr int kWindowMs = kSanitized ? 8000 : 3000;

// One refserver and two daemons, alpha and beta, on one view; fresh for every run.
struct World {
    RefServer server;
    e2e::Client a{"alpha"}, b{"beta"};

    // Writes the usual tree on both sides ("from-alpha", "from-beta"); what was written.
    e2e::Tree WriteTrees(std::mt19937_64& rng) {
        e2e::Tree expected;
        WriteTree(a.sync, "from-alpha", rng(), kFiles, 2, kLarge, expected);
        WriteTree(b.sync, "from-beta", rng(), kFiles, 1, kLarge, expected);
        return expected;
    }

    // An empty text when all three came up, else what failed.
    std::string Start(const std::vector<std::string>& server_options = {}) {
        if (!server.Start(server_options)) return "nimbrel-refserver did not start";
        std::string why = a.Start(server);
        if (why.empty()) why = b.Start(server);
        return why;
    }

    // Waits for the three to agree, then compares them with expected. When they do not
    // agree, the detail names each path on which they differ.
    // `as` maps each tree before the comparison (e.g. conflict copies to their names).
    bool Settle(const e2e::Tree& expected, Check& check, const TreeView& as = nullptr) {
        std::string why;
        const bool converged = e2e::Converge(a, b, server, kConvergeSeconds, why);
        e2e::Tree ts;
        e2e::ServerTree(server, ts);
        auto map = [as](e2e::Tree t) { return as ? as(t) : t; };
        const std::vector<std::pair<std::string, e2e::Tree>> sides = {
            {"alpha", map(e2e::LocalTree(a.sync))}, {"beta", map(e2e::LocalTree(b.sync))}, {"server", map(ts)}};
        check = Compare(expected, sides);
        if (!converged) {
            std::string diff = why.substr(0, why.find('\n') + 1);
            for (const auto& [name, tree] : sides)
                for (const auto& [path, hash] : tree)
                    for (const auto& [other, other_tree] : sides) {
                        auto it = other_tree.find(path);
                        if (it == other_tree.end())
                            diff += "  " + path + " on " + name + ", not on " + other + "\n";
                        else if (name < other && it->second != hash)
                            diff += "  " + path + " differs between " + name + " and " + other + "\n";
                    }
            check.detail = "did not converge: " + diff + check.detail;
        }
        return converged;
    }
};

// The row of one loop in the table: runs, how many converged, files lost, corrupted
// and extra over all runs. Report prints it as one line that tests/faults/run collects
// ("fault-loop: NAME | runs | converged | lost | corrupted | extra") and fails the
// test unless every run converged with nothing lost, corrupted or extra.
class Tally {
public:
    explicit Tally(std::string fault) : name(std::move(fault)), seed(Seed()) {
        printf("fault-loop seed: %s NIMBREL_FAULT_SEED=%llu\n", name.c_str(), static_cast<unsigned long long>(seed));
    }

    // A random source for run i, repeatable from the printed seed.
    std::mt19937_64 Rng(int run) const { return std::mt19937_64(seed + static_cast<uint64_t>(run) * 7919); }

    void Add(int run, bool converged, const Check& c) {
        ++runs;
        converged_runs += converged;
        lost += c.lost;
        corrupted += c.corrupted;
        extra += c.extra;
        printf("fault-loop run: %s #%d converged %d lost %d corrupted %d extra %d\n", name.c_str(), run, converged,
               c.lost, c.corrupted, c.extra);
        fflush(stdout);
        if (!converged || c.lost || c.corrupted || c.extra)
            ADD_FAILURE() << name << ", run " << run << " (seed " << seed << "):\n" << c.detail.substr(0, 20000);
    }

    void Report() const {
        printf("fault-loop: %s | %d | %d | %d | %d | %d\n", name.c_str(), runs, converged_runs, lost, corrupted, extra);
        fflush(stdout);
        const char* out = getenv("NIMBREL_FAULT_TABLE");
        if (out && *out) {
            std::ofstream f(out, std::ios::app);
            f << "| " << name << " | " << runs << " | " << converged_runs << " | " << lost << " | " << corrupted
              << " | " << extra << " |\n";
        }
    }

private:
    std::string name;
    uint64_t seed;
    int runs = 0, converged_runs = 0, lost = 0, corrupted = 0, extra = 0;
};

// Every SQLite database below dir (found by its header), with the result of
// "PRAGMA integrity_check" for each: "ok" when whole.
inline std::vector<std::pair<std::string, std::string>> IntegrityOfDatabases(const std::string& dir) {
    namespace fs = std::filesystem;
    std::vector<std::pair<std::string, std::string>> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        char head[16] = {0};
        std::ifstream f(it->path(), std::ios::binary);
        if (!f.read(head, sizeof head) || std::string(head, 15) != "SQLite format 3") continue;
        std::string result;
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(it->path().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            result = std::string("cannot open: ") + sqlite3_errmsg(db);
        } else {
            sqlite3_busy_timeout(db, 10000);
            sqlite3_stmt* st = nullptr;
            if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) != SQLITE_OK) {
                result = std::string("cannot check: ") + sqlite3_errmsg(db);
            } else {
                while (sqlite3_step(st) == SQLITE_ROW) {
                    if (!result.empty()) result += "; ";
                    result += reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
                }
            }
            sqlite3_finalize(st);
        }
        sqlite3_close(db);
        out.emplace_back(it->path().string(), result);
    }
    return out;
}

}  // namespace faults
