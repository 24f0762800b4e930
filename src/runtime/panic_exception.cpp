// The PanicException class.
#include "runtime/panic_exception.hpp"

#include "runtime/published.hpp"

namespace quillane {
namespace {

// "pyo3_runtime", not this module's name: callers of the package that calls
// this module catch a fault by testing (type(exc).__module__,
// type(exc).__name__) == ("pyo3_runtime", "PanicException"), since the class
// cannot be imported. The name is part of the module's fixed interface, kept
// so that the handlers written for it keep working.
constexpr const char* kPanicName = "pyo3_runtime.PanicException";
constexpr const char* kPanicDoc =
    "Raised when native code called from Python hits an internal fault.\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException, not from\n"
    "Exception, so that ordinary 'except Exception' handlers do not swallow it\n"
    "and it typically propagates all the way up the stack and ends the\n"
    "interpreter.";

// Filled once and never released; forgotten, not released, when its
// interpreter is gone.
Published<PyObject> g_panic_type;

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (PyObject* type = g_panic_type.get()) {
        return type;
    }
    Ref created = Ref::steal(PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr));
    // Kept for the life of the interpreter.
    return created ? g_panic_type.fill(std::move(created)) : g_panic_type.get();
}

void forget_panic_exception_type() noexcept { g_panic_type.forget(); }

}  // namespace quillane
