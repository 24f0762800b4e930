// The hash index of a large field map's names: built by the compiler, probed
// by the walks. Both sides follow the same slot sequence, defined here.
#pragma once

#include "schema/validator_node.hpp"

namespace quillane {

// Linear probing from the slot the hash picks. The table is at least twice
// as long as the field count, so every probe sequence reaches an empty slot.
inline size_t first_index_slot(int64_t hash, size_t slot_mask) noexcept {
    return static_cast<size_t>(static_cast<uint64_t>(hash)) & slot_mask;
}
inline size_t next_index_slot(size_t slot, size_t slot_mask) noexcept { return (slot + 1) & slot_mask; }
inline uint32_t index_hash_bits(int64_t hash) noexcept { return static_cast<uint32_t>(static_cast<uint64_t>(hash)); }

// Fills node.field_index for a Fields node with more than kIndexedFieldCount
// fields (whose names are distinct); leaves it empty otherwise.
void build_field_index(ValidatorNode& node);

}  // namespace quillane
