#include "filter/filter_writer.h"

#include <unistd.h>

#include <cinttypes>
#include <cstring>
#include <string>

#include "filter/filter_parser.h"

namespace {

// Appends the escaped form of `s`; every byte that is not plain printable ASCII
// (and the few that could be mistaken for markup) is written as an escape.
void escape(std::string& out, const char* s) {
    static const char kHex[] = "0123456789abcdef";
    for (const char* q = s; *q; ++q) {
        auto c = static_cast<unsigned char>(*q);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\v':
                out += "\\v";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (c < 0x20 || c == '$' || c == '@' || c == '`' || c >= 0x7F) {
                    out += "\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
}

bool readable_string(const char* s) {
    if (!s) return false;
    size_t n = std::strlen(s);
    return n >= 1 && n <= static_cast<size_t>(FILTER_STRING_MAX);
}

bool readable_set(const value_type_string_set& set) {
    for (uint32_t i = 0; i < set.used; ++i)
        if (!readable_string(set.set[i])) return false;
    return true;
}

// An unset or empty black_char is not written: both mean "no character".
bool readable_char(const value_type_string& s) { return !s.str || !*s.str || readable_string(s.str); }

bool readable(const Filter* f) {
    return readable_char(f->common.black_char) && readable_set(f->common.black_prefix) &&
           readable_set(f->common.black_dir_prefix) && readable_set(f->common.black_name) &&
           readable_set(f->common.black_path_prefix_selective_sync) && readable_char(f->file.black_char) &&
           readable_set(f->file.black_ext) && readable_set(f->file.black_name) && readable_set(f->file.black_prefix) &&
           readable_set(f->file.black_ext_selective_sync) && readable_set(f->file.black_name_selective_sync) &&
           readable_char(f->directory.black_char) && readable_set(f->directory.black_name) &&
           readable_set(f->directory.black_prefix) && readable_set(f->ea.black_ea_name);
}

void put_string(std::string& out, const char* key, const value_type_string& s) {
    if (!s.str || !*s.str) return;
    out += key;
    out += " = \"";
    escape(out, s.str);
    out += "\"\n";
}

void put_set(std::string& out, const char* key, const value_type_string_set& set) {
    if (set.used == 0) return;
    size_t line_start = out.size();
    out += key;
    out += " = ";
    std::string entry;
    for (uint32_t i = 0; i < set.used; ++i) {
        entry = "\"";
        escape(entry, set.set[i]);
        entry += '"';
        if (i > 0) {
            // Five entries to a line; also break before an entry that would make the
            // line longer than the reader takes in one piece (", " / ",\n" included).
            bool fifth = i % 5 == 0;
            bool too_long = out.size() - line_start + 2 + entry.size() + 2 > static_cast<size_t>(FILTER_LINE_MAX);
            if (fifth || too_long) {
                out += ",\n";
                line_start = out.size();
            } else {
                out += ", ";
            }
        }
        out += entry;
    }
    out += '\n';
}

void put_number(std::string& out, const char* key, uint64_t v) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s = %" PRIu64 "\n", key, v);
    out += buf;
}

}  // namespace

bool filter_print(const Filter* f, FILE* out) {
    if (!readable(f)) return false;
    std::string t;
    char buf[64];

    t += "[Version]\n";
    std::snprintf(buf, sizeof buf, "major = %d\nminor = %d\n\n", f->version.major, f->version.minor);
    t += buf;

    t += "[Common]\n";
    put_string(t, "black_char", f->common.black_char);
    put_set(t, "black_prefix", f->common.black_prefix);
    put_set(t, "black_dir_prefix", f->common.black_dir_prefix);
    put_set(t, "black_name", f->common.black_name);
    put_set(t, "black_path_prefix_selective_sync", f->common.black_path_prefix_selective_sync);
    put_number(t, "max_length", f->common.max_length);
    put_number(t, "max_path", f->common.max_path);
    t += '\n';

    t += "[File]\n";
    put_string(t, "black_char", f->file.black_char);
    put_set(t, "black_ext", f->file.black_ext);
    put_set(t, "black_ext_selective_sync", f->file.black_ext_selective_sync);
    put_set(t, "black_name_selective_sync", f->file.black_name_selective_sync);
    put_set(t, "black_name", f->file.black_name);
    put_set(t, "black_prefix", f->file.black_prefix);
    put_number(t, "max_size", f->file.max_size);
    put_number(t, "max_size_selective_sync", f->file.max_size_selective_sync);
    t += '\n';

    t += "[Directory]\n";
    put_string(t, "black_char", f->directory.black_char);
    put_set(t, "black_name", f->directory.black_name);
    put_set(t, "black_prefix", f->directory.black_prefix);
    t += '\n';

    t += "[EA]\n";
    put_set(t, "black_ea_name", f->ea.black_ea_name);
    t += '\n';

    if (std::fwrite(t.data(), 1, t.size(), out) != t.size() || std::ferror(out)) return false;
    return true;
}

bool filter_write(const Filter* f, const ustring& file_name) {
    if (file_name.empty()) return false;
    ustring tmp = file_name + ".tmp";
    FILE* out = std::fopen(tmp.c_str_utf8(), "w");
    if (!out) return false;
    bool ok = filter_print(f, out);
    if (ok && std::fflush(out) != 0) ok = false;
    if (ok && fsync(fileno(out)) != 0) ok = false;
    if (std::fclose(out) != 0) ok = false;
    if (ok && std::rename(tmp.c_str_utf8(), file_name.c_str_utf8()) != 0) ok = false;
    if (!ok) unlink(tmp.c_str_utf8());
    return ok;
}
