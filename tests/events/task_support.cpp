// The event manager only holds workers by pointer and calls Task::SetAbort through the
// vtable; the tests need real Task objects, whose few members live in the sync library,
// which sits above this one. Compile them in here.
#include "sync/task.cpp"  // NOLINT(bugprone-suspicious-include)
