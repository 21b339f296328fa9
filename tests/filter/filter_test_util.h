// Helpers shared by the filter tests.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "filter/filter.h"

namespace filter_test {

// A filter that is initialised on construction and destroyed with the object.
struct ScopedFilter {
    Filter f;
    ScopedFilter() { filter_init(&f); }
    ~ScopedFilter() { filter_destroy(&f); }
    ScopedFilter(const ScopedFilter&) = delete;
    ScopedFilter& operator=(const ScopedFilter&) = delete;
    Filter* operator->() { return &f; }
    Filter* get() { return &f; }
};

struct ScopedWhiteList {
    WhiteList w;
    ScopedWhiteList() { white_list_init(&w); }
    ~ScopedWhiteList() { white_list_destroy(&w); }
    ScopedWhiteList(const ScopedWhiteList&) = delete;
    ScopedWhiteList& operator=(const ScopedWhiteList&) = delete;
    WhiteList* get() { return &w; }
};

inline std::vector<std::string> entries(const value_type_string_set& s) {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < s.used; ++i) out.emplace_back(s.set[i]);
    return out;
}

// A directory under /tmp, unique to this process, removed with its files.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/nimbrel-filter-XXXXXX";
        char* p = mkdtemp(tmpl);
        if (p) path_ = p;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::string& text) const {
        std::string p = file(name);
        FILE* f = std::fopen(p.c_str(), "w");
        if (f) {
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
        }
        return p;
    }

private:
    std::string path_;
};

inline std::string read_file(const std::string& path) {
    std::string out;
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
}

}  // namespace filter_test
