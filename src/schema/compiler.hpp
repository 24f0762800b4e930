// The schema compiler: a Python schema (validator objects and field-map
// dicts) into a native validator tree.
#pragma once

#include "binding/failure.hpp"
#include "schema/validator_node.hpp"

#include <variant>

namespace quillane {

// The schema uses something the native tree cannot express; the caller falls
// back to its own validation.
struct NotCompilable {};

// Compiled (a node), NotCompilable, or Failed (the exception that reading the
// schema raised).
using CompileOutcome = std::variant<ValidatorNode, NotCompilable, PendingError>;

// Compiles one schema node and everything below it. Nothing partial
// survives an outcome other than a compiled node.
CompileOutcome compile_node(PyObject* schema);

}  // namespace quillane
