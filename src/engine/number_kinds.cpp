// The number kinds' out-of-line parts: the read that runs an __index__
// method, and the texts of a broken bound.
#include "engine/number_kinds.hpp"

#include <array>

namespace quillane {
namespace {

// Indexed by BoundBreach (None has no text).
constexpr std::array<std::string_view, count_of(BoundBreach::Count)> kBoundTemplates = {
    "",
    "Value {} is less than minimum {}",
    "Value {} is greater than maximum {}",
    "Value {} must be greater than {}",
    "Value {} must be less than {}",
};
static_assert(all_have_text(kBoundTemplates, 1), "a BoundBreach without its template");

}  // namespace

Result<std::optional<int64_t>> read_index_integer(PyObject* value) {
    long long integer = PyLong_AsLongLong(value);
    if (integer != -1 || PyErr_Occurred() == nullptr) {
        return static_cast<int64_t>(integer);
    }
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (PyErr_GivenExceptionMatches(raised.get(), PyExc_Exception) != 0 &&
        PyErr_GivenExceptionMatches(raised.get(), PyExc_MemoryError) == 0 &&
        PyErr_GivenExceptionMatches(raised.get(), PyExc_RecursionError) == 0) {
        return std::optional<int64_t>();  // not an int: the error is the answer
    }
    PyErr_SetRaisedException(raised.release());
    return fail(error_of_failed_call());
}

QUILLANE_NOINLINE QUILLANE_COLD Verdict check_float_subclass(const NumberBounds& bounds, PyObject* value,
                                                             CallContext& call) {
    if (!is_float(value)) {
        return Verdict::Fail;
    }
    Result<double> number = read_float(value);
    if (!number) [[unlikely]] {
        return call.fail_with(std::move(number).error());
    }
    return verdict_of(check_bounds(bounds, *number) == BoundBreach::None);
}

std::string bound_message(BoundBreach breach, std::string_view value_text, double bound) {
    return fill_template(kBoundTemplates[static_cast<size_t>(breach)], {value_text, render_double(bound)});
}

}  // namespace quillane
