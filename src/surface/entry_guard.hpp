// The guard around every function the interpreter calls into the module: a
// PendingError becomes the raised exception, an InternalFault (or any other
// std::exception, which is every exception the module throws) becomes
// PanicException, and nothing unwinds into the interpreter but a foreign
// unwind (pthread_exit's), which must go on.
#pragma once

#include "runtime/failure.hpp"

#include <exception>
#include <new>
#include <optional>

namespace quillane {

namespace detail {

// What the body of a guarded entry ended in, when it did not return normally.
struct Unwound {
    std::optional<std::string> fault_text;  // empty: a fault without a text
};

// Called in a catch block: what the exception being handled says. An
// InternalFault's text (reported where it was thrown); "out of memory" for
// std::bad_alloc and no text for any other exception, each after a line on
// standard error.
Unwound unwound_from_current_exception() noexcept;

// What the entry gives back to the interpreter, once the body has ended:
// the body's new reference; or null with the body's PendingError set as the
// current exception; or, when the body threw (no outcome), null with a
// PanicException carrying the fault's text set. Aborts the process if setting
// the exception fails in turn, as nothing could report the fault then.
PyObject* finish_entry(std::optional<Result<Ref>> outcome, const Unwound& unwound) noexcept;

// For a deallocation whose body threw: the PanicException goes to the
// unraisable-exception hook, and an exception being handled meanwhile is kept.
void finish_dealloc(const Unwound& unwound) noexcept;

}  // namespace detail

// For an entry that returns an object (a method, a function, tp_new, the
// module's init): the body returns a new reference or a PendingError.
//
// Not noexcept, for one unwind that is no fault: on 3.13 a daemon thread
// that asks for the interpreter back while it shuts down is ended by
// pthread_exit, which unwinds the thread's stack through the Python code the
// module called and through the module's frames. That unwind must go on
// (glibc aborts the process when it is caught for good), and the frames it
// passes touch nothing of the interpreter's on the way (Ref and the guards
// check that the thread still holds it).
//
// So the guard catches std::exception, which every exception the module
// throws derives from (InternalFault, std::bad_alloc and the standard
// library's own; clang-tidy's hicpp-exception-baseclass holds the module's
// throws to it), and no catch (...): a foreign unwind matches no typed
// handler under either C++ runtime and passes untouched. A catch (...) would
// take it, and only the GNU runtime can throw it on again: libc++abi's
// rethrow starts it afresh as an exception nothing catches, and ending the
// handler without a rethrow makes glibc abort.
template <class Body>
PyObject* guard_entry(Body&& body) {
    std::optional<Result<Ref>> outcome;
    detail::Unwound unwound;
    try {
        outcome.emplace(body());
    } catch (const std::exception&) {
        unwound = detail::unwound_from_current_exception();
    }
    return detail::finish_entry(std::move(outcome), unwound);
}

// For a deallocation slot: the body returns nothing; a fault goes to the
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
