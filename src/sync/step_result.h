// Results the sync layer's tasks and handlers share. Both are [[nodiscard]] types:
// every function returning one is.
#pragma once

// A step did its whole work, or did not (and logged why).
enum class [[nodiscard]] StepResult{kOk, kFailed};

// A task's context was loaded with something to work on (an event, a session, a
// condition), or there is nothing to work on now (the context is then cleared or
// the item was settled without work).
enum class [[nodiscard]] Loaded{kReady, kNothing};
