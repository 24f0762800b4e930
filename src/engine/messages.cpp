// The fixed messages, template filling and number rendering.
#include "engine/messages.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace quillane {
namespace {

// Indexed by FixedMessage.
constexpr std::array<std::string_view, kFixedMessageCount> kFixedTexts = {
    "Expected bool", "Expected int",  "Expected float",         "Expected str",
    "Expected list", "Expected dict", "Missing required field",
};
static_assert(all_have_text(kFixedTexts), "a FixedMessage without its text");

template <class Integer>
std::string decimal(Integer value) {
    char digits[24];
    auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    (void)error;  // 24 bytes hold every 64-bit integer
    return std::string(digits, end);
}

}  // namespace

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

std::string_view fixed_message_text(FixedMessage message) noexcept { return kFixedTexts[static_cast<size_t>(message)]; }

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
