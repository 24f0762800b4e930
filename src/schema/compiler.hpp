// The schema compiler: a Python schema (validator objects and field-map
// dicts) into a native validator tree.
#pragma once

#include "binding/failure.hpp"
#include "schema/attribute_readers.hpp"
#include "schema/validator_node.hpp"

#include <variant>

namespace quillane {

// The schema uses something the native tree cannot express; the caller falls
// back to its own validation.
struct NotCompilable {};

// Compiled (a node), NotCompilable, or Failed (the exception that reading the
// schema raised).
using CompileOutcome = std::variant<ValidatorNode, NotCompilable, PendingError>;

// One compile_schema call. Keeps nothing but the attribute names it looked
// up, for the length of the call.
class SchemaCompiler {
public:
    // Compiles one schema node and everything below it. Nothing partial
    // survives an outcome other than a compiled node.
    CompileOutcome compile_node(PyObject* schema);

private:
    // What a validator object's class makes of it, once its gates passed.
    enum class SchemaClass : uint8_t { NotCompilable, Any, Bool, Number, String, List, Dict };

    CompileOutcome compile_field_map(PyObject* dict);
    CompileOutcome compile_validator_object(PyObject* schema);
    Result<SchemaClass> classify(PyObject* schema);
    Result<bool> passes_common_gates(PyObject* schema);
    CompileOutcome compile_number(PyObject* schema);
    CompileOutcome compile_string(PyObject* schema);
    Result<LengthBounds> read_length_bounds(PyObject* schema);
    CompileOutcome compile_list(PyObject* schema);
    CompileOutcome finish_list(PyObject* schema, CompileOutcome& item);
    CompileOutcome compile_dict(PyObject* schema);
    Result<Ref> dict_value_schema(PyObject* schema);

    SchemaReader reader_;
};

}  // namespace quillane
