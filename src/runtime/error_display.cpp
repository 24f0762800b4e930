// Printing an exception to sys.stderr.
#include "runtime/error_display.hpp"

namespace quillane {

void display_exception(const Ref& exception) noexcept {
    if (exception) {
        PyErr_DisplayException(exception.get());
        PyErr_Clear();
    }
}

void display_error(PendingError error) {
    raise_pending(std::move(error));
    display_exception(Ref::steal(PyErr_GetRaisedException()));
}

}  // namespace quillane
