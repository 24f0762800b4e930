// The texts of a broken length bound.
#include "engine/length_kinds.hpp"

#include <algorithm>
#include <array>

namespace quillane {
namespace {

// Indexed by [Measured][LengthBreach] (None has no text).
constexpr std::array<std::array<std::string_view, count_of(LengthBreach::Count)>, count_of(Measured::Count)>
    kLengthTemplates = {{
        {"", "String length {} is shorter than minimum length {}", "String length {} is longer than maximum length {}"},
        {"", "List length {} is shorter than minimum length {}", "List length {} is longer than maximum length {}"},
    }};
static_assert(std::ranges::all_of(kLengthTemplates, [](const auto& row) { return all_have_text(row, 1); }),
              "a LengthBreach without its template");

}  // namespace

std::string length_message(Measured measured, LengthBreach breach, uint64_t length, uint64_t bound) {
    std::string_view text = kLengthTemplates[static_cast<size_t>(measured)][static_cast<size_t>(breach)];
    return fill_template(text, {render_count(length), render_count(bound)});
}

}  // namespace quillane
