// compile_schema (bind, compile, wrap the tree or answer None) and the
// filling of the module with it and the NativeValidator class.
#include "surface/module_contents.hpp"

#include "runtime/panic_exception.hpp"
#include "schema/compiler.hpp"
#include "surface/argument_binding.hpp"
#include "surface/entry_guard.hpp"
#include "surface/native_validator.hpp"

namespace quillane {
namespace {

constexpr const char* kSchemaParameter[] = {"schema"};
constexpr ArgumentSpec kCompileArguments{nullptr, "compile_schema", kSchemaParameter, 0, 1};

Result<Ref> compile_schema_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QUILLANE_TRY_ASSIGN(PyObject* schema, bind_single_argument(kCompileArguments, args, nargs, kwnames));
    Ref held_schema = Ref::borrow(schema);
    CompileOutcome outcome = compile_node(held_schema.get());
    held_schema.reset();
    if (auto* failure = std::get_if<CompileFailure>(&outcome)) {
        return fail(noted_compile_error(std::move(*failure)));
    }
    if (std::holds_alternative<NotCompilable>(outcome)) {
        return none_ref();
    }
    Result<Ref> validator = new_native_validator(std::move(std::get<ValidatorNode>(outcome)));
    if (!validator) [[unlikely]] {
        throw_fault("expected a NativeValidator for the compiled schema, but creating it failed: " +
                    validator.error().describe());
    }
    return std::move(*validator);
}

PyObject* compile_schema_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_entry([&] { return compile_schema_body(args, nargs, kwnames); });
}

// Lives for the rest of the process: the function object points at it.
PyMethodDef kCompileSchemaDefinition = {
    "compile_schema",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compile_schema_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "compile_schema(schema)\n--\n\n",
};

// Appends `name` to the module's __all__ (creating the list if needed), then
// sets the attribute.
Status module_add(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return fail(error_of_failed_call());
        }
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) {
            return fail(error_of_failed_call());
        }
    } else if (!PyList_Check(all.get())) {
        return fail(conversion_error(all.get(), "PyList"));
    }
    if (PyList_Append(all.get(), name) != 0) {
        PyErr_Clear();
        throw_fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name, value) != 0) {
        return fail(error_of_failed_call());
    }
    return {};
}

}  // namespace

Status add_module_contents(PyObject* module) {
    QUILLANE_TRY_ASSIGN(Ref module_name, steal_or_error(PyModule_GetNameObject(module)));
    QUILLANE_TRY_ASSIGN(Ref function,
                        steal_or_error(PyCMethod_New(&kCompileSchemaDefinition, module, module_name.get(), nullptr)));
    module_name.reset();
    QUILLANE_TRY_ASSIGN(Ref function_name, steal_or_error(PyObject_GetAttrString(function.get(), "__name__")));
    if (!PyUnicode_Check(function_name.get())) {
        return fail(conversion_error(function_name.get(), "PyString"));
    }
    QUILLANE_TRY(module_add(module, function_name.get(), function.get()));
    QUILLANE_TRY_ASSIGN(PyTypeObject* type, native_validator_type());
    QUILLANE_TRY_ASSIGN(Ref class_name, steal_or_error(PyUnicode_FromString("NativeValidator")));
    QUILLANE_TRY(module_add(module, class_name.get(), reinterpret_cast<PyObject*>(type)));
    // The fault class is made now, so that reporting a later fault never
    // depends on an allocation that might fail just then.
    if (panic_exception_type() == nullptr) {
        return fail(error_of_failed_call());
    }
    return {};
}

}  // namespace quillane
