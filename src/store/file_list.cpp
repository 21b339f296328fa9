#include "store/file_list.h"

#include <algorithm>
#include <string>

#include "foundation/logger.h"

StringBuffer::~StringBuffer() {
    for (int i = 0; i < used; ++i) delete[] chunk[i].data;
}

StringBuffer::String StringBuffer::insert(const char* name, size_t len, bool& ok) {
    std::string key(name, len);
    auto it = dic.find(String(key.c_str()));
    if (it != dic.end()) {
        ok = true;
        return *it;
    }
    size_t need = len + 1;
    int target = -1;
    for (int i = 0; i < used; ++i) {
        if (chunk[i].capacity - chunk[i].offset >= need) {
            target = i;
            break;
        }
    }
    if (target < 0) {
        if (used >= kMaxChunks) {
            ok = false;
            return String();
        }
        size_t cap = used == 0 ? kFirstChunk : chunk[used - 1].capacity * 2;
        cap = std::max(cap, need * 2);
        chunk[used].data = new char[cap];
        chunk[used].capacity = cap;
        chunk[used].offset = 0;
        target = used++;
    }
    Chunk& c = chunk[target];
    char* dst = c.data + c.offset;
    std::memcpy(dst, name, len);
    dst[len] = '\0';
    c.offset += need;
    String s(dst);
    dic.insert(s);
    ok = true;
    return s;
}

FileList::FileList(StringBuffer& buffer) : buf(buffer), root(new DirNode) {
    bool ok = false;
    root->name = buf.insert("", 0, ok);
    root->index = 0;
    node.push_back(root);
}

FileList::~FileList() {
    for (DirNode* d : node) delete d;
}

FileList::DirNode* FileList::getDir(int dir_index) const {
    if (dir_index < 0 || static_cast<size_t>(dir_index) >= node.size()) return nullptr;
    return node[dir_index];
}

FileList::DirNode* FileList::child_dir(DirNode* parent, const char* name, size_t len, int& created) {
    len = std::min(len, kMaxName);
    bool ok = false;
    String s = buf.insert(name, len, ok);
    if (!ok) return nullptr;
    auto it = parent->dir.find(s);
    if (it != parent->dir.end()) return it->second;
    FileNode probe;
    probe.name = s;
    if (parent->file.count(probe)) return nullptr;  // a file already has this name
    DirNode* d = new DirNode;
    d->name = s;
    d->parent = parent;
    d->index = static_cast<int>(node.size());
    node.push_back(d);
    parent->dir.emplace(s, d);
    ++created;
    return d;
}

FileList::DirNode* FileList::walk(const ustring& pathname, bool keep_last, std::string* last, int& created) {
    const char* p = pathname.c_str_utf8();
    size_t n = pathname.length();
    std::vector<std::pair<size_t, size_t>> parts;
    size_t i = 0;
    while (i < n) {
        while (i < n && p[i] == '/') ++i;
        size_t start = i;
        while (i < n && p[i] != '/') ++i;
        if (i > start) parts.emplace_back(start, i - start);
    }
    if (keep_last) {
        if (parts.empty()) return nullptr;
        auto [s, l] = parts.back();
        last->assign(p + s, std::min(l, kMaxName));
        parts.pop_back();
    }
    DirNode* d = root;
    for (auto [s, l] : parts) {
        d = child_dir(d, p + s, l, created);
        if (!d) return nullptr;
    }
    return d;
}

std::optional<int> FileList::AddDirectory(const ustring& pathname, uint32_t mtime) {
    NLOG_AT(L_DEBUG, "flist_debug", "flist.cpp", "adding directory '%s'\n", pathname.c_str_utf8());
    int created = 0;
    DirNode* d = walk(pathname, false, nullptr, created);
    if (!d) return std::nullopt;
    d->mtime = mtime;
    return created;
}

std::optional<int> FileList::AddFile(const ustring& pathname, uint32_t mtime, uint64_t size) {
    int created = 0;
    std::string name;
    DirNode* d = walk(pathname, true, &name, created);
    if (!d) return std::nullopt;
    if (!AddFile(d, ustring(name), mtime, size)) return std::nullopt;
    return created;
}

std::optional<int> FileList::AddDirectory(DirNode* parent, const ustring& name, uint32_t mtime) {
    if (!parent || name.empty()) return std::nullopt;
    int created = 0;
    DirNode* d = child_dir(parent, name.c_str_utf8(), name.length(), created);
    if (!d) return std::nullopt;
    d->mtime = mtime;
    return created;
}

std::optional<int> FileList::AddFile(DirNode* parent, const ustring& name, uint32_t mtime, uint64_t size) {
    if (!parent || name.empty()) return std::nullopt;
    bool ok = false;
    String s = buf.insert(name.c_str_utf8(), std::min<size_t>(name.length(), kMaxName), ok);
    if (!ok) return std::nullopt;
    if (parent->dir.count(s)) return std::nullopt;  // a directory already has this name
    FileNode f;
    f.name = s;
    auto [it, inserted] = parent->file.insert(f);
    it->mtime = mtime;
    it->size = size;
    (void)inserted;
    return 0;
}

std::optional<int> FileList::AddDirectory(int dir_index, const ustring& name, uint32_t mtime) {
    return AddDirectory(getDir(dir_index), name, mtime);
}

std::optional<int> FileList::AddFile(int dir_index, const ustring& name, uint32_t mtime, uint64_t size) {
    return AddFile(getDir(dir_index), name, mtime, size);
}

FileList::DirNode* FileList::findDir(const ustring& pathname) const {
    const char* p = pathname.c_str_utf8();
    size_t n = pathname.length(), i = 0;
    DirNode* d = root;
    while (i < n && d) {
        while (i < n && p[i] == '/') ++i;
        size_t start = i;
        while (i < n && p[i] != '/') ++i;
        if (i == start) break;
        std::string part(p + start, std::min(i - start, kMaxName));
        auto it = d->dir.find(String(part.c_str()));
        d = it == d->dir.end() ? nullptr : it->second;
    }
    return d;
}

// --- reverse_iterator ---

FileList::reverse_iterator::reverse_iterator(const FileList* list, bool at_end) : flist(list) {
    if (at_end || !list) return;
    push(list->root);
    get_last_of();
}

void FileList::reverse_iterator::push(const DirNode* d) {
    stack.push_back(stack_entry{d, d->file.crbegin(), d->dir.crbegin()});
    cur = d;
}

ustring FileList::reverse_iterator::stack_path() const {
    ustring p;
    for (size_t i = 1; i < stack.size(); ++i) {  // the root has no name of its own
        p += "/";
        p += stack[i].node->name.c_str();
    }
    return p;
}

void FileList::reverse_iterator::get_last_of() {
    for (;;) {
        stack_entry& top = stack.back();
        bool has_file = top.file_it != top.node->file.crend();
        bool has_dir = top.dir_it != top.node->dir.crend();
        if (has_dir && (!has_file || top.dir_it->first > top.file_it->name)) {
            const DirNode* child = top.dir_it->second;
            ++top.dir_it;
            state = PRINT_DIR;
            push(child);
            continue;
        }
        if (has_file) {
            const FileNode& f = *top.file_it;
            ++top.file_it;
            state = PRINT_FILE;
            ent.attrb = 0;
            ent.path = stack_path() + "/" + f.name.c_str();
            ent.mtime = f.mtime;
            ent.size = f.size;
            return;
        }
        state = PRINT_ME;
        ent.attrb = 1;
        ent.path = stack_path();
        ent.mtime = top.node->mtime;
        ent.size = 0;
        return;
    }
}

FileList::reverse_iterator& FileList::reverse_iterator::operator++() {
    if (stack.empty()) return *this;
    if (state == PRINT_ME) {
        stack.pop_back();
        if (stack.empty()) {
            cur = nullptr;
            ent = Entry();
            return *this;
        }
        cur = stack.back().node;
    }
    get_last_of();
    return *this;
}

bool FileList::reverse_iterator::operator==(const reverse_iterator& o) const {
    if (flist != o.flist || stack.size() != o.stack.size()) return false;
    if (stack.empty()) return true;
    const stack_entry& a = stack.back();
    const stack_entry& b = o.stack.back();
    return a.node == b.node && a.file_it == b.file_it && a.dir_it == b.dir_it && state == o.state;
}
