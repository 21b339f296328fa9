#include "foundation/tmp_name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

bool well_formed(const ustring& name, const std::string& prefix) {
    std::string s = name.str();
    if (s.size() != prefix.size() + 9 || s.compare(0, prefix.size(), prefix) != 0 || s[prefix.size()] != '/')
        return false;
    for (size_t i = prefix.size() + 1; i < s.size(); ++i)
        if (!strchr(TmpNameGen::kAlphabet, s[i]) || s[i] == 0) return false;
    return true;
}

// Reference names for fixed keys, computed independently of this implementation
// from the key schedule over 256 bytes and six output bytes per name.
TEST(TmpNameGen, KnownKeysGiveKnownNames) {
    TmpNameGen a("12345");
    EXPECT_EQ(a.getTmpName("p"), "p/umWbjSEY");
    EXPECT_EQ(a.getTmpName("p"), "p/RgnXE6hO");
    EXPECT_EQ(a.getTmpName(""), "/OXJ-7yt6");
    TmpNameGen b("987654321000");
    EXPECT_EQ(b.getTmpName("/tmp/x"), "/tmp/x/vGTly716");
    EXPECT_EQ(b.getTmpName("/tmp/x"), "/tmp/x/KREifmHx");
}

TEST(TmpNameGen, ConsecutiveNamesAreWellFormedAndDiffer) {
    TmpNameGen& g = TmpNameGen::getInstance();
    EXPECT_EQ(&g, &TmpNameGen::getInstance());
    ustring a = g.getTmpName("D:/x");
    ustring b = g.getTmpName("D:/x");
    EXPECT_TRUE(well_formed(a, "D:/x")) << a;
    EXPECT_TRUE(well_formed(b, "D:/x")) << b;
    EXPECT_NE(a, b);
}

TEST(TmpNameGen, ManyThreadsGetDistinctNames) {
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<std::vector<std::string>> names(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) names[t].push_back(TmpNameGen::getInstance().getTmpName("w").str());
        });
    for (auto& th : threads) th.join();
    std::set<std::string> all;
    for (auto& v : names)
        for (auto& n : v) {
            EXPECT_TRUE(well_formed(n.c_str(), "w")) << n;
            all.insert(n);
        }
    // 48 random bits per name: a repeat among 8000 names would point at a broken state.
    EXPECT_EQ(all.size(), size_t(kThreads * kEach));
}

}  // namespace
