// The module function compile_schema.
#pragma once

#include "binding/py_ref.hpp"

namespace quillane {

// Its method definition; it lives for the rest of the process.
extern PyMethodDef kCompileSchemaDefinition;

}  // namespace quillane
