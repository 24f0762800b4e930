// Conversion of an entry's outcome into the interpreter's calling convention.
#include "surface/entry_guard.hpp"
#include "runtime/panic_exception.hpp"

#include <cstdio>
#include <cstdlib>

namespace quillane::detail {
namespace {

constexpr const char* kGenericFaultText = "internal fault in native code";

// No C++ exception may leave an entry into the interpreter: when reporting a
// fault as PanicException fails, or throws in turn, the process ends here.
[[noreturn]] void abort_unreported() noexcept {
    std::fputs("quillane_core: an internal fault could not be raised as PanicException; aborting\n", stderr);
    std::fflush(stderr);
    std::abort();
}

// Makes a PanicException carrying the fault's text the current exception.
void raise_panic(const Unwound& unwound) {
    PyObject* panic_type = panic_exception_type();
    if (panic_type == nullptr) {
        abort_unreported();
    }
    const char* text = unwound.fault_text ? unwound.fault_text->c_str() : kGenericFaultText;
    raise_pending(PendingError::lazy(panic_type, text));
    if (!PyErr_Occurred()) {
        abort_unreported();
    }
}

}  // namespace

Unwound unwound_from_current_exception() noexcept {
    try {
        throw;
    } catch (const InternalFault& fault) {
        // Already reported where it was detected.
        try {
            return Unwound{fault.message()};
        } catch (...) {
            return Unwound{};
        }
    } catch (const std::bad_alloc&) {
        std::fputs("quillane_core: internal fault: out of memory in the native heap\n", stderr);
        try {
            return Unwound{"out of memory"};
        } catch (...) {
            return Unwound{};
        }
    } catch (...) {
        std::fputs("quillane_core: internal fault: unexpected C++ exception\n", stderr);
        return Unwound{};
    }
}

PyObject* finish_entry(std::optional<Result<Ref>> outcome, const Unwound& unwound) noexcept {
    try {
        if (outcome) {
            if (outcome->has_value()) {
                return (**outcome).release();
            }
            raise_pending(std::move(outcome->error()));
            return nullptr;
        }
        raise_panic(unwound);
        return nullptr;
    } catch (...) {
        abort_unreported();
    }
}

void finish_dealloc(const Unwound& unwound) noexcept {
    try {
        // Deallocation can run while another exception is being handled;
        // keep that one intact around the report.
        Ref saved = Ref::steal(PyErr_GetRaisedException());
        raise_panic(unwound);
        PyErr_WriteUnraisable(nullptr);
        PyErr_SetRaisedException(saved.release());
    } catch (...) {
        abort_unreported();
    }
}

}  // namespace quillane::detail
