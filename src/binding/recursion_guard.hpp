// RAII entry into the interpreter's recursion counter, which bounds the depth
// of native recursion the same way it bounds Python's own.
#pragma once

#include "binding/py_ref.hpp"

namespace quillane {

// The interpreter's own guard against C stack overflow, entered by every
// container level of a compile or a walk.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) noexcept : entered_(Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionGuard() {
        if (entered_) {
            Py_LeaveRecursiveCall();
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    // False: RecursionError is pending.
    bool entered() const noexcept { return entered_; }

private:
    bool entered_;
};

}  // namespace quillane
