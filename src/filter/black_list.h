// BlackList2: one black-list record behind a mutex, so that workers can test paths
// while the control thread reloads or edits the list. One system-wide instance and
// one per session.
#pragma once

#include <cstdint>

#include "filter/filter_codes.h"
#include "filter/filter_record.h"
#include "foundation/mutex.h"
#include "foundation/ustring.h"

class BlackList2 {
public:
    BlackList2();
    ~BlackList2();
    BlackList2(const BlackList2&) = delete;
    BlackList2& operator=(const BlackList2&) = delete;

    // The system-wide list, created on first use.
    static BlackList2& getInstance();

    // Replaces the list with the file's. False when the file is missing or malformed
    // (the list is then empty and allows everything).
    [[nodiscard]] bool Load(const ustring& path);
    // Writes the list to the file (filter_write). False when it could not.
    [[nodiscard]] bool Write(const ustring& path);
    void Clear();
    void Destroy();

    // Takes the list's mutex and hands out the record for reading or editing; the
    // caller must call ReturnFilter() and call nothing else on this list in between.
    Filter* GetFilter() ACQUIRE(mutex);
    void ReturnFilter() RELEASE(mutex);

    int TestFilePath(const ustring& path);
    int TestDirectoryPath(const ustring& path);
    int TestFileSize(uint64_t size);
    int TestFullPathSize(uint64_t size);

    // Version of the loaded file; only between GetFilter and ReturnFilter.
    uint32_t GetMajorVersion() const REQUIRES(mutex);
    uint32_t GetMinorVersion() const REQUIRES(mutex);

    // Editing one section in place (the caller holds the lock through GetFilter).
    // The code names the target field. A set value already present (ignoring ASCII
    // case) counts as inserted. False for a code the section does not take, a value
    // the file format cannot hold (empty or over 512 bytes) or no memory.
    [[nodiscard]] static bool InsertFilter(VersionSection* section, int32_t major, int32_t minor);
    [[nodiscard]] static bool InsertFilter(CommonSection* section, int code, uint64_t value);
    [[nodiscard]] static bool InsertFilter(FileSection* section, int code, uint64_t value);
    // FILTER_CHAR replaces black_char; an empty value clears it.
    [[nodiscard]] static bool InsertFilter(CommonSection* section, int code, const ustring& value);
    [[nodiscard]] static bool InsertFilter(FileSection* section, int code, const ustring& value);
    [[nodiscard]] static bool InsertFilter(DirectorySection* section, int code, const ustring& value);
    // Removal compares exactly and succeeds also when the value is absent; false for a
    // code the section does not take.
    [[nodiscard]] static bool RemoveFilter(FileSection* section, int code, const ustring& value);
    [[nodiscard]] static bool RemoveFilter(CommonSection* section, int code, const ustring& value);
    // True when some entry equals `value` ignoring ASCII case.
    static bool StringSetValueExist(const value_type_string_set* set, const ustring& value);

private:
    Filter filter GUARDED_BY(mutex);
    Mutex mutex;
};
