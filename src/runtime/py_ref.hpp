// Ref: the one owner of a strong Python reference. Raw reference counting
// happens here and nowhere else in the module.
#pragma once

// Python.h, and the one definition of PY_SSIZE_T_CLEAN, come with it.
#include "runtime/interpreter_version.hpp"

#include <utility>

namespace quillane {

// operator= takes its argument by value, so it serves copy and move assignment alike.
//
// Releasing a reference can run Python code (a finaliser), and on 3.13 a
// daemon thread at interpreter exit is ended inside such code by a forced
// unwind, which must be free to pass through: so the destructor, operator=
// and reset are not noexcept (an unwind through a noexcept frame ends the
// process), and a destructor reached by that unwind leaves the object alone.
// NOLINTNEXTLINE(cppcoreguidelines-special-member-functions)
class Ref {
public:
    Ref() noexcept = default;

    // Takes over a reference the caller already owns (a "new reference"
    // returned by the C API). A null pointer gives an empty Ref.
    static Ref steal(PyObject* object) noexcept { return Ref(object); }

    // Takes a reference of its own to an object the caller only borrows.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}

    // NOLINTNEXTLINE(performance-noexcept-move-constructor)
    Ref& operator=(Ref other) {
        std::swap(object_, other.object_);
        return *this;
    }

    ~Ref() noexcept(false) {
        if (object_ != nullptr && thread_holds_interpreter()) {
            Py_DECREF(object_);
        }
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller (for returning to the interpreter or
    // to an API that steals it); the Ref is empty afterwards.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    void reset() { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

// A new reference to None, for entries that answer "no result".
inline Ref none_ref() noexcept { return Ref::borrow(Py_None); }

}  // namespace quillane
