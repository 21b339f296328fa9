#include "platform/make_dirs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool IsFolder(const std::string& p, bool follow_links) {
    struct stat st;
    return (follow_links ? stat(p.c_str(), &st) : lstat(p.c_str(), &st)) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool MakeDirs(const std::string& path, mode_t mode, bool follow_links,
              const std::function<bool(const std::string&)>& in_the_way) {
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        if (path[i - 1] == '/') continue;  // repeated or trailing separator
        const std::string prefix = path.substr(0, i);
        const bool last = path.find_first_not_of('/', i) == std::string::npos;
        if (IsFolder(prefix, follow_links)) continue;
        struct stat st;
        if (lstat(prefix.c_str(), &st) == 0) {
            // Something that is not a folder (or a link, or a dangling one) is in the way.
            if (!in_the_way || !in_the_way(prefix)) {
                errno = last ? EEXIST : ENOTDIR;
                return false;
            }
        }
        if (mkdir(prefix.c_str(), mode) != 0 && !(errno == EEXIST && IsFolder(prefix, follow_links))) {
            if (errno == EEXIST) errno = last ? EEXIST : ENOTDIR;
            return false;
        }
    }
    return true;
}

bool MakePrivateDir(const std::string& path) {
    if (!MakeDirs(path, 0700)) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    if (st.st_uid == ::geteuid() && (st.st_mode & 077) != 0) (void)::chmod(path.c_str(), st.st_mode & 0700);
    return true;
}
