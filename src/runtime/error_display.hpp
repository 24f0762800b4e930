// Printing an exception to sys.stderr as an uncaught one is printed, for the
// failure paths that must show it without raising it.
#pragma once

#include "runtime/failure.hpp"

namespace quillane {

// Prints the error with its traceback to sys.stderr, as an uncaught
// exception is printed, but without calling sys.excepthook or setting
// sys.last_exc: the caller's own handlers still decide what the error means.
void display_error(PendingError error);

// The same for an exception object already fetched (nothing when empty).
// Printing can fail in turn (a closed sys.stderr); nothing is left pending.
void display_exception(const Ref& exception) noexcept;

}  // namespace quillane
