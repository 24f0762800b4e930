// RAII entry into the interpreter's recursion counter, which bounds the depth
// of native recursion the same way it bounds Python's own, together with a
// check of the thread's remaining C stack.
#pragma once

#include "runtime/interpreter_version.hpp"
#include "runtime/py_ref.hpp"
#include "runtime/stack_limit.hpp"

namespace quillane {

// The interpreter's own guard against C stack overflow, entered by every
// container level of a compile or a guarded walk. The interpreter counts
// levels against a fixed limit sized for its main thread; the stack check
// makes a thread with a smaller stack end in the same RecursionError before
// the levels run out.
class RecursionGuard {
public:
    // With `needed` false the guard is a no-op that always enters: for walks
    // over trees too shallow to threaten the stack.
    RecursionGuard(const char* where, bool needed, const char* floor) noexcept
        : counted_(needed && enter(where, floor)), entered_(!needed || counted_) {}
    ~RecursionGuard() {
        if (counted_ && thread_holds_interpreter()) {
            Py_LeaveRecursiveCall();
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    // False: RecursionError is pending.
    bool entered() const noexcept { return entered_; }

private:
    static bool enter(const char* where, const char* floor) noexcept {
        if (floor != nullptr && below_stack_floor(floor)) [[unlikely]] {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return false;
        }
        return Py_EnterRecursiveCall(where) == 0;
    }

    bool counted_;
    bool entered_;
};

}  // namespace quillane
