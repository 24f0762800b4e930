// How far down this thread's C stack native recursion may go, so that a deep
// schema or a re-entered walk ends in RecursionError on any thread stack,
// however small, instead of overflowing it.
#pragma once

namespace quillane {

// The lowest stack address a recursive step may start from on the calling
// thread: the thread's stack limit plus a reserve for the interpreter code a
// step can run (an __index__ method, a finaliser) and for raising the error.
// Null where the platform does not tell the stack's extent: no check then.
const char* stack_floor() noexcept;

// Whether the current frame sits below `floor` (stacks grow downwards on
// every platform the module is built for).
inline bool below_stack_floor(const char* floor) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    const auto* here = static_cast<const char*>(__builtin_frame_address(0));
#else
    volatile char marker = 0;
    const char* here = const_cast<const char*>(&marker);
#endif
    return here < floor;
}

}  // namespace quillane
