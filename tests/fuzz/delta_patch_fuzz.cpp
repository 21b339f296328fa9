// Applies arbitrary deltas to a small basis file. A malformed delta must fail cleanly;
// a delta that applies must also reverse exactly.
//
// Input: flags (1 byte), basis length (2 bytes, big-endian, taken modulo 2048), the basis,
// then the delta. Flag bit 0 asks for a reverse delta; bit 1 puts the delta magic in
// front so that the command stream itself gets explored.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "delta/delta_file_reader.h"
#include "delta/error_output.h"

namespace {

std::string g_dir;

void write_all(const std::string& file, const uint8_t* data, size_t n) {
    FILE* f = std::fopen(file.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (n > 0 && std::fwrite(data, 1, n, f) != n) std::abort();
    std::fclose(f);
}

std::vector<uint8_t> read_all(const std::string& file) {
    std::vector<uint8_t> out;
    FILE* f = std::fopen(file.c_str(), "rb");
    if (f == nullptr) return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Memory-backed when possible: the files are rewritten for every input.
    char shm[] = "/dev/shm/nimbrel-delta-fuzz-XXXXXX";
    char tmp[] = "/tmp/nimbrel-delta-fuzz-XXXXXX";
    char* templ = ::mkdtemp(shm);
    if (templ == nullptr) templ = ::mkdtemp(tmp);
    if (templ == nullptr) std::abort();
    g_dir = templ;
    std::atexit([] { ::rmdir(g_dir.c_str()); });
    delta_set_error_output(nullptr);  // malformed input is the normal case here
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    uint8_t flags = data[0];
    size_t basis_len = ((size_t(data[1]) << 8) | data[2]) % 2048;
    data += 3;
    size -= 3;
    if (basis_len > size) basis_len = size;
    const std::string basis = g_dir + "/basis", delta = g_dir + "/delta", out = g_dir + "/new",
                      rdelta = g_dir + "/rdelta", back = g_dir + "/back";
    write_all(basis, data, basis_len);
    std::vector<uint8_t> d;
    if (flags & 2) d = {0x72, 0x73, 0x02, 0x36};
    d.insert(d.end(), data + basis_len, data + size);
    write_all(delta, d.data(), d.size());

    DeltaFileReader reader;
    ustring hex;
    reader.setFile(delta, basis);
    reader.setNewFile(out);
    reader.setHashString(hex);
    if (flags & 1) reader.setReverseDeltaFile(rdelta);
    DeltaResult rc = reader.readFile();
    if (rc != DeltaResult::kDone && rc != DeltaResult::kFileFormat)
        std::abort();  // nothing but the format can be wrong here
    if (rc == DeltaResult::kDone && (flags & 1)) {
        DeltaFileReader undo;
        undo.setFile(rdelta, out);
        undo.setNewFile(back);
        if (undo.readFile() != DeltaResult::kDone) std::abort();
        std::vector<uint8_t> got = read_all(back);
        if (got.size() != basis_len || (basis_len > 0 && std::memcmp(got.data(), data, basis_len) != 0)) std::abort();
    }
    for (const std::string* f : {&basis, &delta, &out, &rdelta, &back}) ::unlink(f->c_str());
    return 0;
}
