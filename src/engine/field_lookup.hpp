// Matching a data key to a field of a field map, by the code units the
// interpreter stores the key in: no UTF-8 form of the key is made, and the
// key's own __eq__ and __hash__ are never called.
#pragma once

#include "runtime/py_ref.hpp"
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

// Byte equality for short texts such as field names, without a library
// call: whole words, the last one overlapping the one before, so that no
// byte past either text is read and no byte is compared alone.
inline bool same_bytes(const char* a, const char* b, size_t size) noexcept {
    const auto load64 = [](const char* p) {
        uint64_t word = 0;
        std::memcpy(&word, p, sizeof word);
        return word;
    };
    const auto load32 = [](const char* p) {
        uint32_t word = 0;
        std::memcpy(&word, p, sizeof word);
        return word;
    };
    if (size >= 8) {
        for (size_t offset = 0; offset + 8 < size; offset += 8) {
            if (load64(a + offset) != load64(b + offset)) {
                return false;
            }
        }
        return load64(a + size - 8) == load64(b + size - 8);
    }
    if (size >= 4) {
        return load32(a) == load32(b) && load32(a + size - 4) == load32(b + size - 4);
    }
    if (size >= 2) {
        return a[0] == b[0] && a[size - 1] == b[size - 1] && a[size / 2] == b[size / 2];
    }
    return size == 0 || a[0] == b[0];
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

// Whether the exact str `key` holds `name`.
inline bool exact_key_names(const FieldName& name, PyObject* key) noexcept {
    if (str_shape_bits(key) != name.shape.bits || static_cast<uint64_t>(PyUnicode_GET_LENGTH(key)) != name.length) {
        return false;
    }
#ifndef Py_GIL_DISABLED
    // Free-threaded, not: the header's bytes in the word (the state's
    // interned bits, a cached UTF-8 pointer) may be written meanwhile by
    // another thread, so only the name's own bytes are read.
    if (name.tail_offset != 0) [[likely]] {
        // One load ending at the name's last byte: it starts inside the
        // str's header, which every compact str has in front of its units.
        uint64_t word = 0;
        std::memcpy(&word, reinterpret_cast<const char*>(key) + name.tail_offset, sizeof word);
        return (word & name.tail_mask) == name.tail;
    }
#endif
    const char* units = compact_str_units(key, name.shape);
    const size_t size = name.units.size();
    return same_bytes(name.units.data(), units, size);
}

// The field of a Fields node named by the str `key`, or null. Data usually
// lists its keys in the schema's order, so the field at `likely_index` is
// tried first, for an exact str by its shape word (runtime/
// interpreter_version.hpp) without decoding its layout.
inline const FieldEntry* find_field(const ValidatorNode& node, PyObject* key, size_t likely_index) noexcept {
    if (likely_index < node.fields.size() && PyUnicode_CheckExact(key) &&
        exact_key_names(node.fields[likely_index].name, key)) [[likely]] {
        return &node.fields[likely_index];
    }
    return find_other_field(node, key, key_units(key));
}

// Which fields the dict's str keys name, one flag per field. Only for the
// rare dicts that may hold two keys of the same text (str subclasses with an
// equality of their own); runs no Python code.
std::vector<uint8_t> fields_named(const ValidatorNode& node, PyObject* dict);

}  // namespace quillane
