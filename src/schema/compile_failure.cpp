// The schema path of a compile error and its note.
#include "schema/compile_failure.hpp"

#include <ranges>

namespace quillane {
namespace {

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
