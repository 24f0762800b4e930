// The conformance check behind validate: does a value conform to a tree?
// Short-circuits at the first value that does not; builds nothing.
#pragma once

#include "engine/surrogate_scan.hpp"
#include "runtime/dict_iteration.hpp"
#include "runtime/failure.hpp"
#include "runtime/inlining.hpp"
#include "runtime/list_iteration.hpp"
#include "runtime/signal_poll.hpp"
#include "schema/validator_node.hpp"

#include <optional>
#include <vector>

namespace quillane {

// Pass: the value conforms. Reject: it does not (validate answers None).
// Error: a Python exception ended the check (a read raised, the recursion
// limit was reached); it waits in the check (take_error) for validate to
// raise.
enum class CheckResult : uint8_t { Pass, Reject, Error };

// What a check does with a value it cannot judge without running the data's
// own Python code or raising about the data.
enum class CheckMode : uint8_t {
    // validate's check: runs an __index__ method where it meets one, raises
    // for a str without a UTF-8 form or at the recursion limit.
    Full,
    // The fast path of collect: Pass only for what it can tell conforms
    // without either; Reject for anything else (the walk then looks at it
    // itself, running that code once, or raising). Signal handlers still
    // run, and a handler's exception is still an Error.
    Quiet,
};

class ConformanceCheck {
public:
    // `guarded`: every container level enters the interpreter's recursion
    // counter and checks the stack left below `stack_floor` (null: no
    // stack check).
    ConformanceCheck(bool guarded, const char* stack_floor, CheckMode mode = CheckMode::Full) noexcept
        : guarded_(guarded), quiet_(mode == CheckMode::Quiet), stack_floor_(stack_floor) {}

    // Whether `value` conforms to the tree `root`.
    CheckResult check_root(const ValidatorNode& root, PyObject* value);

    // The items of `items` from index `start` on, checked until one does
    // not pass: its index, with its result in `result`; else the list's
    // length, with Pass.
    Py_ssize_t check_items_from(const ValidatorNode& item_validator, ListIteration& items, Py_ssize_t start,
                                CheckResult& result);
    // The same for a dict's entries from the iteration's position on, under
    // one value validator; a key that is not a str fails. True, with the
    // entry borrowed and its index in iteration order, when one failed.
    bool check_entries_from(const ValidatorNode& value_validator, DictIteration& entries, size_t& index, PyObject*& key,
                            PyObject*& value, CheckResult& result);

    // Counts one value for the signal poll: Error (kept for take_error) when
    // a handler raised.
    QUILLANE_ALWAYS_INLINE CheckResult poll_signals() {
        if (signals_.raised(walks_)) [[unlikely]] {
            return stop_with_error(error_of_failed_call());
        }
        return CheckResult::Pass;
    }

    // The exception that ended the check, when it returned Error.
    PendingError take_error() { return std::move(*error_); }

    // Where a quiet check that rejected a value had got to in a container
    // around it: every item or entry before the one it stopped at passed.
    struct StopPoint {
        PyObject* container;
        const ValidatorNode* node;  // the container's node (a list's: its item validator)
        Py_ssize_t index;           // of the item, or of the entry in iteration order
        Py_ssize_t position;        // a dict's iteration position after the entry
        PyObject* key;              // the entry, borrowed (dicts only)
        PyObject* value;
    };
    // The walk that follows a rejection goes into the child rejected, and
    // into that child's rejected child, and so on: it starts each of those
    // containers where the check stopped, so that no part of the data is
    // checked twice whatever the tree's height. The stop for `container`
    // under `node`, if the last rejection left one and no Python code has
    // run since (which could have changed what was passed).
    // Before each check the walk runs: a stop left by an earlier rejection
    // (of a walk that ended before reaching it) must not be taken for one of
    // the next.
    void forget_stops() noexcept { stops_.clear(); }
    std::optional<StopPoint> take_stop(PyObject* container, const ValidatorNode& node) {
        if (stops_.empty()) [[likely]] {
            return std::nullopt;
        }
        return take_stop_slow(container, node);
    }

    // What the walk behind collect shares with its fast path.
    SurrogateScans& scans() noexcept { return scans_; }
    ContainerWalks& walks() noexcept { return walks_; }

private:
    std::optional<PendingError> error_;
    // The stops of the last quiet rejection, innermost first, and the count
    // of places where Python code may run when they were made.
    std::vector<StopPoint> stops_;
    uint64_t stops_made_at_ = 0;
    QUILLANE_NOINLINE std::optional<StopPoint> take_stop_slow(PyObject* container, const ValidatorNode& node);
    // Records where a quiet check stopped, once the container has been found
    // to hold what the check read.
    template <class Iteration>
    QUILLANE_NOINLINE QUILLANE_COLD void record_stop(Iteration& iteration, StopPoint stop);
    QUILLANE_NOINLINE QUILLANE_COLD void record_stop(StopPoint stop);
    // Keeps the exception for take_error and ends the check with Error.
    CheckResult stop_with_error(PendingError pending);
    // Leaf kinds are checked in line where this is called (in every
    // container loop), containers out of line.
    CheckResult check_node(const ValidatorNode& node, PyObject* value);
    CheckResult check_int(const ValidatorNode& node, PyObject* value);
    CheckResult check_float(const ValidatorNode& node, PyObject* value);
    CheckResult check_str(const ValidatorNode& node, PyObject* value);
    CheckResult check_list(const ValidatorNode& node, PyObject* value);
    CheckResult check_short_leaf_list(const ValidatorNode& item_validator, PyObject* list, Py_ssize_t length);
    // The items of a short list, while they are leaves that need no Python
    // code: the index of the first that fails (its result in `result`), or
    // of the first that needs the guarded loop (with Pass), else `length`.
    Py_ssize_t check_leaf_items(const ValidatorNode& item_validator, PyObject* list, Py_ssize_t length,
                                CheckResult& result);
    // The guarded loop over the items from `start` on.
    CheckResult check_items(const ValidatorNode& item_validator, PyObject* list, Py_ssize_t start);
    // Calls `loop(check)`, with `check(value)` the check of `node` on one
    // value, written out for each leaf kind that long containers are made
    // of: the kind is told once per container, not once per value.
    template <class Loop>
    CheckResult with_value_check(const ValidatorNode& node, Loop loop);
    // Runs `check_item(item)` on the items from `index` on, as
    // check_items_from.
    template <class ItemCheck>
    Py_ssize_t check_each_item(ListIteration& items, Py_ssize_t index, CheckResult& result, ItemCheck check_item);
    // Runs `check_entry(key, value, index)` on the entries from the
    // iteration's position on (`index` counts them), as check_entries_from.
    template <class EntryCheck>
    bool check_each_entry(DictIteration& entries, size_t& index, PyObject*& key, PyObject*& value, CheckResult& result,
                          EntryCheck check_entry);
    // Runs `check_entries(entries, index, key, value, result)` over the
    // dict's iteration, inside the recursion guard, and gives its result.
    template <class EntriesCheck>
    CheckResult over_entries(const ValidatorNode& node, PyObject* dict, EntriesCheck check_entries);
    CheckResult check_dict(const ValidatorNode& node, PyObject* dict);
    CheckResult check_fields(const ValidatorNode& node, PyObject* dict);
    CheckResult match_other_key(const ValidatorNode& node, PyObject* dict, PyObject* key, size_t index,
                                bool& presence_checked, const FieldEntry*& field);

    // Whether a key under a Dict node passes: a str, and for the quiet check
    // one with a UTF-8 form.
    bool key_passes(PyObject* key);
    // Rejects what a Full check would run Python code or raise for.
    QUILLANE_NOINLINE QUILLANE_COLD CheckResult reject_quietly_or(PendingError pending);

    bool guarded_;
    bool quiet_;
    const char* stack_floor_;
    ContainerWalks walks_;
    SurrogateScans scans_{walks_};
    SignalPoll signals_;
};

}  // namespace quillane
