// Making a folder and the missing folders above it: the one place that does it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

// Creates path and every missing folder above it, new ones with `mode` (less the
// umask). An existing component must be a folder; a link to one counts only with
// follow_links. Something else in the way is handed to in_the_way when given, which
// may remove it and return true to go on. True, or false with errno set (EEXIST: the
// last component is in the way; ENOTDIR: one above it is; or mkdir's error).
[[nodiscard]] bool MakeDirs(const std::string& path, mode_t mode, bool follow_links = true,
                            const std::function<bool(const std::string&)>& in_the_way = {});

// A folder for the daemon's own state: made (with its missing parents) 0700 whatever
// the umask, and an existing one of ours loses its group and other bits. True, or
// false with errno set as MakeDirs does.
[[nodiscard]] bool MakePrivateDir(const std::string& path);
