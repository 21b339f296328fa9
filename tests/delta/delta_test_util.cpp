#include "delta/delta_test_util.h"

#include "delta/error_output.h"

namespace delta_test {

ErrorCapture::ErrorCapture() : file(std::tmpfile()) { delta_set_error_output(file); }

ErrorCapture::~ErrorCapture() {
    delta_set_error_output(stderr);
    if (file != nullptr) std::fclose(file);
}

std::string ErrorCapture::text() {
    if (file == nullptr) return "";
    std::fflush(file);
    long end = std::ftell(file);
    std::string out(static_cast<size_t>(end), '\0');
    std::rewind(file);
    size_t n = std::fread(out.data(), 1, out.size(), file);
    out.resize(n);
    std::fseek(file, 0, SEEK_END);
    return out;
}

}  // namespace delta_test
