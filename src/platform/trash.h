// The desktop trash in the freedesktop.org layout: what FSRemove uses to
// delete with undo.
#pragma once

#include "foundation/ustring.h"

// Moves path (file, link or directory) into the trash of its volume and records
// where it came from. The home trash serves the volume of the home directory;
// other volumes use $topdir/.Trash/$uid or $topdir/.Trash-$uid. True on success;
// false with errno set when no trash could take it (the path is then untouched).
// trashed_as, when given, receives the path inside the trash.
[[nodiscard]] bool MoveToTrash(const ustring& path, ustring* trashed_as = nullptr);
