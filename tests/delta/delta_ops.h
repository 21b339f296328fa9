// Short forms of the three operations for the tests.
#pragma once

#include <string>

#include "delta/delta_file_reader.h"
#include "delta/simple_file_reader.h"

namespace delta_test {

inline DeltaResult make_signature(const std::string& in, const std::string& sig, uint32_t block = 0,
                                  uint32_t hash = 0) {
    SimpleFileReader r;
    r.setFile(in);
    r.setSignature(sig, block, hash);
    return r.readFile();
}

inline DeltaResult make_delta(const std::string& sig, const std::string& in, const std::string& delta) {
    SimpleFileReader r;
    r.setFile(in);
    r.setDelta(delta, sig);
    return r.readFile();
}

inline DeltaResult apply_patch(const std::string& basis, const std::string& delta, const std::string& out) {
    DeltaFileReader r;
    r.setFile(delta, basis);
    r.setNewFile(out);
    return r.readFile();
}

}  // namespace delta_test
