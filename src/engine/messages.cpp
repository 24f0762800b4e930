// Message table and number rendering.
#include "engine/messages.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <initializer_list>

namespace quillane {
namespace {

constexpr size_t count_of(auto enumeration) noexcept { return static_cast<size_t>(enumeration); }

// Whether every entry but the first `skipped` has a text: std::array fills
// entries left without an initializer with empty ones.
constexpr bool all_have_text(const auto& texts, size_t skipped = 0) noexcept {
    for (size_t i = skipped; i < texts.size(); ++i) {
        if (texts[i].empty()) {
            return false;
        }
    }
    return true;
}

// Indexed by FixedMessage.
constexpr std::array<std::string_view, kFixedMessageCount> kFixedTexts = {
    "Expected bool", "Expected int",  "Expected float",         "Expected str",
    "Expected list", "Expected dict", "Missing required field",
};
static_assert(all_have_text(kFixedTexts), "a FixedMessage without its text");

// Indexed by BoundBreach (None has no text).
constexpr std::array<std::string_view, count_of(BoundBreach::Count)> kBoundTemplates = {
    "",
    "Value {} is less than minimum {}",
    "Value {} is greater than maximum {}",
    "Value {} must be greater than {}",
    "Value {} must be less than {}",
};
static_assert(all_have_text(kBoundTemplates, 1), "a BoundBreach without its template");

// Indexed by [Measured][LengthBreach] (None has no text).
constexpr std::array<std::array<std::string_view, count_of(LengthBreach::Count)>, count_of(Measured::Count)>
    kLengthTemplates = {{
        {"", "String length {} is shorter than minimum length {}", "String length {} is longer than maximum length {}"},
        {"", "List length {} is shorter than minimum length {}", "List length {} is longer than maximum length {}"},
    }};
static_assert(std::ranges::all_of(kLengthTemplates, [](const auto& row) { return all_have_text(row, 1); }),
              "a LengthBreach without its template");

// Replaces each "{}" of the template, left to right, with the next argument.
std::string fill_template(std::string_view text, std::initializer_list<std::string_view> arguments) {
    std::string out;
    size_t reserve = text.size();
    for (std::string_view argument : arguments) {
        reserve += argument.size();
    }
    out.reserve(reserve);
    const auto* next = arguments.begin();
    for (size_t at = 0; at < text.size();) {
        size_t placeholder = text.find("{}", at);
        if (placeholder == std::string_view::npos || next == arguments.end()) {
            out.append(text.substr(at));
            break;
        }
        out.append(text.substr(at, placeholder - at));
        out.append(*next++);
        at = placeholder + 2;
    }
    return out;
}

template <class Integer>
std::string decimal(Integer value) {
    char digits[24];
    auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    (void)error;  // 24 bytes hold every 64-bit integer
    return std::string(digits, end);
}

}  // namespace

std::string_view fixed_message_text(FixedMessage message) noexcept { return kFixedTexts[static_cast<size_t>(message)]; }

std::string bound_message(BoundBreach breach, std::string_view value_text, double bound) {
    return fill_template(kBoundTemplates[static_cast<size_t>(breach)], {value_text, render_double(bound)});
}

std::string length_message(Measured measured, LengthBreach breach, uint64_t length, uint64_t bound) {
    std::string_view text = kLengthTemplates[static_cast<size_t>(measured)][static_cast<size_t>(breach)];
    return fill_template(text, {render_count(length), render_count(bound)});
}

std::string render_int(int64_t value) { return decimal(value); }

std::string render_count(uint64_t value) { return decimal(value); }

std::string render_double(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    std::string out = std::signbit(value) ? "-" : "";
    double magnitude = std::fabs(value);
    if (std::isinf(magnitude)) {
        return out + "inf";
    }
    if (magnitude == 0.0) {
        return out + "0";
    }
    // Shortest round-trip digits, nearest the exact value: "d.ddde[+-]x".
    char scientific[32];
    auto [end, error] = std::to_chars(scientific, scientific + sizeof scientific, magnitude,
                                      std::chars_format::scientific);
    (void)error;  // 32 bytes hold any double in this form
    std::string_view text(scientific, static_cast<size_t>(end - scientific));
    size_t exponent_mark = text.find('e');
    std::string digits;
    for (char c : text.substr(0, exponent_mark)) {
        if (c != '.') {
            digits.push_back(c);
        }
    }
    while (digits.size() > 1 && digits.back() == '0') {
        digits.pop_back();
    }
    // The value is 0.D times ten to the power `point`.
    std::string_view exponent_text = text.substr(exponent_mark + 1);
    if (!exponent_text.empty() && exponent_text.front() == '+') {
        exponent_text.remove_prefix(1);  // from_chars takes no plus sign
    }
    long exponent = 0;
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
    long point = exponent + 1;
    long count = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-point), '0');
        out += digits;
    } else if (point < count) {
        out.append(digits, 0, static_cast<size_t>(point));
        out += '.';
        out.append(digits, static_cast<size_t>(point), std::string::npos);
    } else {
        out += digits;
        out.append(static_cast<size_t>(point - count), '0');
    }
    return out;
}

}  // namespace quillane
