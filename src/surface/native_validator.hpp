// The NativeValidator class: the heap type of the interpreter that imported
// the module, and the only way instances come to exist.
#pragma once

#include "runtime/failure.hpp"
#include "schema/validator_node.hpp"

namespace quillane {

// The type object, created on first use and kept for the life of the
// interpreter.
Result<PyTypeObject*> native_validator_type();

// Forgets the type and the walks under way once their interpreter is gone, so
// that a later one makes a type of its own and starts from no walk. Calls no
// C API.
void forget_native_validator_type() noexcept;

// A new instance owning `tree`.
Result<Ref> new_native_validator(ValidatorNode tree);

}  // namespace quillane
