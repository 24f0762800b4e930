// Reports of internal faults, and the throw that takes them to the entry
// guard.
#include "runtime/error_display.hpp"
#include "runtime/failure.hpp"

#include <cstdio>
#include <cstring>

namespace quillane {
namespace {

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

}  // namespace

void throw_fault(std::string message, std::source_location where) {
    report_fault(message, where);
    throw InternalFault(std::move(message));
}

void throw_api_call_failed(std::source_location where) {
    display_exception(Ref::steal(PyErr_GetRaisedException()));
    throw_fault("Python API call failed", where);
}

}  // namespace quillane
