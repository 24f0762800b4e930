// The schema compiler: a Python schema (validator objects and field-map
// dicts) into a native validator tree.
#pragma once

#include "schema/compile_failure.hpp"
#include "schema/validator_node.hpp"

#include <variant>

namespace quillane {

// The schema uses something the native tree cannot express; the caller falls
// back to its own validation.
struct NotCompilable {};

// Compiled (a node), NotCompilable, or the exception that reading the schema
// raised, with where it arose.
using CompileOutcome = std::variant<ValidatorNode, NotCompilable, CompileFailure>;

// Compiles one schema node and everything below it. Nothing partial
// survives an outcome other than a compiled node.
CompileOutcome compile_node(PyObject* schema);

}  // namespace quillane
