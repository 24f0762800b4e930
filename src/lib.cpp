// The module root: PyInit_quillane_core, the module definition, the gate
// that keeps the module to the first interpreter that imports it, and the
// reset that lets an interpreter initialised later in the process import it
// afresh.
#include "runtime/dict_watch.hpp"
#include "runtime/panic_exception.hpp"
#include "schema/attribute_readers.hpp"
#include "surface/entry_guard.hpp"
#include "surface/module_contents.hpp"
#include "surface/native_validator.hpp"

#include <atomic>
#include <cstdint>

namespace quillane {
namespace {

// One record for the whole process.
struct ModuleDefinition {
    PyModuleDef def;
    Status (*initializer)(PyObject* module);
    // Id of the interpreter that first imported the module; -1 before that,
    // and again once that interpreter is gone.
    std::atomic<int64_t> interpreter;
    // The module once created; kept (never released) for the life of its
    // interpreter, so that a second initialisation in it returns the same
    // object.
    PyObject* module;
    // Whether forget_interpreter is to run when the interpreter is gone.
    bool forgetting;
};

ModuleDefinition g_definition = {
    .def =
        {
            .m_base = PyModuleDef_HEAD_INIT,
            .m_name = "quillane_core",
            .m_doc = "",  // an empty __doc__, not None
            .m_size = 0,
            .m_methods = nullptr,
            .m_slots = nullptr,
            .m_traverse = nullptr,
            .m_clear = nullptr,
            .m_free = nullptr,
        },
    .initializer = add_module_contents,
    .interpreter = -1,
    .module = nullptr,
    .forgetting = false,
};

// An application that embeds Python may finalise the interpreter and
// initialise a new one, which imports the module again: what the module
// kept of the old interpreter (this module, the class, the PanicException
// class, the attribute names, the dict watcher) then belongs to no
// interpreter, and the new one must get its own. Run by Py_FinalizeEx after
// it has finished the interpreter and all Python code; any earlier, a
// finaliser could still call the module and fill again what was reset. The
// interpreter is gone, so nothing is released (whatever the module held has
// died with it or stays allocated) and no C API is called.
void forget_interpreter() noexcept {
    g_definition.module = nullptr;
    forget_native_validator_type();
    forget_panic_exception_type();
    forget_attribute_names();
    forget_dict_watcher();
    g_definition.interpreter.store(-1);
    g_definition.forgetting = false;
}

// Once per interpreter, before anything of it is kept. Py_AtExit takes 32
// functions for the process; with none left the import fails rather than
// leave a later interpreter a module that no longer works.
Status forget_interpreter_at_its_end() {
    if (!g_definition.forgetting) {
        if (Py_AtExit(forget_interpreter) != 0) {
            return fail(PendingError::lazy(
                PyExc_ImportError,
                "quillane_core cannot be imported: Py_AtExit has no room left for the function that clears the "
                "module's state when the interpreter ends (see 'Subinterpreters' in the project's README)"));
        }
        g_definition.forgetting = true;
    }
    return {};
}

Result<Ref> initialize_module() {
    QUILLANE_TRY(forget_interpreter_at_its_end());
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
    QUILLANE_TRY_ASSIGN(Ref module, steal_or_error(PyModule_Create2(&g_definition.def, PYTHON_API_VERSION)));
    QUILLANE_TRY(g_definition.initializer(module.get()));
#ifdef Py_GIL_DISABLED
    // The module runs without the GIL (its walks hold what they read, see
    // runtime/list_iteration.hpp and dict_iteration.hpp): importing it leaves
    // the GIL off.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) != 0) {
        return fail(error_of_failed_call());
    }
#endif
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
