// Control actions that show what the daemon kept for the user and bring it back:
//   {"action": "list_conflicts" [, "folder": F]} -> {"conflicts": [{"session_id",
//       "folder", "path" (the copy), "original", "reason", "time"}]}: the conflict
//       copies that still exist (records of copies gone since are dropped);
//   {"action": "list_recycle" [, "folder": F]} -> {"recycle": [{"session_id",
//       "folder", "name" (the entry in the recycle folder), "original" (empty when
//       unknown), "reason", "time", "size"}]}, oldest first;
//   {"action": "restore", "path": P [, "to": D]} -> {"restored": D, "from": entry}:
//       the newest recycled item removed from P goes back to P (or D), never over an
//       existing entry; the detector then uploads it like any new file.
// Every path is absolute. F limits the lists to items whose original or copy lies in
// F. A failure fills "error" with its cause.
#pragma once

#include "foundation/ustring.h"
#include "wire/object.h"

// True when action is one of the three (the reply is then filled), false otherwise.
bool HandleRecoveryAction(const ustring& action, const PObject& request, PObject& reply);
