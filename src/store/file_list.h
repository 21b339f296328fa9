// FileList: a compact directory tree of names, modification times and sizes, used
// to compare what is on disk with what the event database remembers. Names are
// interned in a StringBuffer shared by the lists of one comparison.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "foundation/ustring.h"

class StringBuffer {
public:
    struct String {
        const char* ptr = nullptr;
        String() = default;
        explicit String(const char* p) : ptr(p) {}
        const char* c_str() const { return ptr ? ptr : ""; }
        bool operator<(const String& o) const { return cmp(o) < 0; }
        bool operator==(const String& o) const { return cmp(o) == 0; }
        bool operator>(const String& o) const { return cmp(o) > 0; }
        bool operator!=(const String& o) const { return cmp(o) != 0; }

    private:
        int cmp(const String& o) const { return std::strcmp(c_str(), o.c_str()); }
    };

    static constexpr int kMaxChunks = 32;
    static constexpr size_t kFirstChunk = 4096;

    StringBuffer() = default;
    ~StringBuffer();
    StringBuffer(const StringBuffer&) = delete;
    StringBuffer& operator=(const StringBuffer&) = delete;

    // The stored copy of `name`; ok is false when every chunk is full.
    String insert(const char* name, size_t len, bool& ok);
    String insert(const char* name, bool& ok) { return insert(name, std::strlen(name), ok); }

    size_t size() const { return dic.size(); }
    int chunks_used() const { return used; }

private:
    struct Chunk {
        size_t capacity = 0;
        size_t offset = 0;
        char* data = nullptr;
    };
    std::set<String> dic;
    Chunk chunk[kMaxChunks];
    int used = 0;
};

class FileList {
public:
    using String = StringBuffer::String;

    struct FileNode {
        String name;
        mutable uint32_t mtime = 0;
        mutable uint64_t size = 0;
        bool operator<(const FileNode& o) const { return name < o.name; }
    };

    struct DirNode {
        String name;
        const DirNode* parent = nullptr;
        std::map<String, DirNode*> dir;
        std::set<FileNode> file;
        uint32_t mtime = 0;
        int index = 0;  // position in FileList::node
    };

    struct Entry {
        int attrb = 0;  // 1 directory, 0 file
        ustring path;   // "/"-separated from the root with a leading "/"; empty for the root
        uint32_t mtime = 0;
        uint64_t size = 0;
        bool is_dir() const { return attrb == 1; }
        bool is_file() const { return attrb == 0; }
    };

    class reverse_iterator {
    public:
        enum State { PRINT_ME = 0, PRINT_DIR = 1, PRINT_FILE = 2 };

        reverse_iterator() = default;
        const Entry& operator*() const { return ent; }
        const Entry* operator->() const { return &ent; }
        reverse_iterator& operator++();
        bool operator==(const reverse_iterator& o) const;
        bool operator!=(const reverse_iterator& o) const { return !(*this == o); }

    private:
        friend class FileList;
        struct stack_entry {
            const DirNode* node;
            std::set<FileNode>::const_reverse_iterator file_it;
            std::map<String, DirNode*>::const_reverse_iterator dir_it;
        };

        reverse_iterator(const FileList* list, bool at_end);
        void get_last_of();  // descend from the top of the stack to its next entry
        void push(const DirNode* d);
        ustring stack_path() const;

        const FileList* flist = nullptr;
        const DirNode* cur = nullptr;
        std::vector<stack_entry> stack;
        State state = PRINT_ME;
        Entry ent;
    };

    static constexpr size_t kMaxName = 1023;

    explicit FileList(StringBuffer& buffer);
    ~FileList();
    FileList(const FileList&) = delete;
    FileList& operator=(const FileList&) = delete;

    // Both give the number of directories created, or nothing when a name on the path
    // is already a file (or, for the file itself, a directory) or cannot be stored.
    [[nodiscard]] std::optional<int> AddDirectory(const ustring& pathname, uint32_t mtime);
    [[nodiscard]] std::optional<int> AddFile(const ustring& pathname, uint32_t mtime, uint64_t size);
    [[nodiscard]] std::optional<int> AddDirectory(DirNode* parent, const ustring& name, uint32_t mtime);
    [[nodiscard]] std::optional<int> AddFile(DirNode* parent, const ustring& name, uint32_t mtime, uint64_t size);
    [[nodiscard]] std::optional<int> AddDirectory(int dir_index, const ustring& name, uint32_t mtime);
    [[nodiscard]] std::optional<int> AddFile(int dir_index, const ustring& name, uint32_t mtime, uint64_t size);

    DirNode* getRoot() const { return root; }
    DirNode* getDir(int dir_index) const;
    // The directory node of a "/"-separated path, or null.
    DirNode* findDir(const ustring& pathname) const;

    reverse_iterator rbegin() const { return reverse_iterator(this, false); }
    reverse_iterator rend() const { return reverse_iterator(this, true); }

private:
    // Creates or finds the child directory `name` of `parent`; counts creations.
    DirNode* child_dir(DirNode* parent, const char* name, size_t len, int& created);
    // Walks every directory component of `pathname` (all of them, or all but the last
    // when `last` receives the final component). Null on failure.
    DirNode* walk(const ustring& pathname, bool keep_last, std::string* last, int& created);

    StringBuffer& buf;
    DirNode* root;
    std::vector<DirNode*> node;
};
