// The compiled validator tree: one node per schema object, holding no Python
// references, immutable once built.
#pragma once

#include <cstdint>
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
struct NumberBounds {
    std::optional<double> min;
    std::optional<double> max;
    // Only the two exclusive kinds set these; a flag without its bound has no
    // effect.
    bool exclusive_min = false;
    bool exclusive_max = false;
};

// Walks of trees up to this height cannot threaten the C stack, so they
// skip the interpreter's recursion counter; taller trees pay for it.
inline constexpr uint32_t kUnguardedWalkHeight = 64;

// Inclusive bounds on a str's code points or a list's items.
struct LengthBounds {
    std::optional<uint64_t> min_len;
    std::optional<uint64_t> max_len;
};

struct FieldEntry;

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

    static ValidatorNode of_kind(NodeKind kind);
};

struct FieldEntry {
    std::string name;  // UTF-8, copied from the schema dict's key
    ValidatorNode validator;
};

inline ValidatorNode ValidatorNode::of_kind(NodeKind kind) {
    ValidatorNode node;
    node.kind = kind;
    return node;
}

}  // namespace quillane
