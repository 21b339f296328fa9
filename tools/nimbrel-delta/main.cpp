// nimbrel-delta: signatures, deltas and patches from the command line.
//   nimbrel-delta [OPTIONS] signature BASIS SIG
//   nimbrel-delta [OPTIONS] delta SIG NEW DELTA
//   nimbrel-delta [OPTIONS] patch BASIS DELTA NEW
//   nimbrel-delta md4 FILE
// Exit status 0 on success, 1 on any failure (with a message on stderr).
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "delta/delta_file_reader.h"
#include "delta/simple_file_reader.h"

namespace {

const char* const kUsage =
    "Usage: nimbrel-delta [OPTIONS] signature BASIS SIG\n"
    "       nimbrel-delta [OPTIONS] delta SIG NEW DELTA\n"
    "       nimbrel-delta [OPTIONS] patch BASIS DELTA NEW\n"
    "       nimbrel-delta md4 FILE\n"
    "\n"
    "Block signatures of BASIS, a delta of NEW against such a signature, a patch that\n"
    "rebuilds NEW from BASIS and the delta, and a file's MD4 hash. Outputs are written\n"
    "aside and renamed into place when complete.\n"
    "\n"
    "Options:\n"
    "  -b, --block-size=BYTES  signature block size (default 2048)\n"
    "  -S, --sum-size=BYTES    strong sum bytes per block, 1 to 16 (default 8)\n"
    "  -f, --force             overwrite existing output files\n"
    "  -h, --help              show this help\n";

struct Options {
    uint32_t block_size = SignatureHandler::DEFAULT_BLOCK_SIZE;
    uint32_t sum_size = SignatureHandler::DEFAULT_HASH_SIZE;
    bool force = false;
};

int fail(const char* format, const char* a = "", const char* b = "") {
    std::fprintf(stderr, "nimbrel-delta: ");
    std::fprintf(stderr, format, a, b);
    std::fprintf(stderr, "\n");
    return 1;
}

int usage_error(const char* what) {
    std::fprintf(stderr, "nimbrel-delta: %s\n%s", what, kUsage);
    return 1;
}

bool parse_size(const char* text, uint32_t min, uint32_t max, uint32_t& out) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v < min || v > max) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

// Inputs must be readable regular files.
int check_input(const char* path) {
    struct stat st;
    if (::stat(path, &st) != 0) return fail("cannot read '%s': %s", path, std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return fail("cannot read '%s': %s", path, std::strerror(EISDIR));
    if (::access(path, R_OK) != 0) return fail("cannot read '%s': %s", path, std::strerror(errno));
    return 0;
}

// Outputs are not overwritten without --force, and never when they are an input.
int check_output(const char* path, const std::vector<const char*>& inputs, bool force) {
    for (const char* in : inputs)
        if (std::strcmp(in, path) == 0 || fd_same_file(in, path))
            return fail("output '%s' is the same file as input '%s'", path, in);
    struct stat st;
    if (::lstat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode)) return fail("cannot write '%s': %s", path, std::strerror(EISDIR));
        if (!force) return fail("output '%s' exists; use --force to overwrite it", path);
    }
    return 0;
}

const char* describe(DeltaResult rc) {
    switch (rc) {
        case DeltaResult::kArgument:
            return "invalid arguments";
        case DeltaResult::kSystemCall:
            return "a file could not be read or written";
        case DeltaResult::kHandlerCall:
            return "an output could not be produced (or the signature is invalid)";
        case DeltaResult::kAbort:
            return "aborted";
        case DeltaResult::kFileFormat:
            return "the delta is malformed or does not fit the basis";
        default:
            return "unknown failure";
    }
}

// The result is written to a scratch file beside the output and renamed into place only
// when complete: a failure leaves neither a half-written output nor a lost old one.
class Output {
public:
    Output(const char* final_path, bool force) : target(final_path), overwrite(force) {}
    ~Output() {
        if (!scratch.empty()) ::unlink(scratch.c_str());
    }

    const std::string& open_name() const { return scratch; }

    // Makes the scratch file; its name, or "" (with a message) when it cannot be made.
    const std::string& open() {
        std::string dir = target;
        size_t slash = dir.rfind('/');
        dir = slash == std::string::npos ? "." : dir.substr(0, slash + 1);
        std::string templ = dir + "/.nimbrel-delta-XXXXXX";
        int fd = ::mkstemp(templ.data());
        if (fd < 0) {
            fail("cannot write in '%s': %s", dir.c_str(), std::strerror(errno));
            return scratch;
        }
        mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
        ::close(fd);
        scratch = templ;
        return scratch;
    }

    int commit() {
        int rc = overwrite ? ::rename(scratch.c_str(), target.c_str())
                           : ::renameat2(AT_FDCWD, scratch.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
        if (rc != 0) return fail("cannot write '%s': %s", target.c_str(), std::strerror(errno));
        scratch.clear();
        return 0;
    }

private:
    std::string target;
    bool overwrite;
    std::string scratch;
};

int finish(DeltaResult rc, const char* command, Output* output) {
    if (rc != DeltaResult::kDone) return fail("%s failed: %s", command, describe(rc));
    return output != nullptr ? output->commit() : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    static const option longs[] = {
        {"block-size", required_argument, nullptr, 'b'},
        {"sum-size", required_argument, nullptr, 'S'},
        {"force", no_argument, nullptr, 'f'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    opterr = 0;
    while ((c = getopt_long(argc, argv, "+b:S:fh", longs, nullptr)) != -1) {
        switch (c) {
            case 'b':
                if (!parse_size(optarg, 1, SignatureHandler::MAX_BLOCK_SIZE, opt.block_size))
                    return usage_error("invalid block size");
                break;
            case 'S':
                if (!parse_size(optarg, 1, SignatureHandler::MAX_HASH_SIZE, opt.sum_size))
                    return usage_error("invalid sum size");
                break;
            case 'f':
                opt.force = true;
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                return 0;
            default:
                return usage_error("unknown option");
        }
    }
    std::vector<const char*> args(argv + optind, argv + argc);
    if (args.empty()) return usage_error("missing command");
    std::string cmd = args[0];
    args.erase(args.begin());

    if (cmd == "signature") {
        if (args.size() != 2) return usage_error("signature needs BASIS and SIG");
        if (check_input(args[0]) || check_output(args[1], {args[0]}, opt.force)) return 1;
        Output out(args[1], opt.force);
        if (out.open().empty()) return 1;
        SimpleFileReader reader;
        reader.setFile(args[0]);
        reader.setSignature(out.open_name(), opt.block_size, opt.sum_size);
        return finish(reader.readFile(), "signature", &out);
    }
    if (cmd == "delta") {
        if (args.size() != 3) return usage_error("delta needs SIG, NEW and DELTA");
        if (check_input(args[0]) || check_input(args[1]) || check_output(args[2], {args[0], args[1]}, opt.force))
            return 1;
        Output out(args[2], opt.force);
        if (out.open().empty()) return 1;
        SimpleFileReader reader;
        reader.setFile(args[1]);
        reader.setDelta(out.open_name(), args[0]);
        return finish(reader.readFile(), "delta", &out);
    }
    if (cmd == "patch") {
        if (args.size() != 3) return usage_error("patch needs BASIS, DELTA and NEW");
        if (check_input(args[0]) || check_input(args[1]) || check_output(args[2], {args[0], args[1]}, opt.force))
            return 1;
        Output out(args[2], opt.force);
        if (out.open().empty()) return 1;
        DeltaFileReader reader;
        reader.setFile(args[1], args[0]);
        reader.setNewFile(out.open_name());
        return finish(reader.readFile(), "patch", &out);
    }
    if (cmd == "md4") {
        if (args.size() != 1) return usage_error("md4 needs FILE");
        if (check_input(args[0])) return 1;
        SimpleFileReader reader;
        ustring hex;
        reader.setFile(args[0]);
        reader.setHashString(hex);
        DeltaResult rc = reader.readFile();
        if (rc != DeltaResult::kDone) return finish(rc, "md4", nullptr);
        std::printf("%s  %s\n", hex.c_str_utf8(), args[0]);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    return usage_error("unknown command");
}
