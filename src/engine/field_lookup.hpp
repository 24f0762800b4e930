// Matching a data key to a field of a field map, by the code units the
// interpreter stores the key in: no UTF-8 form of the key is made, and the
// key's own __eq__ and __hash__ are never called.
#pragma once

#include "binding/py_ref.hpp"
#include "schema/validator_node.hpp"

#include <cstring>
#include <vector>

namespace quillane {

// A str's stored code units.
struct KeyUnits {
    const void* data;
    uint64_t length;
    uint8_t unit_size;
};

inline KeyUnits key_units(PyObject* key) noexcept {
    return KeyUnits{PyUnicode_DATA(key), static_cast<uint64_t>(PyUnicode_GET_LENGTH(key)),
                    static_cast<uint8_t>(PyUnicode_KIND(key))};
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

// A str is always stored in the narrowest width that holds it, so two strs
// are equal exactly when width, length and code units are.
inline bool names_field(const FieldName& name, const KeyUnits& key) noexcept {
    return name.length == key.length && name.unit_size == key.unit_size &&
           same_bytes(name.units.data(), static_cast<const char*>(key.data), key.length * key.unit_size);
}

// The field another key than the likely one names: by the index, or by a
// scan of a small field map.
const FieldEntry* find_other_field(const ValidatorNode& node, PyObject* key, const KeyUnits& units) noexcept;

// The field of a Fields node named by the str `key`, or null. Data usually
// lists its keys in the schema's order, so the field at `likely_index` is
// tried first.
inline const FieldEntry* find_field(const ValidatorNode& node, PyObject* key, size_t likely_index) noexcept {
    KeyUnits units = key_units(key);
    if (likely_index < node.fields.size() && names_field(node.fields[likely_index].name, units)) [[likely]] {
        return &node.fields[likely_index];
    }
    return find_other_field(node, key, units);
}

// Which fields the dict's str keys name, one flag per field. Only for the
// rare dicts that may hold two keys of the same text (str subclasses with an
// equality of their own); runs no Python code.
std::vector<uint8_t> fields_named(const ValidatorNode& node, PyObject* dict);

}  // namespace quillane
