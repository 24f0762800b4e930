// The kinds with a length bound (Str, and ListSized for the list's own
// length) side by side: how the length is read, how it is tested, what the
// check answers and what the walk reports for it. A list's items are the
// container loops' (conformance_check.cpp, validation_walk.cpp).
#pragma once

#include "engine/call_context.hpp"
#include "engine/messages.hpp"
#include "engine/surrogate_scan.hpp"
#include "engine/type_tests.hpp"
#include "runtime/failure.hpp"
#include "runtime/inlining.hpp"
#include "schema/validator_node.hpp"

#include <cstdint>
#include <string>

namespace quillane {

// Which length bound a str or list broke; None when it broke none.
enum class LengthBreach : uint8_t { None, TooShort, TooLong, Count };

enum class Measured : uint8_t { String, List, Count };

// "String length {} is shorter than minimum length {}" and its siblings.
std::string length_message(Measured measured, LengthBreach breach, uint64_t length, uint64_t bound);

inline LengthBreach check_length(const LengthBounds& bounds, uint64_t length) noexcept {
    if (length < bounds.min_len) {
        return LengthBreach::TooShort;
    }
    if (length > bounds.max_len) {
        return LengthBreach::TooLong;
    }
    return LengthBreach::None;
}

inline uint64_t length_broken(const LengthBounds& bounds, LengthBreach breach) noexcept {
    return breach == LengthBreach::TooShort ? bounds.min_len : bounds.max_len;
}

// A str's length in code points. A str without a UTF-8 form (one holding a
// lone surrogate) has none to give: asking for it gives the error that
// asking for that form gives (no_utf8_form), so the check and the walk test
// for one first.
inline uint64_t str_length(PyObject* text) noexcept { return static_cast<uint64_t>(PyUnicode_GET_LENGTH(text)); }

QUILLANE_ALWAYS_INLINE Verdict check_str(const LengthBounds& lengths, PyObject* value, CallContext& call) {
    if (!is_str(value)) {
        return Verdict::Fail;
    }
    if (call.scans.has_lone_surrogate(value)) [[unlikely]] {
        return call.reject_quietly_or(no_utf8_form(value));
    }
    return verdict_of(check_length(lengths, str_length(value)) == LengthBreach::None);
}

// Whether a list's own length passes its node (a List node has no bounds).
inline bool list_length_passes(const ValidatorNode& node, Py_ssize_t length) noexcept {
    return node.kind != NodeKind::ListSized ||
           check_length(node.lengths, static_cast<uint64_t>(length)) == LengthBreach::None;
}

// The walk of a str kind's value, reporting through `walk` (a
// ValidationWalk) what its check failed.
template <class Walk>
Verdict walk_str(Walk& walk, const LengthBounds& lengths, PyObject* value) {
    if (!is_str(value)) {
        return walk.report_fixed(FixedMessage::ExpectedStr, value);
    }
    if (walk.context().scans.has_lone_surrogate(value)) [[unlikely]] {
        return walk.context().fail_with(no_utf8_form(value));
    }
    const uint64_t length = str_length(value);
    const LengthBreach breach = check_length(lengths, length);
    if (breach == LengthBreach::None) {
        return Verdict::Pass;
    }
    return walk.report(length_message(Measured::String, breach, length, length_broken(lengths, breach)), value);
}

// The walk of a list's own length: Pass when it breaks no bound (the items
// are walked next).
template <class Walk>
Verdict walk_list_length(Walk& walk, const ValidatorNode& node, PyObject* list, Py_ssize_t length) {
    if (list_length_passes(node, length)) {
        return Verdict::Pass;
    }
    const auto count = static_cast<uint64_t>(length);
    const LengthBreach breach = check_length(node.lengths, count);
    return walk.report(length_message(Measured::List, breach, count, length_broken(node.lengths, breach)), list);
}

}  // namespace quillane
