// What the module holds: the function compile_schema and the class
// NativeValidator, each set as an attribute and listed in __all__.
#pragma once

#include "runtime/failure.hpp"

namespace quillane {

// Fills a newly created module.
Status add_module_contents(PyObject* module);

}  // namespace quillane
