// PendingError, InternalFault reporting, and capture of the interpreter's
// current exception.
#include "runtime/failure.hpp"

#include <cstdio>
#include <cstring>

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

// Written once under the interpreter lock and never released.
PyObject* g_panic_type = nullptr;

constexpr const char* kUnnamedTypeText = "<failed to extract type name>";
constexpr const char* kUnprintablePanic = "<PanicException without printable text>";

// The source file relative to the project's src/ folder, for short reports.
const char* short_file_name(const char* path) noexcept {
    const char* found = std::strstr(path, "src/");
    const char* last = found;
    while (found != nullptr) {
        last = found;
        found = std::strstr(found + 1, "src/");
    }
    return last != nullptr ? last : path;
}

void report_fault(const std::string& message, const std::source_location& where) noexcept {
    std::fprintf(stderr, "quillane_core: internal fault in thread %lu at %s:%u:%u:\n  %s\n",
                 PyThread_get_thread_ident(), short_file_name(where.file_name()), static_cast<unsigned>(where.line()),
                 static_cast<unsigned>(where.column()), message.c_str());
    std::fflush(stderr);
}

// The UTF-8 text of a str object, or nothing (with the error cleared).
std::optional<std::string> utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
    if (bytes == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(bytes, static_cast<size_t>(size));
}

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

PyObject* panic_exception_type() noexcept {
    if (g_panic_type != nullptr) {
        return g_panic_type;
    }
    Ref created = Ref::steal(PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr));
    if (created && g_panic_type == nullptr) {
        g_panic_type = created.release();  // kept for the life of the process
    }
    return g_panic_type;
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

void throw_fault(std::string message, std::source_location where) {
    report_fault(message, where);
    throw InternalFault(std::move(message));
}

namespace {

// Printing can fail in turn (a closed sys.stderr); nothing is left pending.
void display_exception(const Ref& exception) noexcept {
    if (exception) {
        PyErr_DisplayException(exception.get());
        PyErr_Clear();
    }
}

}  // namespace

void display_error(PendingError error) {
    raise_pending(std::move(error));
    display_exception(Ref::steal(PyErr_GetRaisedException()));
}

void throw_api_call_failed(std::source_location where) {
    display_exception(Ref::steal(PyErr_GetRaisedException()));
    throw_fault("Python API call failed", where);
}

PendingError error_of_failed_call() {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception) {
        return PendingError::lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    // Until the class exists no exception can be one of its instances, so a
    // failure to create it here changes nothing about the captured error.
    PyObject* panic_type = g_panic_type != nullptr ? g_panic_type : panic_exception_type();
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

namespace {

// Whether one of the exception's notes starts with `marker`; nothing, with
// the reading's exception set, when reading them failed.
std::optional<bool> has_note_starting_with(PyObject* exception, std::string_view marker) {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(exception, "__notes__", &found) < 0) {
        return std::nullopt;
    }
    Ref notes = Ref::steal(found);
    if (!notes || !PyList_Check(notes.get())) {
        return false;  // add_note makes the list, or reports what is wrong with it
    }
    // Reading a str's UTF-8 form runs no Python code, so the list stays as it is.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(notes.get()); ++i) {
        PyObject* note = PyList_GET_ITEM(notes.get(), i);
        if (!PyUnicode_Check(note)) {
            continue;
        }
        std::optional<std::string> text = utf8_of(note);
        if (text && text->starts_with(marker)) {
            return true;
        }
    }
    return false;
}

// Adds the note unless it is there; false with the failure's exception set.
bool add_note_once(PyObject* exception, std::string_view note, std::string_view marker) {
    std::optional<bool> noted = has_note_starting_with(exception, marker);
    if (!noted) {
        return false;
    }
    if (*noted) {
        return true;
    }
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    if (!text) {
        return false;
    }
    Ref method = Ref::steal(PyUnicode_FromString("add_note"));
    if (!method) {
        return false;
    }
    Ref result = Ref::steal(PyObject_CallMethodOneArg(exception, method.get(), text.get()));
    return static_cast<bool>(result);
}

}  // namespace

PendingError with_note(PendingError error, std::string_view note, std::string_view marker) {
    std::move(error).raise();
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception) {
        return error_of_failed_call();
    }
    if (!add_note_once(exception.get(), note, marker)) {
        Ref failure = Ref::steal(PyErr_GetRaisedException());
        if (failure && (!PyErr_GivenExceptionMatches(failure.get(), PyExc_Exception) ||
                        PyErr_GivenExceptionMatches(failure.get(), PyExc_MemoryError))) {
            PyErr_SetRaisedException(failure.release());
            return error_of_failed_call();
        }
    }
    return PendingError::captured(std::move(exception));
}

}  // namespace quillane
