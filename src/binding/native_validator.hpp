// The NativeValidator class: instance layout, the process-wide heap type,
// and the only way instances come to exist.
#pragma once

#include "binding/failure.hpp"
#include "schema/validator_node.hpp"

namespace quillane {

struct NativeValidatorObject {
    PyObject ob_base;
    ValidatorNode tree;       // owned; never changed after construction
    Py_ssize_t borrow_flag;   // method calls currently using the tree
};

// The type object, created on first use and kept for the life of the process.
Result<PyTypeObject*> native_validator_type();

// For callers that cannot return an error: a failure to create the type is
// an internal fault (after the Python error is printed).
PyTypeObject* native_validator_type_or_fault();

// A new instance owning `tree`.
Result<Ref> new_native_validator(ValidatorNode tree);

// Whether an instance holds a compiled tree. Only compile_schema makes one
// that does; an instance made around the refusing constructor (a __new__
// replaced from Python) is zero-filled memory, and every compiled tree is at
// least one level high.
inline bool has_tree(const NativeValidatorObject* validator) noexcept { return validator->tree.height != 0; }

// The TypeError of a method called on an instance without a tree.
PendingError no_tree_error();

}  // namespace quillane
