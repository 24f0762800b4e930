// What one validate or collect call shares between its conformance check and
// its validation walk, passed to both by reference: the mode, the recursion
// and stack state, the containers under way (and the one gate, their
// before_python_code, through which every place that may run Python code
// goes), the str-scan memo, the signal poll, where a quiet check stopped, and
// the exception that ended the call.
#pragma once

#include "engine/surrogate_scan.hpp"
#include "runtime/container_walks.hpp"
#include "runtime/failure.hpp"
#include "runtime/inlining.hpp"
#include "runtime/signal_poll.hpp"
#include "schema/validator_node.hpp"

#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace quillane {

// What the check and the walk answer about a value. Pass: it conforms. Fail:
// it does not (the check answers at the first such value; the walk has
// appended an entry for each violation). Undecided: the walk cannot tell
// (collect answers None); the check never answers it. Error: a Python
// exception ended the call (a read or an append raised, the recursion limit
// was reached, a signal handler raised); it waits in the call's context
// (CallContext::take_error) for the method to raise.
enum class Verdict : uint8_t { Pass, Fail, Undecided, Error };

inline Verdict verdict_of(bool passes) noexcept { return passes ? Verdict::Pass : Verdict::Fail; }

// Where a check over a container's children stopped: the first child that
// did not pass (a list's index; a dict's entry, borrowed, and its index in
// iteration order) and its verdict; Pass when none failed.
struct FailingItem {
    Py_ssize_t index = 0;
    Verdict verdict = Verdict::Pass;
};
struct FailingEntry {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    size_t index = 0;
    Verdict verdict = Verdict::Pass;
};

class CallContext {
public:
    // `guarded`: every container level enters the interpreter's recursion
    // counter and checks the stack left below `stack_floor` (null: no stack
    // check). `quiet`: the check is collect's fast path. It passes only what
    // it can tell conforms without running the data's own Python code (an
    // __index__) or raising about the data (a str without a UTF-8 form, the
    // recursion limit), and fails anything else, which the walk then looks
    // at itself, running that code once, or raising. Signal handlers still
    // run, and a handler's exception is still an Error.
    CallContext(bool guarded, const char* stack_floor, bool quiet) noexcept
        : guarded(guarded), quiet(quiet), stack_floor(stack_floor) {}

    // The call's shared state, read by the check and the walk directly.
    // NOLINTBEGIN(cppcoreguidelines-non-private-member-variables-in-classes,misc-non-private-member-variables-in-classes)
    const bool guarded;
    const bool quiet;
    const char* const stack_floor;
    ContainerWalks walks;
    SurrogateScans scans{walks};
    SignalPoll signals;
    // NOLINTEND(cppcoreguidelines-non-private-member-variables-in-classes,misc-non-private-member-variables-in-classes)

    // Keeps the exception for take_error and ends the call with Error.
    Verdict fail_with(PendingError pending) {
        error_.emplace(std::move(pending));
        return Verdict::Error;
    }
    // What the check answers where reading a value raised: the quiet check
    // fails it (the walk meets the same error itself and raises it), the
    // full check keeps the exception and ends the call.
    QUILLANE_NOINLINE QUILLANE_COLD Verdict reject_quietly_or(PendingError pending) {
        if (quiet) {
            return Verdict::Fail;
        }
        return fail_with(std::move(pending));
    }
    // The exception that ended the call, when it answered Error.
    PendingError take_error() { return std::move(*error_); }

    // Counts one value for the signal poll: Error when a handler raised.
    QUILLANE_ALWAYS_INLINE Verdict poll_signals() {
        if (signals.raised(walks)) [[unlikely]] {
            return fail_with(error_of_failed_call());
        }
        return Verdict::Pass;
    }

    // Where a quiet check that failed a value had got to in a container
    // around it: every item or entry before the one it stopped at passed.
    struct StopPoint {
        PyObject* container;
        const ValidatorNode* node;  // the container's node (a list's: its item validator)
        Py_ssize_t index;  // of the item, or of the entry in iteration order
        Py_ssize_t position;  // a dict's iteration position after the entry
        PyObject* key;  // the entry, borrowed (dicts only)
        PyObject* value;
#ifdef Py_GIL_DISABLED
        // Free-threaded, the copy of the dict's entries the check went over
        // (which holds the entry): the walk goes on over the same copy.
        std::shared_ptr<const void> entries{};
#endif
    };
    // The walk that follows a failed check goes into the child that failed,
    // and into that child's failed child, and so on: it starts each of those
    // containers where the check stopped, so that no part of the data is
    // checked twice whatever the tree's height. The stops are recorded
    // innermost first, once the container has been found to hold what the
    // check read.
    QUILLANE_NOINLINE QUILLANE_COLD void record_stop(StopPoint stop) {
        if (stops_made_at_ != walks.python_code_runs()) {
            stops_.clear();
            stops_made_at_ = walks.python_code_runs();
        }
        stops_.push_back(stop);
    }
    // The stop for `container` under `node`, if the last failed check left
    // one and no Python code has run since (which could have changed what
    // was passed).
    std::optional<StopPoint> take_stop(PyObject* container, const ValidatorNode& node) {
        if (stops_.empty()) [[likely]] {
            return std::nullopt;
        }
        return take_stop_slow(container, node);
    }
    // Before each check the walk runs: a stop left by an earlier failure (of
    // a walk that ended before reaching it) must not be taken for one of the
    // next.
    void forget_stops() noexcept { stops_.clear(); }

private:
    QUILLANE_NOINLINE std::optional<StopPoint> take_stop_slow(PyObject* container, const ValidatorNode& node) {
        const StopPoint stop = stops_.back();
        if (stop.container != container || stop.node != &node || stops_made_at_ != walks.python_code_runs()) {
            stops_.clear();
            return std::nullopt;
        }
        stops_.pop_back();
        return stop;
    }

    std::optional<PendingError> error_;
    std::vector<StopPoint> stops_;
    // The count of places where Python code may run when the stops were made.
    uint64_t stops_made_at_ = 0;
};

}  // namespace quillane
