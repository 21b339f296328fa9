// Fuzzes the filter-file reader. Besides crashes and sanitizer reports it checks
// two properties: every filter the reader accepts prints and reads back to the
// same filter, and the matcher copes with any path against whatever was read.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "filter/filter.h"

namespace {

void check_round_trip(const Filter* f) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    if (!out) return;
    const bool printed = filter_print(f, out);
    std::fclose(out);
    if (!printed) {
        std::fprintf(stderr, "a filter that was read could not be printed\n");
        std::abort();
    }
    Filter back;
    filter_init(&back);
    parse_report rep;
    rep.quiet = true;
    parse_result r = parse_text(buf, len, &filter_schema, &back, &rep);
    if (r != PARSE_DONE || !filter_equal(f, &back)) {
        std::fprintf(stderr, "printed filter reads back differently (%s at line %d):\n%s\n",
                     parser_error_name(-rep.error_code), rep.line, buf);
        std::abort();
    }
    filter_destroy(&back);
    std::free(buf);
}

void exercise_matcher(const Filter* f, const WhiteList* w, const std::string& text) {
    // Every line of the input doubles as a path.
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string path = text.substr(start, end - start);
        filter_test_path(f, 0, path.c_str());
        filter_test_path(f, 1, path.c_str());
        filter_test_path(f, 0, ("/" + path).c_str());
        filter_test_ea(f, path.c_str());
        static_cast<void>(white_list_test(w, path.c_str()));
        start = end + 1;
    }
    filter_test_file_size(f, text.size());
    filter_test_full_path_size(f, text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    parse_report rep;
    rep.quiet = true;

    Filter f;
    filter_init(&f);
    parse_result r = parse_text(text, size, &filter_schema, &f, &rep);
    if (r != PARSE_ERROR) check_round_trip(&f);

    WhiteList w;
    white_list_init(&w);
    parse_text(text, size, &white_list_schema, &w, &rep);

    std::string s(text, size);
    exercise_matcher(&f, &w, s.substr(0, s.find('\0')));

    filter_destroy(&f);
    white_list_destroy(&w);
    return 0;
}
