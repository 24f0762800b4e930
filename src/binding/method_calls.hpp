// NativeValidator.validate and NativeValidator.collect.
#pragma once

#include "binding/py_ref.hpp"

namespace quillane {

// The class's method table: validate, collect, terminator.
extern PyMethodDef kNativeValidatorMethods[];

}  // namespace quillane
