#include "platform/temp_file.h"

#include "foundation/logger.h"
#include "foundation/mutex.h"
#include "platform/file_ops.h"
#include "platform/session_root.h"

namespace {

constexpr const char* kChannel = "utility_debug";

Mutex g_default_mutex;
ustring& default_prefix() REQUIRES(g_default_mutex) {
    static ustring prefix("/tmp");
    return prefix;
}

}  // namespace

void TempFile::setDefaultPrefix(const ustring& prefix) {
    MutexLock lock(g_default_mutex);
    default_prefix() = prefix;
}

ustring TempFile::defaultPrefix() {
    MutexLock lock(g_default_mutex);
    return default_prefix();
}

TempFile::TempFile(const ustring& prefix)
    : tmp_prefix(prefix.empty() ? defaultPrefix() : prefix), ref(std::make_shared<int>(0)) {}

TempFile::TempFile(std::shared_ptr<const SessionRoot> r, const ustring& rel_prefix)
    : root(std::move(r)), tmp_prefix(rel_prefix), ref(std::make_shared<int>(0)) {}

TempFile::TempFile(const TempFile& other)
    : root(other.root), tmp_prefix(other.tmp_prefix), ref(std::make_shared<int>(0)) {
    *this = other;
}

TempFile& TempFile::operator=(const TempFile& other) {
    if (this == &other || (ref == other.ref && path == other.path)) {
        permanent = other.permanent;
        return *this;
    }
    release();
    root = other.root;
    tmp_prefix = other.tmp_prefix;
    path = other.path;
    rel_path = other.rel_path;
    permanent = other.permanent;
    if (!path.empty() && *other.ref > 0) {
        ref = other.ref;
        ++*ref;
    } else {
        ref = std::make_shared<int>(0);
    }
    return *this;
}

TempFile::~TempFile() { release(); }

// Gives up this holder's share: the last non-permanent holder deletes the file.
void TempFile::release() {
    if (!ref) return;
    if (*ref >= 2) {
        --*ref;
    } else if (*ref == 1 && !permanent) {
        remove();
    } else if (*ref == 1) {
        *ref = 0;
    }
    ref.reset();
    path.clear();
    rel_path.clear();
}

bool TempFile::create() {
    if (*ref != 0) return false;
    // A counter left at 0 by another holder's remove() may still be shared.
    if (ref.use_count() > 1) ref = std::make_shared<int>(0);
    ustring made;
    if ((root ? root->Mktemp(tmp_prefix, made) : FSMktemp(tmp_prefix, made)) != FsResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "utility.cpp", "failed to create TempFile ...\n");
        return false;
    }
    path = root ? root->Full(made) : made;
    rel_path = root ? made : ustring();
    *ref = 1;
    NLOG_AT(L_DEBUG, kChannel, "utility.cpp", "creating TempFile '%s'\n", path.c_str_utf8());
    return true;
}

void TempFile::remove() {
    NLOG_AT(L_DEBUG, kChannel, "utility.cpp", "removing TempFile '%s'\n", path.c_str_utf8());
    if (!path.empty()) {
        // Best effort: a scratch file left behind is swept with its folder later.
        if (root)
            (void)root->Remove(rel_path);
        else
            (void)FSRemove(path, false);
    }
    if (ref) *ref = 0;
    path.clear();
    rel_path.clear();
}
