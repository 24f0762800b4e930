// Binding of the arguments the interpreter passes by the fast-call
// convention, with the TypeError texts of every wrong call shape.
#pragma once

#include "runtime/failure.hpp"

#include <span>

namespace quillane {

// What one Python-callable function accepts. Every parameter may be given by
// position; the first `positional_only` only by position; the first
// `required` must be given.
struct ArgumentSpec {
    const char* class_name;  // null for a module function
    const char* function_name;
    std::span<const char* const> parameters;
    size_t positional_only;
    size_t required;
};

// Fills `slots` (one per parameter, borrowed references, null when not given)
// from the positional arguments and the keyword names and values.
Status bind_arguments(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      std::span<PyObject*> slots);

// The one argument of a single-parameter function.
inline Result<PyObject*> bind_single_argument(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    if (nargs == 1 && kwnames == nullptr) [[likely]] {
        return args[0];
    }
    PyObject* slot = nullptr;
    QUILLANE_TRY(bind_arguments(spec, args, nargs, kwnames, std::span<PyObject*>(&slot, 1)));
    return slot;
}

}  // namespace quillane
