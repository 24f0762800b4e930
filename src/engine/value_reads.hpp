// Reads and rules shared by the conformance check and the validation walk, so
// that both judge a value of one kind the same way.
#pragma once

#include "binding/failure.hpp"
#include "binding/recursion_guard.hpp"
#include "engine/messages.hpp"
#include "schema/validator_node.hpp"

#include <cstdint>
#include <cstring>
#include <optional>

namespace quillane {

// Type tests on the value's type object: subclass flags, exact types first.
inline bool is_exact_bool(PyObject* value) noexcept { return Py_IS_TYPE(value, &PyBool_Type); }
inline bool is_float(PyObject* value) noexcept {
    return Py_IS_TYPE(value, &PyFloat_Type) || PyType_IsSubtype(Py_TYPE(value), &PyFloat_Type);
}
inline bool is_str(PyObject* value) noexcept { return PyUnicode_Check(value); }
inline bool is_list(PyObject* value) noexcept { return PyList_Check(value); }
inline bool is_tuple(PyObject* value) noexcept { return PyTuple_Check(value); }
inline bool is_dict(PyObject* value) noexcept { return PyDict_Check(value); }

// The signed 64-bit value of an int, a bool or an __index__ object; nothing
// when that fails, with the interpreter's exception discarded.
inline std::optional<int64_t> read_integer(PyObject* value) {
    if (PyLong_CheckExact(value) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
        return static_cast<int64_t>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value)));
    }
    if (PyLong_Check(value)) {
        // Beyond 64 bits is a plain answer, not worth an OverflowError.
        int overflow = 0;
        long long integer = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0) {
            return std::nullopt;
        }
        return static_cast<int64_t>(integer);
    }
    // Without __index__ the conversion could only raise a TypeError, which
    // would be discarded: skip making it.
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (number == nullptr || number->nb_index == nullptr) {
        return std::nullopt;
    }
    long long integer = PyLong_AsLongLong(value);
    if (integer == -1 && PyErr_Occurred() != nullptr) {
        Ref discarded = Ref::steal(PyErr_GetRaisedException());
        return std::nullopt;
    }
    return static_cast<int64_t>(integer);
}

// Whether checking `value` against a node of `kind` runs no Python code as
// long as the value passes: leaf kinds read through the C API directly; only
// an integer read of an object that is not an int calls its __index__, and
// containers check their children. A failing check may allocate (and so
// run a collection) but ends the check at once.
inline bool passes_without_python_code(NodeKind kind, PyObject* value) noexcept {
    switch (kind) {
        case NodeKind::Int:
        case NodeKind::IntRange:
        case NodeKind::IntRangeExclusive:
            return PyLong_Check(value);
        case NodeKind::List:
        case NodeKind::ListSized:
        case NodeKind::Dict:
        case NodeKind::Fields:
            return false;
        default:
            return true;
    }
}

// The double of a value that passed the float test. A float subclass may
// fail to give one.
inline Result<double> read_float(PyObject* value) {
    if (Py_IS_TYPE(value, &PyFloat_Type)) {
        return PyFloat_AS_DOUBLE(value);
    }
    double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred() != nullptr) {
        return fail(fetch_pending());
    }
    return number;
}

// The UTF-8 form of a str, which must exist (lone surrogates make it fail).
struct Utf8View {
    const char* bytes;
    size_t size;
};

inline Result<Utf8View> read_utf8(PyObject* text) {
    if (PyUnicode_IS_COMPACT_ASCII(text)) {
        // ASCII text is its own UTF-8 form.
        return Utf8View{static_cast<const char*>(PyUnicode_DATA(text)),
                        static_cast<size_t>(PyUnicode_GET_LENGTH(text))};
    }
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
    if (bytes == nullptr) {
        return fail(fetch_pending());
    }
    return Utf8View{bytes, static_cast<size_t>(size)};
}

// A str's length in code points, after making sure it has a UTF-8 form. The
// code points of that form are exactly the str's own length.
inline Result<uint64_t> read_str_length(PyObject* text) {
    if (PyUnicode_IS_ASCII(text)) {
        return static_cast<uint64_t>(PyUnicode_GET_LENGTH(text));
    }
    if (auto utf8 = read_utf8(text); !utf8) {
        return fail(std::move(utf8.error()));
    }
    return static_cast<uint64_t>(PyUnicode_GET_LENGTH(text));
}

// Bounds with IEEE comparisons, so NaN on either side never breaks one. The
// exclusive flags are clear on the inclusive kinds, so one rule serves both.
inline BoundBreach check_bounds(const NumberBounds& bounds, double x) noexcept {
    if (bounds.min) {
        if (bounds.exclusive_min ? *bounds.min >= x : *bounds.min > x) {
            return bounds.exclusive_min ? BoundBreach::NotAboveMin : BoundBreach::BelowMin;
        }
    }
    if (bounds.max) {
        if (bounds.exclusive_max ? x >= *bounds.max : x > *bounds.max) {
            return bounds.exclusive_max ? BoundBreach::NotBelowMax : BoundBreach::AboveMax;
        }
    }
    return BoundBreach::None;
}

inline double bound_broken(const NumberBounds& bounds, BoundBreach breach) noexcept {
    return breach == BoundBreach::BelowMin || breach == BoundBreach::NotAboveMin ? *bounds.min : *bounds.max;
}

inline LengthBreach check_length(const LengthBounds& bounds, uint64_t length) noexcept {
    if (bounds.min_len && length < *bounds.min_len) {
        return LengthBreach::TooShort;
    }
    if (bounds.max_len && length > *bounds.max_len) {
        return LengthBreach::TooLong;
    }
    return LengthBreach::None;
}

inline uint64_t length_broken(const LengthBounds& bounds, LengthBreach breach) noexcept {
    return breach == LengthBreach::TooShort ? *bounds.min_len : *bounds.max_len;
}

// Byte equality for short texts such as field names, without a library call.
inline bool same_bytes(const char* a, const char* b, size_t size) noexcept {
    for (; size >= 8; a += 8, b += 8, size -= 8) {
        uint64_t x = 0;
        uint64_t y = 0;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        if (x != y) {
            return false;
        }
    }
    for (; size > 0; ++a, ++b, --size) {
        if (*a != *b) {
            return false;
        }
    }
    return true;
}

inline bool names_field(const FieldEntry& field, Utf8View key) noexcept {
    return field.name.size() == key.size && same_bytes(field.name.data(), key.bytes, key.size);
}

// The field whose name has the key's bytes (lengths compared first), or
// null. Names are distinct, so the first match is the only one. Data usually
// lists its keys in the schema's order, so the field at `likely_index` is
// tried before the scan.
inline const FieldEntry* find_field(const std::vector<FieldEntry>& fields, Utf8View key, size_t likely_index) noexcept {
    if (likely_index < fields.size() && names_field(fields[likely_index], key)) {
        return &fields[likely_index];
    }
    for (const FieldEntry& field : fields) {
        if (names_field(field, key)) {
            return &field;
        }
    }
    return nullptr;
}

}  // namespace quillane
