// The type tests the check and the walk make of a value. The reads and rules
// of a kind family are in its own file (number_kinds.hpp, length_kinds.hpp).
#pragma once

#include "runtime/py_ref.hpp"

namespace quillane {

// Type tests on the value's type object: subclass flags, exact types first.
inline bool is_exact_bool(PyObject* value) noexcept { return Py_IS_TYPE(value, &PyBool_Type); }
inline bool is_float(PyObject* value) noexcept {
    return Py_IS_TYPE(value, &PyFloat_Type) || PyType_IsSubtype(Py_TYPE(value), &PyFloat_Type);
}
inline bool is_str(PyObject* value) noexcept { return Py_IS_TYPE(value, &PyUnicode_Type) || PyUnicode_Check(value); }
inline bool is_list(PyObject* value) noexcept { return Py_IS_TYPE(value, &PyList_Type) || PyList_Check(value); }
inline bool is_tuple(PyObject* value) noexcept { return PyTuple_Check(value); }
inline bool is_dict(PyObject* value) noexcept { return Py_IS_TYPE(value, &PyDict_Type) || PyDict_Check(value); }

}  // namespace quillane
