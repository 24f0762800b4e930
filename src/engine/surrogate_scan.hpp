// Whether a str holds a lone surrogate, the only thing that keeps a str from
// having a UTF-8 form: found by scanning its code units, without making that
// form (which the interpreter would keep attached to the str for its life).
#pragma once

#include "runtime/py_ref.hpp"

#include <cstddef>
#include <cstdint>

namespace quillane {

bool has_surrogate_units(const uint16_t* units, size_t count) noexcept;
bool has_surrogate_units(const uint32_t* units, size_t count) noexcept;

inline bool has_lone_surrogate(PyObject* text) noexcept {
    // One-byte strs (ASCII and Latin-1) cannot hold one, and a str whose
    // UTF-8 form is already made has none.
    const int kind = PyUnicode_KIND(text);
    if (kind == PyUnicode_1BYTE_KIND || reinterpret_cast<PyCompactUnicodeObject*>(text)->utf8 != nullptr) {
        return false;
    }
    const auto count = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    if (kind == PyUnicode_2BYTE_KIND) {
        return has_surrogate_units(PyUnicode_2BYTE_DATA(text), count);
    }
    return has_surrogate_units(PyUnicode_4BYTE_DATA(text), count);
}

}  // namespace quillane
