// The PanicException class: how an internal fault reaches Python.
#pragma once

#include "runtime/py_ref.hpp"

namespace quillane {

// The PanicException class, created on first use and kept for the life of
// the interpreter. Null (with the creation's exception pending) if it cannot
// be created.
PyObject* panic_exception_type() noexcept;

// Forgets the class once its interpreter is gone, so that a later one makes
// its own. Calls no C API.
void forget_panic_exception_type() noexcept;

}  // namespace quillane
