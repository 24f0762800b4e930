// Building the hash index of a field map's names.
#include "schema/field_index.hpp"

#include <bit>

namespace quillane {

void build_field_index(ValidatorNode& node) {
    const size_t field_count = node.fields.size();
    if (field_count <= kIndexedFieldCount || field_count >= UINT32_MAX / 2) {
        return;
    }
    const size_t slot_count = std::bit_ceil(field_count * 2);
    const size_t slot_mask = slot_count - 1;
    node.field_index.assign(slot_count, FieldSlot{});
    for (size_t position = 0; position < field_count; ++position) {
        const int64_t hash = node.fields[position].name.hash;
        size_t slot = first_index_slot(hash, slot_mask);
        while (node.field_index[slot].position_plus_one != 0) {
            slot = next_index_slot(slot, slot_mask);
        }
        node.field_index[slot] = FieldSlot{index_hash_bits(hash), static_cast<uint32_t>(position + 1)};
    }
}

}  // namespace quillane
