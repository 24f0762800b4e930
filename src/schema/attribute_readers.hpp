// Reading a schema object's settings: attribute lookup and the readers that
// turn attribute values into native bounds, flags and names.
#pragma once

#include "binding/conversions.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace quillane {

// getattr(object, name); a missing attribute is the lookup's AttributeError.
Result<Ref> get_attribute(PyObject* object, const char* name);

// None: absent; anything else converted to a double.
Result<std::optional<double>> read_optional_double(PyObject* value);

// None: absent; anything else a non-negative integer that fits 64 bits.
Result<std::optional<uint64_t>> read_optional_count(PyObject* value);

// getattr then the reader, for the common case of one attribute, one value.
Result<bool> read_bool_attribute(PyObject* object, const char* name);
Result<std::optional<double>> read_double_attribute(PyObject* object, const char* name);
Result<std::optional<uint64_t>> read_count_attribute(PyObject* object, const char* name);

// getattr(object, name).__name__ read as text (for _type_cls and _key_type).
Result<std::string> read_type_name_attribute(PyObject* object, const char* name);

}  // namespace quillane
