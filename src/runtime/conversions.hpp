// Conversion helpers: Python objects into native values, each giving the
// value or the PendingError that says why it could not be read.
#pragma once

#include "runtime/failure.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace quillane {

// Any str, subclasses included: its UTF-8 bytes, copied. Not a str: the
// "PyString" conversion error; a str with lone surrogates: the encoding error.
Result<std::string> read_text(PyObject* object);

// As read_text, without the copy: the bytes stay owned by the str (its
// cached UTF-8 form) and live as long as it does.
Result<std::string_view> read_text_view(PyObject* object);

// Exactly bool, or a numpy boolean through its type's truth slot. Anything
// else, ints included: the "PyBool" conversion error.
Result<bool> read_bool(PyObject* object);

// An exact float directly, anything else through PyFloat_AsDouble.
Result<double> read_double(PyObject* object);

// An int (subclasses included) directly, anything else through __index__
// first. Negative or too large: the interpreter's OverflowError.
Result<uint64_t> read_uint64(PyObject* object);

// len(object).
Result<Py_ssize_t> read_size(PyObject* object);

// str(object) as UTF-8 text for the module's own messages. Never fails: an
// object whose __str__ raises is reported to the unraisable hook and shown as
// "<unprintable {type} object>"; lone surrogates become U+FFFD.
std::string render_text(PyObject* object);

}  // namespace quillane
