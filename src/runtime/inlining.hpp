// Portable spellings of the inlining hints the hot paths and the deep
// recursions depend on (MSVC ignores the GNU attribute spellings).
#pragma once

#if defined(_MSC_VER) && !defined(__clang__)
#define QUILLANE_ALWAYS_INLINE __forceinline
#define QUILLANE_NOINLINE __declspec(noinline)
#else
#define QUILLANE_ALWAYS_INLINE [[gnu::always_inline]] inline
#define QUILLANE_NOINLINE [[gnu::noinline]]
#endif
