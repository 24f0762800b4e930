// The module's entry: PyInit_quillane_core, the module definition, and the
// registration of compile_schema and NativeValidator.
#include "binding/compile_call.hpp"
#include "binding/conversions.hpp"
#include "binding/entry_guard.hpp"
#include "binding/native_validator.hpp"

#include <atomic>
#include <cstdint>

namespace quillane {
namespace {

// The C API version handed to the module creation (Python 3.13's).
constexpr int kApiVersion = 1013;

Status init_module_contents(PyObject* module);

// One record for the whole process.
struct ModuleDefinition {
    PyModuleDef def;
    Status (*initializer)(PyObject* module);
    // Id of the interpreter that first imported the module; -1 before that.
    std::atomic<int64_t> interpreter;
    // The module once created; kept (never released) for the life of the
    // process, so that a second initialisation returns the same object.
    PyObject* module;
};

ModuleDefinition g_definition = {
    {
        PyModuleDef_HEAD_INIT,
        "quillane_core",
        "",  // an empty __doc__, not None
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    },
    init_module_contents,
    -1,
    nullptr,
};

// Appends `name` to the module's __all__ (creating the list if needed), then
// sets the attribute.
Status module_add(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return fail(fetch_pending());
        }
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) {
            return fail(fetch_pending());
        }
    } else if (!PyList_Check(all.get())) {
        return fail(conversion_error(all.get(), "PyList"));
    }
    if (PyList_Append(all.get(), name) != 0) {
        PyErr_Clear();
        raise_internal_fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name, value) != 0) {
        return fail(fetch_pending());
    }
    return {};
}

Status init_module_contents(PyObject* module) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        return fail(fetch_pending());
    }
    Ref function = Ref::steal(PyCMethod_New(&kCompileSchemaDefinition, module, module_name.get(), nullptr));
    module_name.reset();
    if (!function) {
        return fail(fetch_pending());
    }
    Ref function_name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!function_name) {
        return fail(fetch_pending());
    }
    if (!PyUnicode_Check(function_name.get())) {
        return fail(conversion_error(function_name.get(), "PyString"));
    }
    if (Status added = module_add(module, function_name.get(), function.get()); !added) {
        return added;
    }
    Result<PyTypeObject*> type = native_validator_type();
    if (!type) {
        return fail(std::move(type.error()));
    }
    Ref class_name = Ref::steal(PyUnicode_FromString("NativeValidator"));
    if (!class_name) {
        return fail(fetch_pending());
    }
    if (Status added = module_add(module, class_name.get(), reinterpret_cast<PyObject*>(*type)); !added) {
        return added;
    }
    // The fault class is made now, so that reporting a later fault never
    // depends on an allocation that might fail just then.
    if (panic_exception_type() == nullptr) {
        return fail(fetch_pending());
    }
    return {};
}

Result<Ref> initialize_module() {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return fail(fetch_pending());
    }
    int64_t recorded = -1;
    if (!g_definition.interpreter.compare_exchange_strong(recorded, id) && recorded != id) {
        return fail(PendingError::lazy(
            PyExc_ImportError,
            "quillane_core and its NativeValidator class do not yet support subinterpreters: the module can "
            "be imported only in the interpreter that imported it first (see 'Subinterpreters' in the "
            "project's README)"));
    }
    if (g_definition.module != nullptr) {
        return Ref::borrow(g_definition.module);
    }
    Ref module = Ref::steal(PyModule_Create2(&g_definition.def, kApiVersion));
    if (!module) {
        return fail(fetch_pending());
    }
    if (Status filled = g_definition.initializer(module.get()); !filled) {
        return fail(std::move(filled.error()));
    }
    if (g_definition.module == nullptr) {
        g_definition.module = module.release();
    }
    return Ref::borrow(g_definition.module);
}

}  // namespace
}  // namespace quillane

PyMODINIT_FUNC PyInit_quillane_core(void) {
    return quillane::guard_entry([] { return quillane::initialize_module(); });
}
