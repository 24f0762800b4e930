// The module root: PyInit_quillane_core, the module definition, and the
// gate that keeps the module to the first interpreter that imports it.
#include "runtime/dict_watch.hpp"
#include "surface/entry_guard.hpp"
#include "surface/module_contents.hpp"

#include <atomic>
#include <cstdint>

namespace quillane {
namespace {

// The C API version handed to the module creation (Python 3.13's).
constexpr int kApiVersion = 1013;

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
    add_module_contents,
    -1,
    nullptr,
};

Result<Ref> initialize_module() {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return fail(error_of_failed_call());
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
    QUILLANE_TRY_ASSIGN(Ref module, steal_or_error(PyModule_Create2(&g_definition.def, kApiVersion)));
    QUILLANE_TRY(g_definition.initializer(module.get()));
    take_dict_watcher();
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
