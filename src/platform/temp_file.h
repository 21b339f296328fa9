// TempFile: a shared handle to one scratch file. The file is removed when the
// last holder lets go, unless it was made permanent (its owner moved it into place).
// A TempFile and the copies sharing its counter belong to one thread.
#pragma once

#include <memory>

#include "foundation/ustring.h"

class SessionRoot;

class TempFile {
public:
    explicit TempFile(const ustring& prefix = ustring());
    // A scratch file of a session: made in the folder rel_prefix (relative to root)
    // and removed through the root, never through a link.
    TempFile(std::shared_ptr<const SessionRoot> root, const ustring& rel_prefix);
    TempFile(const TempFile& other);
    TempFile& operator=(const TempFile& other);
    ~TempFile();

    // Makes a new empty file in tmp_prefix: true, or false when this object already
    // holds one or the file cannot be made.
    [[nodiscard]] bool create();
    const ustring& getPath() const { return path; }
    // With a root: the file relative to it (what the root's functions take); else empty.
    const ustring& getRelPath() const { return rel_path; }
    void convert_permanent() { permanent = true; }
    // Deletes the file now (never to the trash); every holder sees it gone.
    void remove();

    // Number of holders of the file (0 when there is none); for tests.
    int refCount() const { return ref ? *ref : 0; }

    // Folder used when a TempFile is made with an empty prefix.
    static void setDefaultPrefix(const ustring& prefix);
    static ustring defaultPrefix();

private:
    void release();

    std::shared_ptr<const SessionRoot> root;  // null: tmp_prefix is a plain folder
    ustring tmp_prefix;
    ustring path;
    ustring rel_path;
    // 0 = no file; n = holders sharing the file. The shared_ptr owns the counter's
    // memory, so that an explicit remove() by one holder cannot leave the others
    // pointing at a freed counter.
    std::shared_ptr<int> ref;
    bool permanent = false;
};
