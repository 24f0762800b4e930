// The conformance check behind validate: does a value conform to a tree?
// Short-circuits at the first value that does not; builds nothing.
#pragma once

#include "engine/surrogate_scan.hpp"
#include "runtime/failure.hpp"
#include "runtime/signal_poll.hpp"
#include "schema/validator_node.hpp"

#include <optional>

namespace quillane {

// Pass: the value conforms. Reject: it does not (validate answers None).
// Error: a Python exception ended the check (a read raised, the recursion
// limit was reached); it waits in the check (take_error) for validate to
// raise.
enum class CheckResult : uint8_t { Pass, Reject, Error };

class ConformanceCheck {
public:
    // `guarded`: every container level enters the interpreter's recursion
    // counter and checks the stack left below `stack_floor` (null: no
    // stack check).
    ConformanceCheck(bool guarded, const char* stack_floor) noexcept : guarded_(guarded), stack_floor_(stack_floor) {}

    // Whether `value` conforms to the tree `root`.
    CheckResult check_root(const ValidatorNode& root, PyObject* value);

    // The exception that ended the check, when it returned Error.
    PendingError take_error() { return std::move(*error_); }

private:
    std::optional<PendingError> error_;
    // Keeps the exception for take_error and ends the check with Error.
    CheckResult stop_with_error(PendingError pending);
    // Leaf kinds are checked in line where this is called (in every
    // container loop), containers out of line.
    CheckResult check_node(const ValidatorNode& node, PyObject* value);
    CheckResult check_int(const ValidatorNode& node, PyObject* value);
    CheckResult check_float(const ValidatorNode& node, PyObject* value);
    CheckResult check_str(const ValidatorNode& node, PyObject* value);
    CheckResult check_list(const ValidatorNode& node, PyObject* value);
    CheckResult check_items(const ValidatorNode& item_validator, PyObject* list);
    // Runs `check_entry(key, value, index)` on each of the dict's entries,
    // stopping at the first result other than Pass.
    template <class EntryCheck>
    CheckResult check_entries(PyObject* dict, EntryCheck check_entry);
    CheckResult check_dict(const ValidatorNode& node, PyObject* dict);
    CheckResult check_fields(const ValidatorNode& node, PyObject* dict);

    bool guarded_;
    const char* stack_floor_;
    SurrogateScans scans_;
    SignalPoll signals_;
    DictWalks walks_;
};

}  // namespace quillane
