// PendingError, and the capture of the interpreter's current exception.
#include "runtime/error_display.hpp"
#include "runtime/failure.hpp"
#include "runtime/panic_exception.hpp"

#include <cstdio>
#include <optional>

namespace quillane {
namespace {

constexpr const char* kUnnamedTypeText = "<failed to extract type name>";
constexpr const char* kUnprintablePanic = "<PanicException without printable text>";

std::string qualified_type_name(PyObject* type) {
    Ref name = Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
    if (!name) {
        PyErr_Clear();
        return kUnnamedTypeText;
    }
    return utf8_of(name.get()).value_or(kUnnamedTypeText);
}

std::string conversion_message(PyObject* object_type, const char* target_name) {
    std::string message = "'";
    message += qualified_type_name(object_type);
    message += "' object cannot be converted to '";
    message += target_name;
    message += "'";
    return message;
}

}  // namespace

std::optional<std::string> utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
    if (bytes == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(bytes, static_cast<size_t>(size));
}

PendingError PendingError::captured(Ref exception) { return PendingError(State(std::move(exception))); }

PendingError PendingError::lazy(PyObject* exception_type, std::string message) {
    return PendingError(State(LazyMessage{exception_type, std::move(message)}));
}

PendingError PendingError::conversion(PyObject* object, const char* target_name) {
    return PendingError(
        State(ConversionRecord{Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object))), target_name}));
}

void PendingError::raise() && {
    if (!state_) {
        return;  // moved from
    }
    if (auto* exception = std::get_if<Ref>(state_.get())) {
        PyErr_SetRaisedException(exception->release());
        return;
    }
    if (auto* lazy = std::get_if<LazyMessage>(state_.get())) {
        Ref argument = Ref::steal(
            PyUnicode_FromStringAndSize(lazy->message.data(), static_cast<Py_ssize_t>(lazy->message.size())));
        if (argument) {
            PyErr_SetObject(lazy->type, argument.get());
        }
        // Otherwise the failed str creation (MemoryError) is what is raised.
        return;
    }
    auto& record = std::get<ConversionRecord>(*state_);
    std::string message = conversion_message(record.object_type.get(), record.target_name);
    Ref argument = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (argument) {
        PyErr_SetObject(PyExc_TypeError, argument.get());
    }
}

std::string PendingError::describe() const {
    if (!state_) {
        return "no error";
    }
    if (auto* exception = std::get_if<Ref>(state_.get())) {
        std::string text = qualified_type_name(reinterpret_cast<PyObject*>(Py_TYPE(exception->get())));
        Ref rendered = Ref::steal(PyObject_Str(exception->get()));
        if (!rendered) {
            PyErr_Clear();
            return text;
        }
        if (auto message = utf8_of(rendered.get()); message && !message->empty()) {
            text += ": ";
            text += *message;
        }
        return text;
    }
    if (auto* lazy = std::get_if<LazyMessage>(state_.get())) {
        return qualified_type_name(lazy->type) + ": " + lazy->message;
    }
    auto& record = std::get<ConversionRecord>(*state_);
    return "TypeError: " + conversion_message(record.object_type.get(), record.target_name);
}

PendingError error_of_failed_call() {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception) {
        return PendingError::lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    // Until the class exists no exception can be one of its instances, so a
    // failure to create it here changes nothing about the captured error.
    PyObject* panic_type = panic_exception_type();
    if (panic_type == nullptr) {
        PyErr_Clear();
    } else if (Py_IS_TYPE(exception.get(), reinterpret_cast<PyTypeObject*>(panic_type))) {
        std::string text = kUnprintablePanic;
        if (Ref rendered = Ref::steal(PyObject_Str(exception.get()))) {
            text = utf8_of(rendered.get()).value_or(kUnprintablePanic);
        } else {
            PyErr_Clear();
        }
        std::fprintf(stderr,
                     "quillane_core: a PanicException raised in Python code was fetched by native code;\n"
                     "quillane_core: resuming the internal fault. The Python traceback follows.\n");
        std::fflush(stderr);
        display_exception(exception);
        throw InternalFault(std::move(text));
    }
    return PendingError::captured(std::move(exception));
}

}  // namespace quillane
