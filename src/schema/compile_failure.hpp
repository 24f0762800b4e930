// An exception raised while compiling a schema, with the schema path where
// it arose, and the note that tells the caller that path.
#pragma once

#include "runtime/failure.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace quillane {

// The start of every note the compiler adds: an exception that already has
// one (raised by a compile nested in a schema property, or raised again) is
// not noted twice.
inline constexpr std::string_view kCompileNoteMarker = "while compiling the schema at";

// Built where the exception arose; each level it passes on its way up adds
// its own step, so a compile that succeeds pays nothing for the path.
struct CompileFailure {
    // Implicit, so that the compiler passes an error up with fail() or
    // QUILLANE_TRY, as a function returning a Result does.
    CompileFailure(std::unexpected<PendingError>&& raised) : error(std::move(raised).error()) {}

    PendingError error;
    // Innermost first: ".name" for a field-map field, "[]" for a
    // ListValidator's item, "{}" for a DictValidator's value.
    std::vector<std::string> steps;
};

// The failure's exception, with the note "while compiling the schema at
// <path>" (or "... at its root"). The path is written in collect's grammar
// with the schema's own steps, "orders[].customer.email", "meta{}.id"; one of
// more than kElidedPathSteps steps keeps its first and last kKeptPathSteps and
// says how many levels it leaves out between them: "a.a.a.a.a...(990 levels)...a.a.a.a.a".
inline constexpr size_t kKeptPathSteps = 5;
inline constexpr size_t kElidedPathSteps = 12;
PendingError noted_compile_error(CompileFailure failure);

}  // namespace quillane
