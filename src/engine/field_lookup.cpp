// Field lookup off the in-order fast path.
#include "engine/field_lookup.hpp"

#include "runtime/critical_section.hpp"
#include "runtime/interpreter_version.hpp"
#include "schema/field_index.hpp"

namespace quillane {

const FieldEntry* find_other_field(const ValidatorNode& node, PyObject* key, const KeyUnits& units) noexcept {
    if (node.field_index.empty()) {
        for (const FieldEntry& field : node.fields) {
            if (names_field(field.name, units)) {
                return &field;
            }
        }
        return nullptr;
    }
    const auto hash = static_cast<int64_t>(str_hash(key));
    const uint32_t hash_bits = index_hash_bits(hash);
    const size_t slot_mask = node.field_index.size() - 1;
    for (size_t slot = first_index_slot(hash, slot_mask); node.field_index[slot].position_plus_one != 0;
         slot = next_index_slot(slot, slot_mask)) {
        const FieldSlot& candidate = node.field_index[slot];
        if (candidate.hash_bits != hash_bits) {
            continue;
        }
        const FieldEntry& field = node.fields[candidate.position_plus_one - 1];
        if (field.name.hash == hash && names_field(field.name, units)) {
            return &field;
        }
    }
    return nullptr;
}

std::vector<uint8_t> fields_named(const ValidatorNode& node, PyObject* dict) {
    std::vector<uint8_t> named(node.fields.size(), 0);
#ifdef Py_GIL_DISABLED
    // Another thread may change the dict: its entries are read under its
    // lock, and nothing here waits.
    CriticalSection section(dict);
#endif
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value) != 0) {
        if (!PyUnicode_Check(key)) {
            continue;
        }
        if (const FieldEntry* field = find_field(node, key, node.fields.size())) {
            named[static_cast<size_t>(field - node.fields.data())] = 1;
        }
    }
    return named;
}

}  // namespace quillane
