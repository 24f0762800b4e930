// The NativeValidator class: the process-wide heap type and the only way
// instances come to exist.
#pragma once

#include "runtime/failure.hpp"
#include "schema/validator_node.hpp"

namespace quillane {

// The type object, created on first use and kept for the life of the process.
Result<PyTypeObject*> native_validator_type();

// A new instance owning `tree`.
Result<Ref> new_native_validator(ValidatorNode tree);

}  // namespace quillane
