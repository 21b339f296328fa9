// Helpers shared by the delta engine tests: a scratch directory per process, files,
// random data, running programs.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace delta_test {

using Bytes = std::vector<uint8_t>;

inline const std::string& scratch_dir() {
    // The name is kept in plain storage too: the removal at exit runs after the string
    // itself has been destroyed.
    static char name[] = "/tmp/nimbrel-delta-test-XXXXXX";
    static const std::string dir = [] {
        if (::mkdtemp(name) == nullptr) std::abort();
        std::atexit([] { std::system((std::string("rm -rf '") + name + "'").c_str()); });
        return std::string(name);
    }();
    return dir;
}

inline std::string path(const std::string& name) { return scratch_dir() + "/" + name; }

inline void write_file(const std::string& file, const Bytes& data) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline Bytes read_file(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool exists(const std::string& file) {
    struct stat st;
    return ::stat(file.c_str(), &st) == 0;
}

inline Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(gen());
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes slice(const Bytes& b, size_t from, size_t len) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + len));
}

// Runs a program with its arguments; returns its exit status (-1 when it did not exit).
// Output goes to the given file when one is named.
inline int run(const std::vector<std::string>& argv, const std::string& output = "") {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (!output.empty()) {
            FILE* f = std::freopen(output.c_str(), "w", stdout);
            if (f == nullptr) ::_exit(126);
            ::dup2(::fileno(stdout), 2);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string find_program(const std::string& name) {
    const char* env = std::getenv("PATH");
    std::string paths = env ? env : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= paths.size()) {
        size_t end = paths.find(':', start);
        if (end == std::string::npos) end = paths.size();
        std::string candidate = paths.substr(start, end - start) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// Captures the delta engine's error lines for the life of the object.
class ErrorCapture {
public:
    ErrorCapture();
    ~ErrorCapture();
    std::string text();

private:
    FILE* file;
};

}  // namespace delta_test
