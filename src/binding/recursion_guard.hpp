// RAII entry into the interpreter's recursion counter, which bounds the depth
// of native recursion the same way it bounds Python's own.
#pragma once

#include "binding/py_ref.hpp"

namespace quillane {

// The interpreter's own guard against C stack overflow, entered by every
// container level of a compile or a walk.
class RecursionGuard {
public:
    // With `needed` false the guard is a no-op that always enters: for walks
    // over trees too shallow to threaten the stack.
    explicit RecursionGuard(const char* where, bool needed = true) noexcept
        : counted_(needed && Py_EnterRecursiveCall(where) == 0), entered_(!needed || counted_) {}
    ~RecursionGuard() {
        if (counted_) {
            Py_LeaveRecursiveCall();
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    // False: RecursionError is pending.
    bool entered() const noexcept { return entered_; }

private:
    bool counted_;
    bool entered_;
};

}  // namespace quillane
