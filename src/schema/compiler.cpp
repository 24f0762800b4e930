// The schema compiler: field maps, the gates every validator object passes,
// then the per-class reads, in the order that decides which error a caller
// sees. The recursive functions keep their frames small (helpers out of
// line), since each level of a deep schema pays for them on the C stack.
#include "schema/compiler.hpp"

#include "runtime/dict_iteration.hpp"
#include "runtime/inlining.hpp"
#include "runtime/recursion_guard.hpp"
#include "schema/attribute_readers.hpp"
#include "schema/field_index.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>

namespace quillane {
namespace {

constexpr const char* kRecursionWhere = " while compiling a schema";

bool is_compiled(const CompileOutcome& outcome) noexcept { return std::holds_alternative<ValidatorNode>(outcome); }

// Moves a compiled child under `parent`, as its item or value validator.
void adopt_element(ValidatorNode& parent, CompileOutcome& child) {
    parent.element = std::make_unique<ValidatorNode>(std::move(std::get<ValidatorNode>(child)));
    parent.height = parent.element->height + 1;
}

// The tail word of a name shorter than 8 bytes (see FieldName::tail): its
// bytes at the word's end, in memory order, whatever the byte order.
void set_short_name_tail(FieldName& name) {
    const size_t size = name.units.size();
    if (size >= sizeof(uint64_t)) {
        return;
    }
    std::array<unsigned char, sizeof(uint64_t)> tail{};
    std::array<unsigned char, sizeof(uint64_t)> mask{};
    std::memcpy(tail.data() + tail.size() - size, name.units.data(), size);
    std::fill(mask.end() - static_cast<std::ptrdiff_t>(size), mask.end(), 0xFF);
    std::memcpy(&name.tail, tail.data(), sizeof name.tail);
    std::memcpy(&name.tail_mask, mask.data(), sizeof name.tail_mask);
    name.tail_offset = static_cast<uint32_t>(name.shape.data_offset + size - sizeof(uint64_t));
}

// A field-map key as a field name; nothing (its error dropped) when the key
// is not a str or has no UTF-8 form.
QUILLANE_NOINLINE std::optional<FieldName> field_name(PyObject* key) {
    if (key == nullptr) {
        return std::nullopt;
    }
    Result<std::string> utf8 = read_text(key);
    if (!utf8) {
        return std::nullopt;
    }
    FieldName name;
    name.utf8 = std::move(*utf8);
    name.length = static_cast<uint64_t>(PyUnicode_GET_LENGTH(key));
    name.unit_size = static_cast<uint8_t>(PyUnicode_KIND(key));
    name.units.assign(static_cast<const char*>(PyUnicode_DATA(key)), name.length * name.unit_size);
    name.shape = compact_str_shape(PyUnicode_KIND(key), PyUnicode_IS_ASCII(key) != 0);
    set_short_name_tail(name);  // after the shape, whose data offset it uses
    // str's own hash of the text, never a subclass's __hash__.
    name.hash = static_cast<int64_t>(PyUnicode_Type.tp_hash(key));
    return name;
}

// The fields of a field map read so far, by the str hash of their names, so
// that telling whether a name repeats one of them costs the same at the last
// field of a large map as at the first. Keys of exact str type in one dict
// are distinct texts, so only a dict that has shown a key of a str subclass
// (with an equality of its own) needs it; from that key on it serves every
// name, exact strs' too.
class FieldsByHash {
public:
    // Whether `name` repeats the text of one of `entries`, which are recorded
    // first, as far as not yet done.
    QUILLANE_NOINLINE bool repeats_a_name(const std::vector<FieldEntry>& entries, const FieldName& name) {
        for (; recorded_ < entries.size(); ++recorded_) {
            positions_.emplace(entries[recorded_].name.hash, recorded_);
        }
        // Distinct texts may share a hash: each field of that hash is compared.
        auto [first, last] = positions_.equal_range(name.hash);
        return std::any_of(first, last,
                           [&](const auto& field) { return entries[field.second].name.utf8 == name.utf8; });
    }

private:
    std::unordered_multimap<int64_t, size_t> positions_;
    size_t recorded_ = 0;  // how many of the entries are in positions_
};

// A child's failure, passing up through its parent, learns the parent's
// step: ".name" for a field, "[]" for a list item, "{}" for a dict value.
QUILLANE_NOINLINE QUILLANE_COLD void learn_step(CompileOutcome& child, std::string_view step,
                                                std::string_view name = {}) {
    if (auto* failure = std::get_if<CompileFailure>(&child)) {
        std::string& text = failure->steps.emplace_back(step);
        text += name;
    }
}

QUILLANE_NOINLINE CompileOutcome fields_node(std::vector<FieldEntry> entries) {
    ValidatorNode node = ValidatorNode::of_kind(NodeKind::Fields);
    for (const FieldEntry& entry : entries) {
        node.height = std::max(node.height, entry.validator.height + 1);
    }
    node.fields = std::move(entries);
    build_field_index(node);
    return node;
}

QUILLANE_NOINLINE void append_field(std::vector<FieldEntry>& entries, FieldName& name, CompileOutcome& field) {
    FieldEntry& entry = entries.emplace_back();
    entry.name = std::move(name);
    entry.validator = std::move(std::get<ValidatorNode>(field));
}

QUILLANE_NOINLINE CompileOutcome dict_node(CompileOutcome& value) {
    ValidatorNode node = ValidatorNode::of_kind(NodeKind::Dict);
    adopt_element(node, value);
    return node;
}

// What a validator object's class makes of it, once its gates passed.
enum class SchemaClass : uint8_t { NotCompilable, Any, Bool, Number, String, List, Dict };

Result<SchemaClass> classify(PyObject* schema);
Result<bool> passes_common_gates(PyObject* schema);
CompileOutcome compile_number(PyObject* schema);
CompileOutcome compile_string(PyObject* schema);
Result<LengthBounds> read_length_bounds(PyObject* schema);
CompileOutcome compile_list(PyObject* schema);
CompileOutcome finish_list(PyObject* schema, CompileOutcome& item);
CompileOutcome compile_dict(PyObject* schema);
Result<Ref> dict_value_schema(PyObject* schema);

QUILLANE_NOINLINE CompileOutcome compile_field_map(PyObject* dict) {
    std::vector<FieldEntry> entries;
    entries.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
    DictIteration items(dict);
    Ref key;
    Ref value;
    // Made at the first key of a str subclass; held by pointer, since every
    // level of a deep schema pays for this frame.
    std::unique_ptr<FieldsByHash> names_seen;
    while (items.next(key, value)) {
        std::optional<FieldName> name = field_name(key.get());
        if (!name) {
            return NotCompilable{};
        }
        // Two keys of one text would make two fields of one name, and a
        // present field could then be reported missing: such a field map is
        // left to the caller's own validation.
        if (!names_seen && !PyUnicode_CheckExact(key.get())) {
            names_seen = std::make_unique<FieldsByHash>();
        }
        if (names_seen && names_seen->repeats_a_name(entries, *name)) {
            return NotCompilable{};
        }
        CompileOutcome field = compile_node(value.get());
        if (!is_compiled(field)) {
            learn_step(field, ".", name->utf8);
            return field;
        }
        append_field(entries, *name, field);
    }
    return fields_node(std::move(entries));
}

QUILLANE_NOINLINE CompileOutcome compile_validator_object(PyObject* schema) {
    QUILLANE_TRY_ASSIGN(SchemaClass schema_class, classify(schema));
    switch (schema_class) {
        case SchemaClass::NotCompilable:
            return NotCompilable{};
        case SchemaClass::Any:
            return ValidatorNode::of_kind(NodeKind::Any);
        case SchemaClass::Bool:
            return ValidatorNode::of_kind(NodeKind::Bool);
        case SchemaClass::Number:
            return compile_number(schema);
        case SchemaClass::String:
            return compile_string(schema);
        case SchemaClass::List:
            return compile_list(schema);
        case SchemaClass::Dict:
            return compile_dict(schema);
    }
    // Not reached by any class: the switch has a case for each and no default
    // (a class added later fails the lint until it has its own). A value out
    // of the enum's range leaves the schema to the caller's own validation;
    // building a fault's text here would grow this frame, which every level
    // of a deep schema pays for.
    return NotCompilable{};
}

QUILLANE_NOINLINE Result<SchemaClass> classify(PyObject* schema) {
    QUILLANE_TRY_ASSIGN(bool compilable, passes_common_gates(schema));
    if (!compilable) {
        return SchemaClass::NotCompilable;
    }
    // The class's own name, without its module: subclasses under another
    // name are not recognised.
    QUILLANE_TRY_ASSIGN(Ref name, steal_or_error(PyType_GetName(Py_TYPE(schema))));
    QUILLANE_TRY_ASSIGN(Ref text, steal_or_error(PyObject_Str(name.get())));
    QUILLANE_TRY_ASSIGN(std::string_view class_name, read_text_view(text.get()));
    static constexpr std::pair<std::string_view, SchemaClass> kClasses[] = {
        {"Validator", SchemaClass::Any},          {"BoolValidator", SchemaClass::Bool},
        {"NumberValidator", SchemaClass::Number}, {"StringValidator", SchemaClass::String},
        {"ListValidator", SchemaClass::List},     {"DictValidator", SchemaClass::Dict},
    };
    for (const auto& [known, schema_class] : kClasses) {
        if (class_name == known) {
            return schema_class;
        }
    }
    return SchemaClass::NotCompilable;
}

// The settings every validator object has, read before its class is looked
// at: compilable (true), not compilable (false), or the reading's error.
QUILLANE_NOINLINE Result<bool> passes_common_gates(PyObject* schema) {
    QUILLANE_TRY_ASSIGN(bool coerce, read_bool_attribute(schema, Attribute::Coerce));
    if (coerce) {
        return false;
    }
    QUILLANE_TRY_ASSIGN(Ref custom_checks, get_attribute(schema, Attribute::CustomChecks));
    QUILLANE_TRY_ASSIGN(Py_ssize_t check_count, read_size(custom_checks.get()));
    if (check_count != 0) {
        return false;
    }
    for (Attribute must_be_none : {Attribute::WhenCondition, Attribute::EnvKey}) {
        QUILLANE_TRY_ASSIGN(Ref setting, get_attribute(schema, must_be_none));
        if (setting.get() != Py_None) {
            return false;
        }
    }
    return true;
}

QUILLANE_NOINLINE CompileOutcome compile_number(PyObject* schema) {
    QUILLANE_TRY_ASSIGN(size_t family, match_type_name(schema, Attribute::TypeCls, {"int", "float"}));
    if (family > 1) {
        return NotCompilable{};  // bounds are not read
    }
    const bool is_float_family = family == 1;
    QUILLANE_TRY_ASSIGN(std::optional<double> min, read_double_attribute(schema, Attribute::Min));
    QUILLANE_TRY_ASSIGN(std::optional<double> max, read_double_attribute(schema, Attribute::Max));
    QUILLANE_TRY_ASSIGN(bool exclusive_min, read_bool_attribute(schema, Attribute::ExclusiveMin));
    QUILLANE_TRY_ASSIGN(bool exclusive_max, read_bool_attribute(schema, Attribute::ExclusiveMax));
    NumberBounds bounds;
    bounds.min = min.value_or(bounds.min);
    bounds.max = max.value_or(bounds.max);
    NodeKind kind = NodeKind::Any;
    if (exclusive_min || exclusive_max) {
        // A flag without its bound has no effect.
        bounds.exclusive_min = exclusive_min && min.has_value();
        bounds.exclusive_max = exclusive_max && max.has_value();
        kind = is_float_family ? NodeKind::FloatRangeExclusive : NodeKind::IntRangeExclusive;
    } else if (min || max) {
        kind = is_float_family ? NodeKind::FloatRange : NodeKind::IntRange;
    } else {
        kind = is_float_family ? NodeKind::Float : NodeKind::Int;
    }
    ValidatorNode node = ValidatorNode::of_kind(kind);
    node.bounds = bounds;
    return node;
}

QUILLANE_NOINLINE Result<LengthBounds> read_length_bounds(PyObject* schema) {
    QUILLANE_TRY_ASSIGN(std::optional<uint64_t> min_len, read_count_attribute(schema, Attribute::MinLen));
    QUILLANE_TRY_ASSIGN(std::optional<uint64_t> max_len, read_count_attribute(schema, Attribute::MaxLen));
    return LengthBounds{.min_len = min_len.value_or(0), .max_len = max_len.value_or(UINT64_MAX)};
}

QUILLANE_NOINLINE CompileOutcome compile_string(PyObject* schema) {
    QUILLANE_TRY_ASSIGN(Ref regex, get_attribute(schema, Attribute::Regex));
    if (regex.get() != Py_None) {
        return NotCompilable{};
    }
    QUILLANE_TRY_ASSIGN(LengthBounds lengths, read_length_bounds(schema));
    ValidatorNode node = ValidatorNode::of_kind(NodeKind::Str);
    node.lengths = lengths;
    return node;
}

QUILLANE_NOINLINE CompileOutcome compile_list(PyObject* schema) {
    // The read's result is scoped, so that its slot in this frame, which every
    // level of a deep schema pays for, serves the recursion below as well.
    Ref item_schema;
    {
        QUILLANE_TRY_ASSIGN(item_schema, get_attribute(schema, Attribute::ItemValidator));
    }
    // The item decides first: a non-compilable item wins over a bad length.
    CompileOutcome item = compile_node(item_schema.get());
    if (!is_compiled(item)) {
        learn_step(item, "[]");
        return item;
    }
    return finish_list(schema, item);
}

// A list node around a compiled item, once its length bounds are read.
QUILLANE_NOINLINE CompileOutcome finish_list(PyObject* schema, CompileOutcome& item) {
    // On an error the item built so far goes with `item`.
    QUILLANE_TRY_ASSIGN(LengthBounds lengths, read_length_bounds(schema));
    ValidatorNode node = ValidatorNode::of_kind(lengths.any() ? NodeKind::ListSized : NodeKind::List);
    node.lengths = lengths;
    adopt_element(node, item);
    return node;
}

QUILLANE_NOINLINE CompileOutcome compile_dict(PyObject* schema) {
    // Scoped as in compile_list.
    Ref value_schema;
    {
        QUILLANE_TRY_ASSIGN(value_schema, dict_value_schema(schema));
    }
    if (!value_schema) {
        return NotCompilable{};
    }
    CompileOutcome value = compile_node(value_schema.get());
    if (!is_compiled(value)) {
        learn_step(value, "{}");
        return value;
    }
    return dict_node(value);
}

// The value schema of a DictValidator whose keys are str; an empty Ref when
// the key type rules the node out (the value schema is then not read).
QUILLANE_NOINLINE Result<Ref> dict_value_schema(PyObject* schema) {
    QUILLANE_TRY_ASSIGN(size_t key_type, match_type_name(schema, Attribute::KeyType, {"str"}));
    if (key_type != 0) {
        return Ref();
    }
    return get_attribute(schema, Attribute::ValueValidator);
}

}  // namespace

CompileOutcome compile_node(PyObject* schema) {
    // A schema that contains itself, or nests deeper than the interpreter
    // allows, ends in RecursionError instead of exhausting the C stack.
    RecursionGuard depth(kRecursionWhere, true, stack_floor());
    if (!depth.entered()) {
        return fail(error_of_failed_call());
    }
    if (PyDict_Check(schema)) {
        return compile_field_map(schema);
    }
    return compile_validator_object(schema);
}

}  // namespace quillane
