// The texts of collect's error entries: the fixed messages, how a template's
// numbers are filled in, and how each kind of number is written. The
// templates of a kind family are in its own file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace quillane {

// Each enum that indexes a table of texts ends in Count, the number of its
// values (never a value itself); the tables are checked against it.
constexpr size_t count_of(auto enumeration) noexcept { return static_cast<size_t>(enumeration); }

enum class FixedMessage : uint8_t {
    ExpectedBool,
    ExpectedInt,
    ExpectedFloat,
    ExpectedStr,
    ExpectedList,
    ExpectedDict,
    MissingField,
    Count,
};
inline constexpr size_t kFixedMessageCount = count_of(FixedMessage::Count);

std::string_view fixed_message_text(FixedMessage message) noexcept;

// Replaces each "{}" of `text`, left to right, with the next argument.
std::string fill_template(std::string_view text, std::initializer_list<std::string_view> arguments);

// Whether every entry of a table of texts but the first `skipped` has a text:
// std::array fills entries left without an initializer with empty ones.
constexpr bool all_have_text(const auto& texts, size_t skipped = 0) noexcept {
    for (size_t i = skipped; i < texts.size(); ++i) {
        if (texts[i].empty()) {
            return false;
        }
    }
    return true;
}

std::string render_int(int64_t value);
std::string render_count(uint64_t value);
std::string render_double(double value);

}  // namespace quillane
