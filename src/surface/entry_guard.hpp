// The guard around every function the interpreter calls into the module: a
// PendingError becomes the raised exception, an InternalFault (or any other
// C++ exception) becomes PanicException, and nothing unwinds into the
// interpreter.
#pragma once

#include "runtime/failure.hpp"

#include <new>
#include <optional>

namespace quillane {

namespace detail {

// What the body of a guarded entry ended in, when it did not return normally.
struct Unwound {
    std::optional<std::string> fault_text;  // empty: a fault without a text
};

Unwound unwound_from_current_exception() noexcept;

// Raises the outcome (steps 2 to 4 of the guard) and returns what the entry
// gives back to the interpreter. Aborts the process if raising itself fails.
PyObject* finish_entry(std::optional<Result<Ref>> outcome, const Unwound& unwound) noexcept;
void finish_dealloc(const Unwound& unwound) noexcept;

}  // namespace detail

// Returning variant: the body yields a new reference or a PendingError.
template <class Body>
PyObject* guard_entry(Body&& body) noexcept {
    std::optional<Result<Ref>> outcome;
    detail::Unwound unwound;
    try {
        outcome.emplace(body());
    } catch (...) {
        unwound = detail::unwound_from_current_exception();
    }
    return detail::finish_entry(std::move(outcome), unwound);
}

// Deallocation variant: the body returns nothing; a fault goes to the
// unraisable-exception hook and the deallocation still returns normally.
template <class Body>
void guard_dealloc(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        detail::finish_dealloc(detail::unwound_from_current_exception());
    }
}

}  // namespace quillane
