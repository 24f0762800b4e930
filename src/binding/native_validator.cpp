// NativeValidator's type object and its construction and deallocation slots.
#include "binding/native_validator.hpp"

#include "binding/entry_guard.hpp"
#include "binding/method_calls.hpp"

#include <new>

namespace quillane {
namespace {

constexpr const char* kClassName = "NativeValidator";

// Written once under the interpreter lock and never released.
PyTypeObject* g_type = nullptr;

PyObject* no_constructor_new(PyTypeObject* subtype, PyObject* /*args*/, PyObject* /*kwargs*/) {
    return guard_entry([&]() -> Result<Ref> {
        std::string name = "<unknown>";
        if (Ref type_name = Ref::steal(PyType_GetName(subtype))) {
            Py_ssize_t size = 0;
            if (const char* bytes = PyUnicode_AsUTF8AndSize(type_name.get(), &size)) {
                name.assign(bytes, static_cast<size_t>(size));
            } else {
                PyErr_Clear();
            }
        } else {
            PyErr_Clear();
        }
        return fail(PendingError::lazy(PyExc_TypeError, "No constructor defined for " + name));
    });
}

void native_validator_dealloc(PyObject* self) {
    guard_dealloc([&] {
        auto* validator = reinterpret_cast<NativeValidatorObject*>(self);
        if (has_tree(validator)) {
            validator->tree.~ValidatorNode();
        }
        PyTypeObject* type = Py_TYPE(self);
        auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_slot(self);
        // Instances of a heap type own a reference to it, taken by tp_alloc.
        Ref::steal(reinterpret_cast<PyObject*>(type)).reset();
    });
}

PyType_Slot kTypeSlots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_methods, kNativeValidatorMethods},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_validator_dealloc)},
    {0, nullptr},
};

PyType_Spec kTypeSpec = {
    "builtins.NativeValidator", static_cast<int>(sizeof(NativeValidatorObject)), 0, Py_TPFLAGS_DEFAULT, kTypeSlots,
};

}  // namespace

PendingError no_tree_error() {
    return PendingError::lazy(PyExc_TypeError, std::string(kClassName) +
                                                   " object holds no compiled schema (only compile_schema() makes "
                                                   "usable instances)");
}

Result<PyTypeObject*> native_validator_type() {
    if (g_type != nullptr) {
        return g_type;
    }
    PyObject* created = PyType_FromSpec(&kTypeSpec);
    if (created == nullptr) {
        return fail(fetch_pending());
    }
    if (g_type == nullptr) {
        g_type = reinterpret_cast<PyTypeObject*>(created);  // kept for the life of the process
    } else {
        Ref::steal(created).reset();
    }
    return g_type;
}

PyTypeObject* native_validator_type_or_fault() {
    Result<PyTypeObject*> type = native_validator_type();
    if (!type) [[unlikely]] {
        display_error(std::move(type.error()));
        raise_internal_fault(std::string("failed to create type object for ") + kClassName);
    }
    return *type;
}

Result<Ref> new_native_validator(ValidatorNode tree) {
    Result<PyTypeObject*> type = native_validator_type();
    if (!type) {
        return fail(std::move(type.error()));
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(*type, Py_tp_alloc));
    if (alloc == nullptr) {
        alloc = PyType_GenericAlloc;
    }
    Ref instance = Ref::steal(alloc(*type, 0));
    if (!instance) {
        return fail(fetch_pending());
    }
    auto* validator = reinterpret_cast<NativeValidatorObject*>(instance.get());
    new (&validator->tree) ValidatorNode(std::move(tree));
    validator->borrow_flag = 0;
    return instance;
}

}  // namespace quillane
