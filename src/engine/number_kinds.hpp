// The number kinds (Int, IntRange, IntRangeExclusive, Float, FloatRange,
// FloatRangeExclusive) side by side: how a value of each is read, how it is
// tested against its bounds, what the check answers and what the walk
// reports for it. The integer kinds differ only in their bounds (the
// unbounded kind has none set, so it never breaks one), and so do the float
// kinds; the tree's tags keep them apart only for the schema's sake.
#pragma once

#include "engine/call_context.hpp"
#include "engine/messages.hpp"
#include "engine/type_tests.hpp"
#include "runtime/container_walks.hpp"
#include "runtime/failure.hpp"
#include "runtime/inlining.hpp"
#include "schema/validator_node.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillane {

// Which bound a number broke; None when it broke none.
enum class BoundBreach : uint8_t { None, BelowMin, AboveMax, NotAboveMin, NotBelowMax, Count };

// "Value {} is less than minimum {}" and its siblings; the value is already
// rendered (as an integer or a double), the bound is a double.
std::string bound_message(BoundBreach breach, std::string_view value_text, double bound);

// Bounds with IEEE comparisons, so NaN on either side never breaks one. The
// exclusive flags are clear on the inclusive kinds, so one rule serves both.
inline BoundBreach check_bounds(const NumberBounds& bounds, double x) noexcept {
    if (bounds.exclusive_min ? bounds.min >= x : bounds.min > x) {
        return bounds.exclusive_min ? BoundBreach::NotAboveMin : BoundBreach::BelowMin;
    }
    if (bounds.exclusive_max ? x >= bounds.max : x > bounds.max) {
        return bounds.exclusive_max ? BoundBreach::NotBelowMax : BoundBreach::AboveMax;
    }
    return BoundBreach::None;
}

inline double bound_broken(const NumberBounds& bounds, BoundBreach breach) noexcept {
    return breach == BoundBreach::BelowMin || breach == BoundBreach::NotAboveMin ? bounds.min : bounds.max;
}

// Reading the signed 64-bit value of an int, a bool or an __index__ object.
// Nothing when the value is not one: its conversion failed with an ordinary
// error (an Exception other than MemoryError and RecursionError), which is
// discarded. A MemoryError, a RecursionError (raised by how deep the
// caller's stack is, not by the value) and any BaseException that is not an
// Exception (KeyboardInterrupt, SystemExit, a fault from a nested call) is
// no answer about the value: it ends the walk.
Result<std::optional<int64_t>> read_index_integer(PyObject* value);

// Whether reading the integer of `value` calls its __index__ method.
inline bool reading_runs_python_code(PyObject* value) noexcept {
    if (PyLong_Check(value)) {
        return false;
    }
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    return number != nullptr && number->nb_index != nullptr;
}

// Python code may run in the read: the walks under way take hold first.
inline Result<std::optional<int64_t>> read_integer(PyObject* value, ContainerWalks& walks) {
    if (std::optional<int64_t> compact = compact_int_value(value)) [[likely]] {
        return *compact;
    }
    if (PyLong_Check(value)) {
        // Beyond 64 bits is a plain answer, not worth an OverflowError.
        int overflow = 0;
        long long integer = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0) {
            return std::optional<int64_t>();
        }
        return static_cast<int64_t>(integer);
    }
    // Without __index__ the conversion could only raise a TypeError, which
    // would be discarded: skip making it.
    if (!reading_runs_python_code(value)) {
        return std::optional<int64_t>();
    }
    walks.before_python_code();
    return read_index_integer(value);
}

// The double of a value that passed the float test: a float's stored value,
// read directly for an exact float and through PyFloat_AsDouble for a
// subclass (which reads the same stored value; its error is passed on
// should it ever report one).
inline Result<double> read_float(PyObject* value) {
    if (Py_IS_TYPE(value, &PyFloat_Type)) {
        return PyFloat_AS_DOUBLE(value);
    }
    double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred() != nullptr) {
        return fail(error_of_failed_call());
    }
    return number;
}

// The check of an integer kind's value. A compact int is read in line; the
// quiet check fails a value whose read would run its own Python code.
QUILLANE_ALWAYS_INLINE Verdict check_int(const NumberBounds& bounds, PyObject* value, CallContext& call) {
    if (std::optional<int64_t> compact = compact_int_value(value)) [[likely]] {
        return verdict_of(check_bounds(bounds, static_cast<double>(*compact)) == BoundBreach::None);
    }
    if (call.quiet && reading_runs_python_code(value)) [[unlikely]] {
        return Verdict::Fail;
    }
    Result<std::optional<int64_t>> integer = read_integer(value, call.walks);
    if (!integer) [[unlikely]] {
        return call.fail_with(std::move(integer).error());
    }
    return verdict_of(integer->has_value() &&
                      check_bounds(bounds, static_cast<double>(**integer)) == BoundBreach::None);
}

// The check of an item of a list that takes the plain loop (no Python code
// runs in it): Undecided for an item that is not a compact int, which the
// guarded loop reads.
QUILLANE_ALWAYS_INLINE Verdict check_compact_int(const NumberBounds& bounds, PyObject* value) noexcept {
    const std::optional<int64_t> integer = compact_int_value(value);
    if (!integer) [[unlikely]] {
        return Verdict::Undecided;
    }
    return verdict_of(check_bounds(bounds, static_cast<double>(*integer)) == BoundBreach::None);
}

// The check of a bounded float kind's value (the unbounded one needs only
// the type test). An exact float's stored value is read in line, a
// subclass's out of line.
Verdict check_float_subclass(const NumberBounds& bounds, PyObject* value, CallContext& call);
QUILLANE_ALWAYS_INLINE Verdict check_float(const NumberBounds& bounds, PyObject* value, CallContext& call) {
    if (Py_IS_TYPE(value, &PyFloat_Type)) [[likely]] {
        return verdict_of(check_bounds(bounds, PyFloat_AS_DOUBLE(value)) == BoundBreach::None);
    }
    return check_float_subclass(bounds, value, call);
}

// The walk of an integer kind's value, reporting through `walk` (a
// ValidationWalk) what its check failed.
template <class Walk>
Verdict walk_int(Walk& walk, const NumberBounds& bounds, PyObject* value) {
    CallContext& call = walk.context();
    Result<std::optional<int64_t>> integer = read_integer(value, call.walks);
    if (!integer) [[unlikely]] {
        return call.fail_with(std::move(integer).error());
    }
    if (!integer->has_value()) {
        return walk.report_fixed(FixedMessage::ExpectedInt, value);
    }
    const int64_t number = **integer;
    const BoundBreach breach = check_bounds(bounds, static_cast<double>(number));
    if (breach == BoundBreach::None) {
        return Verdict::Pass;
    }
    // The message shows the integer itself, not the double it was compared as.
    return walk.report(bound_message(breach, render_int(number), bound_broken(bounds, breach)), value);
}

template <class Walk>
Verdict walk_float(Walk& walk, const NumberBounds& bounds, PyObject* value) {
    if (!is_float(value)) {
        return walk.report_fixed(FixedMessage::ExpectedFloat, value);
    }
    Result<double> number = read_float(value);
    if (!number) [[unlikely]] {
        return walk.context().fail_with(std::move(number).error());
    }
    const BoundBreach breach = check_bounds(bounds, *number);
    if (breach == BoundBreach::None) {
        return Verdict::Pass;
    }
    return walk.report(bound_message(breach, render_double(*number), bound_broken(bounds, breach)), value);
}

}  // namespace quillane
