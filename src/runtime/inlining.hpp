// Portable spellings of the inlining hints the hot paths and the deep
// recursions depend on (MSVC ignores the GNU attribute spellings). Use these,
// never [[gnu::...]] directly: where a frame is kept out of a recursion or
// an error path out of a loop, every compiler must be told.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__)
#define QUILLANE_ALWAYS_INLINE __forceinline
#define QUILLANE_NOINLINE __declspec(noinline)
#define QUILLANE_INLINE_LAMBDA [[msvc::forceinline]]
// MSVC has no such attribute.
#define QUILLANE_COLD
#else
#define QUILLANE_ALWAYS_INLINE [[gnu::always_inline]] inline
#define QUILLANE_NOINLINE [[gnu::noinline]]
// After a lambda's parameter list: its body is inlined where it is called.
#define QUILLANE_INLINE_LAMBDA __attribute__((always_inline))
// Rarely run (error paths): optimised for size and placed apart from the hot
// code; implies that branches into it are unlikely.
#define QUILLANE_COLD [[gnu::cold]]
#endif
