// Reads and rules shared by the conformance check and the validation walk, so
// that both judge a value of one kind the same way.
#pragma once

#include "engine/messages.hpp"
#include "engine/surrogate_scan.hpp"
#include "runtime/container_walks.hpp"
#include "runtime/failure.hpp"
#include "schema/validator_node.hpp"

#include <cstdint>
#include <optional>

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

// Reading the signed 64-bit value of an int, a bool or an __index__ object.
// Nothing when the value is not one: its conversion failed with an ordinary
// error (an Exception other than MemoryError and RecursionError), which is
// discarded. A MemoryError, a RecursionError (raised by how deep the
// caller's stack is, not by the value) and any BaseException that is not an
// Exception (KeyboardInterrupt, SystemExit, a fault from a nested call) is
// no answer about the value: it ends the walk.
Result<std::optional<int64_t>> read_index_integer(PyObject* value);

// Whether reading the integer of `value` calls its __index__ method.
inline bool reading_runs_python_code(PyObject* value) noexcept {
    if (PyLong_Check(value)) {
        return false;
    }
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    return number != nullptr && number->nb_index != nullptr;
}

// Python code may run in the read: the walks under way take hold first.
inline Result<std::optional<int64_t>> read_integer(PyObject* value, ContainerWalks& walks) {
    if (std::optional<int64_t> compact = compact_int_value(value)) [[likely]] {
        return *compact;
    }
    if (PyLong_Check(value)) {
        // Beyond 64 bits is a plain answer, not worth an OverflowError.
        int overflow = 0;
        long long integer = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0) {
            return std::optional<int64_t>();
        }
        return static_cast<int64_t>(integer);
    }
    // Without __index__ the conversion could only raise a TypeError, which
    // would be discarded: skip making it.
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (number == nullptr || number->nb_index == nullptr) {
        return std::optional<int64_t>();
    }
    walks.before_python_code();
    return read_index_integer(value);
}

// The double of a value that passed the float test: a float's stored value,
// read directly for an exact float and through PyFloat_AsDouble for a
// subclass (which reads the same stored value; its error is passed on
// should it ever report one).
inline Result<double> read_float(PyObject* value) {
    if (Py_IS_TYPE(value, &PyFloat_Type)) {
        return PyFloat_AS_DOUBLE(value);
    }
    double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred() != nullptr) {
        return fail(error_of_failed_call());
    }
    return number;
}

// The error a str with a lone surrogate gives when its UTF-8 form is asked
// for: the interpreter's own UnicodeEncodeError, made by asking (the failed
// encoding leaves nothing attached to the str).
PendingError no_utf8_form(PyObject* text);

// A str's length in code points; a str without a UTF-8 form (one holding a
// lone surrogate) gives the error that asking for that form gives.
inline Result<uint64_t> read_str_length(PyObject* text, SurrogateScans& scans) {
    if (scans.has_lone_surrogate(text)) [[unlikely]] {
        return fail(no_utf8_form(text));
    }
    return static_cast<uint64_t>(PyUnicode_GET_LENGTH(text));
}

// Bounds with IEEE comparisons, so NaN on either side never breaks one. The
// exclusive flags are clear on the inclusive kinds, so one rule serves both.
inline BoundBreach check_bounds(const NumberBounds& bounds, double x) noexcept {
    if (bounds.exclusive_min ? bounds.min >= x : bounds.min > x) {
        return bounds.exclusive_min ? BoundBreach::NotAboveMin : BoundBreach::BelowMin;
    }
    if (bounds.exclusive_max ? x >= bounds.max : x > bounds.max) {
        return bounds.exclusive_max ? BoundBreach::NotBelowMax : BoundBreach::AboveMax;
    }
    return BoundBreach::None;
}

inline double bound_broken(const NumberBounds& bounds, BoundBreach breach) noexcept {
    return breach == BoundBreach::BelowMin || breach == BoundBreach::NotAboveMin ? bounds.min : bounds.max;
}

inline LengthBreach check_length(const LengthBounds& bounds, uint64_t length) noexcept {
    if (length < bounds.min_len) {
        return LengthBreach::TooShort;
    }
    if (length > bounds.max_len) {
        return LengthBreach::TooLong;
    }
    return LengthBreach::None;
}

inline uint64_t length_broken(const LengthBounds& bounds, LengthBreach breach) noexcept {
    return breach == LengthBreach::TooShort ? bounds.min_len : bounds.max_len;
}

}  // namespace quillane
