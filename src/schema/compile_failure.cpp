// The schema path of a compile error and its note.
#include "schema/compile_failure.hpp"

#include <optional>
#include <ranges>

namespace quillane {
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

// The error's exception with the PEP 678 note `note` added (through its
// add_note method; a lazy error is created now), unless one of its notes
// already starts with `marker`. Adding a note is a courtesy: when it fails
// with an ordinary exception the error goes on as it was, while MemoryError
// and exceptions that are not Exceptions (KeyboardInterrupt, SystemExit) take
// its place, and a PanicException resumes its fault.
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

// Appends a run of steps; a field first in its run is written without its
// ".", as collect writes a key at the root.
void append_steps(std::string& text, std::ranges::input_range auto&& steps) {
    bool first = true;
    for (const std::string& step : steps) {
        std::string_view shown = step;
        if (first && shown.starts_with('.')) {
            shown.remove_prefix(1);
        }
        text += shown;
        first = false;
    }
}

// The path of the steps, innermost first, as the note writes it.
std::string schema_path_text(const std::vector<std::string>& steps) {
    std::string text;
    auto outermost_first = steps | std::views::reverse;
    if (steps.size() <= kElidedPathSteps) {
        append_steps(text, outermost_first);
        return text;
    }
    append_steps(text, outermost_first | std::views::take(kKeptPathSteps));
    text += "...(";
    text += std::to_string(steps.size() - (2 * kKeptPathSteps));
    text += " levels)...";
    append_steps(text, outermost_first | std::views::drop(steps.size() - kKeptPathSteps));
    return text;
}

}  // namespace

PendingError noted_compile_error(CompileFailure failure) {
    std::string note(kCompileNoteMarker);
    if (failure.steps.empty()) {
        note += " its root";
    } else {
        note += ' ';
        note += schema_path_text(failure.steps);
    }
    return with_note(std::move(failure.error), note, kCompileNoteMarker);
}

}  // namespace quillane
