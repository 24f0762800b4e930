// How failures travel inside the module: PendingError (a Python exception
// waiting to be raised), InternalFault (a broken invariant that unwinds to the
// entry guard, runtime/internal_fault.hpp) and the helpers that capture and
// raise them.
#pragma once

#include "runtime/internal_fault.hpp"
#include "runtime/py_ref.hpp"

#include <exception>
#include <expected>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <variant>

namespace quillane {

// A Python exception that the module will raise once it reaches the entry
// guard. Either an exception object already captured from the interpreter, or
// a lazy description that creates no Python object until it is raised.
class PendingError {
public:
    // Takes ownership of an exception object fetched from the interpreter.
    static PendingError captured(Ref exception);

    // `exception_type` is a built-in exception class or PanicException; both
    // live for the whole process, so the error only borrows it.
    static PendingError lazy(PyObject* exception_type, std::string message);

    // "'{}' object cannot be converted to '{}'" for `object`'s type.
    static PendingError conversion(PyObject* object, const char* target_name);

    PendingError(PendingError&&) noexcept = default;
    ~PendingError() = default;
    PendingError& operator=(PendingError&&) noexcept = default;

    // Makes this error the interpreter's current exception. Consumes it.
    void raise() &&;

    // "TypeName: message" text, for fault reports that must name the error.
    std::string describe() const;

private:
    struct LazyMessage {
        PyObject* type;
        std::string message;
    };
    struct ConversionRecord {
        Ref object_type;
        const char* target_name;
    };
    using State = std::variant<Ref, LazyMessage, ConversionRecord>;

    explicit PendingError(State state) : state_(std::make_unique<State>(std::move(state))) {}

    // Boxed, so that results carrying an error stay one pointer wide on the
    // hot, error-free paths and in the recursion's stack frames.
    std::unique_ptr<State> state_;
};

template <class T>
using Result = std::expected<T, PendingError>;
using Status = Result<void>;

// The error as a return value: a Result of any type, a Status, and a compile
// outcome all take it. Taken by reference, so that passing an error up makes
// no copy of it on the way (the compiler's recursive frames stay as small).
inline std::unexpected<PendingError> fail(PendingError&& error) noexcept {
    return std::unexpected<PendingError>(std::move(error));
}

// Passing an error up, the one idiom for it. Each form evaluates `expr`, a
// Result or a Status, once; on an error it returns fail(error) from the
// enclosing function (a Result, a Status or a compile outcome), otherwise
// it goes on, QUILLANE_TRY_ASSIGN declaring or assigning `lhs` from the value
// first:
//
//   QUILLANE_TRY(module_add(module, name, value));
//   QUILLANE_TRY_ASSIGN(Ref value, get_attribute(schema, Attribute::Regex));
//
// The check and the walk answer a Verdict instead, and keep the error in
// their call's context (CallContext::fail_with). QUILLANE_TRY_ASSIGN keeps
// the Result alive to the end of the enclosing block: in a recursive
// function whose frame size matters, declare the variable first and assign
// it with QUILLANE_TRY_ASSIGN inside a block of its own (as compile_list
// does).
#define QUILLANE_TRY(expr)                                                          \
    do {                                                                            \
        if (auto quillane_try_result = (expr); !quillane_try_result) [[unlikely]] { \
            return ::quillane::fail(std::move(quillane_try_result).error());        \
        }                                                                           \
    } while (false)
#define QUILLANE_TRY_ASSIGN(lhs, expr) \
    QUILLANE_TRY_ASSIGN_WITH(QUILLANE_TRY_JOIN(quillane_try_result_, __LINE__), lhs, expr)

// Details of the forms above: a result variable named after its line.
// `result` names that variable and `lhs` may be a declaration; neither can be
// put in parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define QUILLANE_TRY_ASSIGN_WITH(result, lhs, expr)         \
    auto result = (expr);                                   \
    if (!result) [[unlikely]] {                             \
        return ::quillane::fail(std::move(result).error()); \
    }                                                       \
    lhs = std::move(*result)
// NOLINTEND(bugprone-macro-parentheses)
#define QUILLANE_TRY_JOIN(a, b) QUILLANE_TRY_JOIN_EXPANDED(a, b)
#define QUILLANE_TRY_JOIN_EXPANDED(a, b) a##b

// For a C API call that reported failure: captures and clears the exception
// it left set, or, when it left none, makes a SystemError that says so. A
// PanicException coming back from Python code resumes its fault: this throws
// InternalFault with the exception's text.
PendingError error_of_failed_call();

// The new reference a C API call returned, owned; the exception the call
// left pending when it returned null.
inline Result<Ref> steal_or_error(PyObject* new_reference) {
    if (new_reference == nullptr) {
        return fail(error_of_failed_call());
    }
    return Ref::steal(new_reference);
}

// Makes the error the interpreter's current exception.
inline void raise_pending(PendingError error) { std::move(error).raise(); }

// The UTF-8 text of a str object, or nothing (with the error cleared): for
// texts that only go into the module's own messages.
std::optional<std::string> utf8_of(PyObject* text);

inline PendingError conversion_error(PyObject* object, const char* target_name) {
    return PendingError::conversion(object, target_name);
}

}  // namespace quillane
