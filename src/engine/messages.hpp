// The texts of collect's error entries: fixed messages, templates with
// numbers filled in, and how each kind of number is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillane {

// Each enum that indexes a table of texts ends in Count, the number of its
// values (never a value itself); the tables are checked against it.

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
inline constexpr size_t kFixedMessageCount = static_cast<size_t>(FixedMessage::Count);

// Which bound a number broke; None when it broke none.
enum class BoundBreach : uint8_t { None, BelowMin, AboveMax, NotAboveMin, NotBelowMax, Count };

// Which length bound a str or list broke.
enum class LengthBreach : uint8_t { None, TooShort, TooLong, Count };

enum class Measured : uint8_t { String, List, Count };

std::string_view fixed_message_text(FixedMessage message) noexcept;

// "Value {} is less than minimum {}" and its siblings; the value is already
// rendered (as an integer or a double), the bound is a double.
std::string bound_message(BoundBreach breach, std::string_view value_text, double bound);

// "String length {} is shorter than minimum length {}" and its siblings.
std::string length_message(Measured measured, LengthBreach breach, uint64_t length, uint64_t bound);

std::string render_int(int64_t value);
std::string render_count(uint64_t value);
std::string render_double(double value);

}  // namespace quillane
