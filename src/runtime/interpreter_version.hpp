// What differs between the interpreter versions the module supports (3.13,
// 3.14, 3.15), and the few reads of the interpreter's own structs that the
// hot paths make, in one place: nothing else in the module tests a version
// or reads a struct field. Each read says why no public call serves.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "runtime/stack_limit.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace quillane {

// Whether a str of two- or four-byte code units (never ASCII: an ASCII str
// is its own UTF-8 form) already has its UTF-8 form attached. Read from the
// str (PyCompactUnicodeObject::utf8, present in 3.13 to 3.15): the only
// public way to ask, PyUnicode_AsUTF8AndSize, makes the form and keeps it on
// the str for its life, which the module must not do to the data.
// Free-threaded, another thread may attach the form meanwhile, and the
// interpreter stores the pointer atomically: so it is loaded so.
inline bool wide_str_has_cached_utf8(PyObject* text) noexcept {
#ifdef Py_GIL_DISABLED
    return std::atomic_ref<char*>(reinterpret_cast<PyCompactUnicodeObject*>(text)->utf8)
               .load(std::memory_order_acquire) != nullptr;
#else
    return reinterpret_cast<PyCompactUnicodeObject*>(text)->utf8 != nullptr;
#endif
}

// str's own hash of the text, never a subclass's __hash__. Read from the
// str where it is cached (PyASCIIObject::hash, set once computed, always for
// a dict key), since PyUnicode_Type.tp_hash, the public way, hashes the text
// again when the str is not an exact str; that call is the fallback when
// nothing is cached yet. Free-threaded, another thread may store the hash
// meanwhile, as the interpreter does, atomically: so it is loaded so.
inline Py_hash_t str_hash(PyObject* text) noexcept {
#ifdef Py_GIL_DISABLED
    const Py_hash_t cached =
        std::atomic_ref<Py_hash_t>(reinterpret_cast<PyASCIIObject*>(text)->hash).load(std::memory_order_relaxed);
#else
    const Py_hash_t cached = reinterpret_cast<PyASCIIObject*>(text)->hash;
#endif
    return cached != -1 ? cached : PyUnicode_Type.tp_hash(text);
}

// A compact str's layout: its width, whether it is ASCII and that it is
// compact, read together from PyASCIIObject::state (3.13 to 3.15), and where
// its code units start. Two exact strs hold the same text exactly when their
// shapes, lengths and code units agree, since a str is always stored in the
// narrowest form that holds it: comparing the shape word first matches a
// dict key to a field name with one load, where PyUnicode_KIND and
// PyUnicode_DATA, the public reads, test each bit on its own.
struct StrShape {
    uint32_t bits = 0;
    uint32_t data_offset = 0;
};
namespace str_shape_detail {
using State = decltype(PyASCIIObject::state);
static_assert(sizeof(State) == sizeof(uint32_t));
inline uint32_t state_word(const State& state) noexcept {
    uint32_t word = 0;
    std::memcpy(&word, &state, sizeof word);
    return word;
}
inline uint32_t shape_mask() noexcept {
    State state{};
    state.kind = 7;
    state.compact = 1;
    state.ascii = 1;
    return state_word(state);
}
// Set when the module is loaded, so that a read tests no guard.
inline const uint32_t kShapeMask = shape_mask();
}  // namespace str_shape_detail

// The shape bits of any str (exact or not). They never change once the str
// is made; the word's other bits do (the interned state, which interning
// sets on a str that other threads may be reading): the mask drops them,
// and free-threaded the word is loaded atomically, whole.
inline uint32_t str_shape_bits(PyObject* text) noexcept {
#ifdef Py_GIL_DISABLED
    auto* word = reinterpret_cast<uint32_t*>(&reinterpret_cast<PyASCIIObject*>(text)->state);
    return std::atomic_ref<uint32_t>(*word).load(std::memory_order_relaxed) & str_shape_detail::kShapeMask;
#else
    return str_shape_detail::state_word(reinterpret_cast<PyASCIIObject*>(text)->state) & str_shape_detail::kShapeMask;
#endif
}

// The shape an exact str of `kind` holding only ASCII (or not) has.
inline StrShape compact_str_shape(int kind, bool ascii) noexcept {
    str_shape_detail::State state{};
    state.kind = static_cast<unsigned>(kind);
    state.compact = 1;
    state.ascii = ascii ? 1 : 0;
    return StrShape{str_shape_detail::state_word(state),
                    static_cast<uint32_t>(ascii ? sizeof(PyASCIIObject) : sizeof(PyCompactUnicodeObject))};
}

// The code units of a str whose shape bits equal `shape.bits`.
inline const char* compact_str_units(PyObject* text, const StrShape& shape) noexcept {
    return reinterpret_cast<const char*>(text) + shape.data_offset;
}

// The code units of a str of two- or four-byte units: right after the
// header of a compact str (never ASCII, so the longer header), which is
// where PyUnicode_DATA finds them too, after an ASCII test this needs not;
// PyUnicode_DATA itself for any other (a subclass instance).
inline const void* wide_str_units(PyObject* text) noexcept {
    if (PyUnicode_IS_COMPACT(text)) [[likely]] {
        return reinterpret_cast<PyCompactUnicodeObject*>(text) + 1;
    }
    return PyUnicode_DATA(text);
}

// The value of an exact int that fits in a machine word, or nothing: the
// unstable API's compact read (3.13 to 3.15) is a field test and a multiply,
// where PyLong_AsLongLongAndOverflow, the public fallback the callers take
// for everything else, is a function call.
inline std::optional<int64_t> compact_int_value(PyObject* value) noexcept {
    if (!PyLong_CheckExact(value) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
        return std::nullopt;
    }
    return static_cast<int64_t>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value)));
}

// Whether the calling thread still holds the interpreter. At shutdown, 3.13
// ends a daemon thread that asks for the interpreter back by unwinding its
// stack (pthread_exit) from inside whatever Python code the module called;
// the module's destructors then run without a thread state and must not
// touch the interpreter. From 3.14 on such a thread is parked for good
// instead, so every destructor that runs does hold it.
inline bool thread_holds_interpreter() noexcept {
#if PY_VERSION_HEX < 0x030E0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return true;
#endif
}

// Whether PyErr_CheckSignals could run Python code on the calling thread
// now: a signal handler, or a finaliser in a collection of cycles. Both are
// announced in the thread's eval breaker (PyThreadState::eval_breaker, whose
// low byte holds one bit per request in 3.13 to 3.15), and with no request
// set the call returns at once. Every request but another thread waiting for
// the interpreter counts (that one PyErr_CheckSignals leaves alone, and in a
// busy threaded program it is set for the whole of a long walk). No public
// call asks without doing the work.
inline bool signal_check_may_run_python_code() noexcept {
    constexpr uintptr_t kRequests = 0xFF;
    constexpr uintptr_t kDropRequest = 1;
    PyThreadState* thread = PyThreadState_Get();
    const uintptr_t breaker = std::atomic_ref<uintptr_t>(thread->eval_breaker).load(std::memory_order_relaxed);
    return (breaker & kRequests & ~kDropRequest) != 0;
}

// How much C stack a walk may take without the interpreter's recursion
// check. From 3.14 on the check measures the C stack, and needs less than
// its margin used between two checks (2,048 pointers in a release build of
// the interpreter, twice that in its debug and sanitized builds): the walk's
// levels get three eighths of it, which leaves the rest for the walk's
// entry, the Python code a leaf can run (an __index__ method) and the
// interpreter's own frames between its last check and the call. 3.13 counts
// levels against a fixed limit instead; its walks may take what 64 levels of
// an optimised build take, far from the C stack's end.
#if PY_VERSION_HEX < 0x030E0000
inline constexpr size_t kUncountedStackBytes = 64 * kOptimisedWalkLevelStackBytes;
#else
inline constexpr size_t kUncountedStackBytes = 2048 * sizeof(void*) * 3 / 8;
#endif

// How many container levels a walk may descend without the interpreter's
// recursion check: as many as fit in that stack at this build's largest
// level, so that a build with larger frames (sanitized, unoptimised) checks
// more of its levels instead of overrunning the margin, and an optimised one
// keeps its short walks free of checks.
inline constexpr uint32_t kUncountedStackLevels = static_cast<uint32_t>(kUncountedStackBytes / kWalkLevelStackBytes);

// Whether changes to `dict` can bypass the dict watchers. On 3.13 an
// attribute store into an instance's own __dict__ (a split table, its values
// kept apart from its keys) writes the value in place without telling the
// watchers; from 3.14 on such a store goes through the dict.
inline bool watchers_miss_stores_into(PyObject* dict) noexcept {
#if PY_VERSION_HEX < 0x030E0000
    return reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr;
#else
    (void)dict;
    return false;
#endif
}

}  // namespace quillane
