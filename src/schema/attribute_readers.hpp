// Reading a schema object's settings: attribute lookup and the readers that
// turn attribute values into native bounds, flags and names.
#pragma once

#include "runtime/conversions.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quillane {

// The attributes the compiler reads.
enum class Attribute : uint8_t {
    Coerce,
    CustomChecks,
    WhenCondition,
    EnvKey,
    TypeCls,
    Name,
    Min,
    Max,
    ExclusiveMin,
    ExclusiveMax,
    Regex,
    MinLen,
    MaxLen,
    ItemValidator,
    KeyType,
    ValueValidator,
    Count,
};

// The attribute name as an interned str, borrowed: created on first use and
// kept for the life of the interpreter, like the class object, so that
// lookups hit the interpreter's attribute caches instead of hashing a new str
// each time.
Result<PyObject*> attribute_name(Attribute attribute);

// Forgets the names once their interpreter is gone, so that a later one
// interns its own. Calls no C API.
void forget_attribute_names() noexcept;

// getattr(object, name); a missing attribute is the lookup's AttributeError.
Result<Ref> get_attribute(PyObject* object, Attribute attribute);

// getattr then one reader.
Result<bool> read_bool_attribute(PyObject* object, Attribute attribute);
// None: absent; anything else converted to a double.
Result<std::optional<double>> read_double_attribute(PyObject* object, Attribute attribute);
// None: absent; anything else a non-negative integer that fits 64 bits.
Result<std::optional<uint64_t>> read_count_attribute(PyObject* object, Attribute attribute);

// Whether getattr(object, name).__name__, read as text, equals one of
// `names`: its index, or `names.size()` for none of them.
Result<size_t> match_type_name(PyObject* object, Attribute attribute, std::initializer_list<std::string_view> names);

}  // namespace quillane
