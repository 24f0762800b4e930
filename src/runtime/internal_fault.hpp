// InternalFault: a broken invariant, reported where it is detected and
// thrown to the entry guard.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace quillane {

// An unrecoverable failure in native code. Thrown where it is detected (after
// a report on standard error) and caught only by the entry guard, which turns
// it into PanicException.
class InternalFault : public std::exception {
public:
    explicit InternalFault(std::string message) noexcept : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Reports the fault on standard error, naming thread and source location,
// then throws it as InternalFault. (Functions named raise_... set a Python
// exception instead; functions named throw_... throw a C++ one.)
[[noreturn]] void throw_fault(std::string message, std::source_location where = std::source_location::current());

// For a C API constructor (tuple, list, str) that returned NULL: prints the
// pending Python exception (as display_error does, runtime/error_display.hpp), then faults with
// "Python API call failed".
[[noreturn]] void throw_api_call_failed(std::source_location where = std::source_location::current());

}  // namespace quillane
