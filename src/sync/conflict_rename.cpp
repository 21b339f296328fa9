#include "sync/conflict_rename.h"

#include <cctype>
#include <cstdio>
#include <ctime>

#include "foundation/logger.h"
#include "foundation/utf8_cut.h"
#include "platform/file_ops.h"
#include "platform/session_root.h"

namespace {

constexpr const char* kChannel = "conflict_rename_debug";
constexpr int kLastCounter = 99;
constexpr size_t kNameMax = 255;  // bytes in one name

// Tries candidate names in order and renames to the first free one. A name seen
// as free may be taken by the time of the rename; the no-replace rename then
// fails with FsResult::kExist and the next name is tried.
template <typename NameAt>
FsResult rename_to_free_name(const SessionRoot& root, const ustring& from, int first_counter, NameAt name_at,
                             ustring& to) {
    for (int n = first_counter - 1; n <= kLastCounter; ++n) {
        to = name_at(n < first_counter ? -1 : n);
        if (root.Exists(to)) continue;
        const FsResult rc = root.RenameNoReplace(from, to);
        if (rc == FsResult::kExist) continue;
        return rc;
    }
    return FsResult::kFailed;  // every name is taken: leave the file where it is
}

}  // namespace

ustring ConflictTimeStamp(time_t t) {
    struct tm tm {};
    localtime_r(&t, &tm);
    char buf[64];
    strftime(buf, sizeof(buf), "%b-%d-%H%M-%Y", &tm);
    return ustring(buf);
}

ustring InsertBeforeExtension(const ustring& path, const ustring& insert, bool dot_at_end_is_extension) {
    const std::string p = path.str();
    const size_t slash = p.rfind('/');
    const size_t name_at = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = p.rfind('.');
    bool has_ext = dot != std::string::npos && dot >= name_at;
    if (has_ext && !dot_at_end_is_extension && dot + 1 == p.size()) has_ext = false;
    if (!has_ext) dot = p.size();
    std::string stem = p.substr(name_at, dot - name_at);
    std::string ext = p.substr(dot);
    // The name must stay within the file system's limit, or the rename fails on every
    // retry: the stem gives way first; an extension that leaves no room for it is
    // treated as part of the stem.
    const size_t fixed = insert.length() + ext.size();
    if (stem.size() + fixed > kNameMax) {
        if (fixed >= kNameMax) {
            stem += ext;
            ext.clear();
        }
        const size_t room = kNameMax > insert.length() + ext.size() ? kNameMax - insert.length() - ext.size() : 0;
        stem = CutUtf8(stem, room);
    }
    return ustring(p.substr(0, name_at) + stem + insert.str() + ext);
}

FsResult ConflictRename(const SessionRoot& root, const ustring& org_path, const ustring& client_name,
                        const ustring& reason, ustring* renamed_to) {
    ustring suffix = ustring("_") + client_name + "_" + ConflictTimeStamp(time(nullptr)) + "_" + reason;
    ustring to;
    const FsResult rc = rename_to_free_name(
        root, org_path, 1,
        [&](int n) {
            if (n < 0) return InsertBeforeExtension(org_path, suffix, false);
            char counter[16];
            snprintf(counter, sizeof(counter), "_%d", n);
            return InsertBeforeExtension(org_path, suffix + counter, false);
        },
        to);
    if (rc == FsResult::kOk) {
        if (renamed_to != nullptr) *renamed_to = to;
        NLOG_AT(L_INFO, kChannel, "conflict-rename.cpp", "ConflictRename from [%s] to [%s], reason = [%s].\n",
                root.Full(org_path).c_str_utf8(), root.Full(to).c_str_utf8(), reason.c_str_utf8());
    } else {
        NLOG_AT(L_ERR, kChannel, "conflict-rename.cpp", "ConflictRename failed. From:[%s] To:[%s] err = [%d]\n",
                root.Full(org_path).c_str_utf8(), root.Full(to).c_str_utf8(), FsCode(rc));
    }
    return rc;
}

bool IsConflictName(const ustring& path, const ustring& reason) {
    const std::string& p = path.str();
    const size_t slash = p.rfind('/');
    std::string stem = p.substr(slash == std::string::npos ? 0 : slash + 1);
    const size_t dot = stem.rfind('.');
    if (dot != std::string::npos && dot > 0) stem.resize(dot);
    // "_<n>" after the reason when the plain name was taken.
    size_t end = stem.size();
    while (end > 0 && std::isdigit(static_cast<unsigned char>(stem[end - 1]))) --end;
    if (end < stem.size() && end > 0 && stem[end - 1] == '_') stem.resize(end - 1);
    const std::string tail = "_" + reason.str();
    if (stem.size() <= tail.size() || stem.compare(stem.size() - tail.size(), tail.size(), tail) != 0) return false;
    // The time stamp before it: "_Mon-DD-HHMM-YYYY".
    const std::string before = stem.substr(0, stem.size() - tail.size());
    const size_t under = before.rfind('_');
    return under != std::string::npos && before.size() - under - 1 == 16 && before[before.size() - 5] == '-';
}

FsResult WhiteSpaceConflictRename(const SessionRoot& root, const ustring& fullpath, const ustring& basename,
                                  const ustring& clientname) {
    uint32_t slash = fullpath.rfind('/');
    ustring folder = slash == ustring::npos ? ustring() : fullpath.substr(0, slash);
    ustring trimmed(basename);
    trimmed.trim(" ");
    ustring target = folder + "/" + trimmed;

    // A name that would leave the folder or name nothing is not tried as such.
    bool usable = !trimmed.empty() && trimmed.find('/') == ustring::npos && trimmed != "." && trimmed != "..";
    if (basename.find('/') != ustring::npos) {
        NLOG_AT(L_ERR, kChannel, "conflict-rename.cpp", "WhiteSpaceConflictRename failed. From:[%s] To:[%s] err=[%d]\n",
                root.Full(fullpath).c_str_utf8(), root.Full(target).c_str_utf8(), -1);
        return FsResult::kFailed;
    }
    if (usable && !root.Exists(target) && root.RenameNoReplace(fullpath, target) == FsResult::kOk) {
        NLOG_AT(L_INFO, kChannel, "conflict-rename.cpp", "WhiteSpaceConflictRename from [%s] to [%s].\n",
                root.Full(fullpath).c_str_utf8(), root.Full(target).c_str_utf8());
        return FsResult::kOk;
    }

    ustring suffix = ustring("_") + clientname + "_" + ConflictTimeStamp(time(nullptr)) + "_WhiteSpaceConflict";
    ustring to;
    const FsResult rc = rename_to_free_name(
        root, fullpath, 0,
        [&](int n) {
            if (n < 0) return InsertBeforeExtension(target, suffix, true);
            char counter[16];
            snprintf(counter, sizeof(counter), "_%d", n);
            return InsertBeforeExtension(target, suffix + counter, true);
        },
        to);
    if (rc == FsResult::kOk) {
        NLOG_AT(L_INFO, kChannel, "conflict-rename.cpp", "WhiteSpaceConflictRename from [%s] to [%s].\n",
                root.Full(fullpath).c_str_utf8(), root.Full(to).c_str_utf8());
    } else {
        NLOG_AT(L_ERR, kChannel, "conflict-rename.cpp", "WhiteSpaceConflictRename failed. From:[%s] To:[%s] err=[%d]\n",
                root.Full(fullpath).c_str_utf8(), root.Full(to).c_str_utf8(), FsCode(rc));
    }
    return rc;
}
