// The results of the local database operations (event, filter and file status
// databases). A failure is logged where it happens; callers only branch on it.
#pragma once

// A change or a read that either worked or failed.
enum class [[nodiscard]] DbResult{kOk, kFailed};

// A read of one row that may legitimately find none.
enum class [[nodiscard]] DbLookup{kFound, kAbsent, kFailed};
