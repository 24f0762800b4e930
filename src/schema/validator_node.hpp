// The compiled validator tree: one node per schema object, holding no Python
// references, immutable once built.
#pragma once

#include "runtime/interpreter_version.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillane {

enum class NodeKind : uint8_t {
    Any = 0,
    Bool = 1,
    Int = 2,
    IntRange = 3,
    IntRangeExclusive = 4,
    Float = 5,
    FloatRange = 6,
    FloatRangeExclusive = 7,
    Str = 8,
    List = 9,
    ListSized = 10,
    Dict = 11,
    Fields = 12,
};

// Bounds of the number kinds, stored as doubles for the integer kinds too.
// An absent bound is an inclusive infinity, which no value breaks (NaN
// included), so a check tests no flag for it.
struct NumberBounds {
    double min = -std::numeric_limits<double>::infinity();
    double max = std::numeric_limits<double>::infinity();
    // Only the two exclusive kinds set these, and only with their bound.
    bool exclusive_min = false;
    bool exclusive_max = false;
};

// The outermost walk of a tree up to this height cannot threaten the C
// stack, so it skips the interpreter's recursion counter; taller trees, and
// every walk that starts while another is under way (re-entered from Python
// code the first one ran), pay for it. The height depends on the version
// (runtime/interpreter_version.hpp).
inline constexpr uint32_t kUnguardedWalkHeight = kUncountedStackLevels;

// Field maps with more fields than this get a hash index of their names, so
// that finding a key costs the same whatever order the data lists its keys
// in; smaller ones are scanned.
inline constexpr size_t kIndexedFieldCount = 8;

// Inclusive bounds on a str's code points or a list's items. An absent bound
// is one no length breaks (0, the largest count), so a check compares twice
// and tests no flag.
struct LengthBounds {
    uint64_t min_len = 0;
    uint64_t max_len = UINT64_MAX;

    bool any() const noexcept { return min_len != 0 || max_len != UINT64_MAX; }
};

struct FieldEntry;

// One slot of a field map's hash index: the low bits of a name's hash, so
// that most probes need not touch the field itself, and the field's
// position plus one (0: an empty slot).
struct FieldSlot {
    uint32_t hash_bits = 0;
    uint32_t position_plus_one = 0;
};

// A tagged node: `kind` says which of the payload members mean anything.
// Members a kind does not use stay empty.
struct ValidatorNode {
    NodeKind kind = NodeKind::Any;
    // Levels from this node down to its deepest leaf (1 for a leaf): how deep
    // a walk of this tree recurses at most.
    uint32_t height = 1;
    NumberBounds bounds;                     // IntRange*, FloatRange*
    LengthBounds lengths;                    // Str, ListSized
    std::unique_ptr<ValidatorNode> element;  // item validator (List*), value validator (Dict)
    std::vector<FieldEntry> fields;          // Fields, in the schema dict's order
    // Fields with more than kIndexedFieldCount entries: an open-addressing
    // table (a power of two long) placed by each name's str hash.
    std::vector<FieldSlot> field_index;

    static ValidatorNode of_kind(NodeKind kind);
};

// A field name in the two forms the walks need: UTF-8 for the paths of
// error entries, and the code units the interpreter stores the str in (one
// width for the whole str, the narrowest that holds its largest code point),
// so that a data key is matched without making its UTF-8 form.
struct FieldName {
    // What a lookup compares first, together at the start of the entry.
    int64_t hash = 0;       // the str's hash, for the field index
    uint64_t length = 0;    // in code points
    uint8_t unit_size = 1;  // 1, 2 or 4
    StrShape shape;         // of an exact str holding the name
    // Names of fewer than 8 bytes: the 8 bytes that end where the name's
    // code units end in an exact str, and which of them are the name's (the
    // rest lie in the str's header, inside the object).
    uint64_t tail = 0;
    uint64_t tail_mask = 0;
    // Where that word starts in an exact str holding the name; 0 for a name
    // of 8 bytes or more, compared whole.
    uint32_t tail_offset = 0;
    std::string units;      // `length` code units of `unit_size` bytes each
    std::string utf8;
};

struct FieldEntry {
    FieldName name;  // copied from the schema dict's key
    ValidatorNode validator;
};

inline ValidatorNode ValidatorNode::of_kind(NodeKind kind) {
    ValidatorNode node;
    node.kind = kind;
    return node;
}

}  // namespace quillane
