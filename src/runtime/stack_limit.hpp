// How far down this thread's C stack native recursion may go, so that a deep
// schema or a re-entered walk ends in RecursionError on any thread stack,
// however small, instead of overflowing it.
#pragma once

#include <cstddef>

namespace quillane {

// The most C stack one container level of a walk takes (validate or
// collect, a list or a field map), rounded up: in an optimised build, and in
// one whose frames are larger, where AddressSanitizer's red zones surround
// the locals of every inlined step or nothing is optimised. It decides how
// many levels may go without a stack check (runtime/interpreter_version.hpp).
// bench/stack_use.py measures a build's levels; bench/README.md lists what
// each build took. Clang's optimised levels are larger than GCC's (it keeps
// more of an inlined step's locals in the frame), so it has a figure of its
// own.
#if defined(__clang__)
inline constexpr size_t kOptimisedWalkLevelStackBytes = 448;
#else
inline constexpr size_t kOptimisedWalkLevelStackBytes = 384;
#endif
inline constexpr size_t kLargeWalkLevelStackBytes = 4096;

#if defined(__SANITIZE_ADDRESS__)
#define QUILLANE_LARGE_FRAMES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLANE_LARGE_FRAMES 1
#endif
#endif
#if !defined(QUILLANE_LARGE_FRAMES) && (defined(__GNUC__) || defined(__clang__)) && !defined(__OPTIMIZE__)
#define QUILLANE_LARGE_FRAMES 1
#endif
#if defined(QUILLANE_LARGE_FRAMES)
inline constexpr size_t kWalkLevelStackBytes = kLargeWalkLevelStackBytes;
#else
inline constexpr size_t kWalkLevelStackBytes = kOptimisedWalkLevelStackBytes;
#endif

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
