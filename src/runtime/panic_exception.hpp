// The PanicException class: how an internal fault reaches Python.
#pragma once

#include "runtime/py_ref.hpp"

namespace quillane {

// The PanicException class, created on first use and kept for the life of
// the process. Null (with the creation's exception pending) if it cannot be
// created.
PyObject* panic_exception_type() noexcept;

}  // namespace quillane
