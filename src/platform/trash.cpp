#include "platform/trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/make_dirs.h"

namespace {

std::string absolute_of(const std::string& path) {
    // The parent is resolved, the last component is kept: a link is trashed as a link.
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.find_last_of('/');
    std::string parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : p.substr(0, slash));
    std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    char buf[PATH_MAX];
    if (!realpath(parent.c_str(), buf)) return std::string();
    std::string out(buf);
    if (out != "/") out += "/";
    return out + name;
}

bool is_dir_no_link(const std::string& p, struct stat* st) { return lstat(p.c_str(), st) == 0 && S_ISDIR(st->st_mode); }

bool ensure_dir(const std::string& p) {
    if (mkdir(p.c_str(), 0700) == 0) return true;
    struct stat st;
    if (errno == EEXIST && is_dir_no_link(p, &st)) return true;
    if (errno == EEXIST) errno = ENOTDIR;
    return false;
}

bool ensure_dirs(const std::string& p) { return MakeDirs(p, 0700, false); }

// Mount point of the volume holding abs (an absolute path whose parent exists).
std::string top_dir_of(const std::string& abs, dev_t dev) {
    std::string top = abs.substr(0, abs.find_last_of('/'));
    if (top.empty()) top = "/";
    for (;;) {
        if (top == "/") return top;
        size_t slash = top.find_last_of('/');
        std::string up = slash == 0 ? "/" : top.substr(0, slash);
        struct stat st;
        if (stat(up.c_str(), &st) != 0 || st.st_dev != dev) return top;
        top = up;
    }
}

// The trash directory for a file on device dev, created when needed.
std::string trash_for(const std::string& abs, dev_t dev) {
    std::string home_trash;
    if (const char* xdg = getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') {
        home_trash = std::string(xdg) + "/Trash";
    } else if (const char* home = getenv("HOME"); home && home[0] == '/') {
        home_trash = std::string(home) + "/.local/share/Trash";
    }
    if (!home_trash.empty()) {
        // The home trash serves its own volume; compare with its nearest existing ancestor.
        std::string probe = home_trash;
        struct stat st;
        while (stat(probe.c_str(), &st) != 0 && probe.size() > 1)
            probe = probe.find_last_of('/') == 0 ? "/" : probe.substr(0, probe.find_last_of('/'));
        if (st.st_dev == dev && ensure_dirs(home_trash)) return home_trash;
    }

    std::string top = top_dir_of(abs, dev);
    std::string base = top == "/" ? "" : top;
    std::string uid = std::to_string(getuid());
    struct stat st;
    // An administrator-made .Trash must be a real directory with the sticky bit.
    if (is_dir_no_link(base + "/.Trash", &st) && (st.st_mode & S_ISVTX)) {
        std::string t = base + "/.Trash/" + uid;
        if (ensure_dir(t)) return t;
    }
    std::string t = base + "/.Trash-" + uid;
    if (ensure_dir(t)) return t;
    return std::string();
}

std::string url_encode(const std::string& s) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' ||
                     c == '-' || c == '_' || c == '.' || c == '~';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t w = write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

bool move_no_replace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    // A file system without the no-replace flag.
    struct stat st;
    if (lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

bool MoveToTrash(const ustring& path, ustring* trashed_as) {
    std::string abs = absolute_of(path.str());
    if (abs.empty()) return false;
    struct stat st;
    if (lstat(abs.c_str(), &st) != 0) return false;
    std::string trash = trash_for(abs, st.st_dev);
    if (trash.empty()) return false;
    std::string files = trash + "/files", info = trash + "/info";
    if (!ensure_dir(files) || !ensure_dir(info)) return false;

    std::string name = abs.substr(abs.find_last_of('/') + 1);
    time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    char date[32];
    strftime(date, sizeof(date), "%Y-%m-%dT%H:%M:%S", &tm);
    std::string record = "[Trash Info]\nPath=" + url_encode(abs) + "\nDeletionDate=" + date + "\n";

    for (int n = 1; n < 10000; ++n) {
        std::string entry = n == 1 ? name : name + "." + std::to_string(n);
        std::string info_path = info + "/" + entry + ".trashinfo";
        // The info file is the claim on the name: made exclusively, before the move.
        int fd = open(info_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return false;
        }
        bool written = write_all(fd, record);
        written = close(fd) == 0 && written;
        std::string target = files + "/" + entry;
        if (written && move_no_replace(abs, target)) {
            if (trashed_as) *trashed_as = target.c_str();
            return true;
        }
        int err = written ? errno : EIO;
        unlink(info_path.c_str());
        if (err == EEXIST) continue;  // a stray file without its record
        errno = err;
        return false;
    }
    errno = EEXIST;
    return false;
}
