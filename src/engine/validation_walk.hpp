// The validation walk behind collect: every violation in a value, as
// (path, message, value) tuples appended to a list.
#pragma once

#include "engine/conformance_check.hpp"
#include "engine/messages.hpp"
#include "engine/path_trail.hpp"
#include "engine/surrogate_scan.hpp"
#include "runtime/failure.hpp"
#include "runtime/signal_poll.hpp"
#include "schema/validator_node.hpp"

#include <array>
#include <optional>
#include <string_view>

namespace quillane {

// Valid: no violation. Invalid: violations, each appended to the error list.
// Undecided: the walk cannot tell (collect answers None). Error: a Python
// exception ended the walk (a read or an append raised, the recursion limit
// was reached); it waits in the walk (take_error) for collect to raise.
enum class WalkOutcome : uint8_t { Valid, Invalid, Undecided, Error };

// Appends (path, message, value) to `errors`. A failed append is returned; a
// failure to create the strs or the tuple is an internal fault.
Status push_error(PyObject* errors, std::string_view path, std::string_view message, PyObject* value);

class ValidationWalk {
public:
    // `errors` is the list that receives the entries, borrowed for the walk.
    // `guarded`: every container level enters the interpreter's recursion
    // counter and checks the stack left below `stack_floor` (null: no stack
    // check).
    ValidationWalk(PyObject* errors, bool guarded, const char* stack_floor)
        : errors_(errors),
          guarded_(guarded),
          stack_floor_(stack_floor),
          check_(guarded, stack_floor, CheckMode::Quiet) {}

    // The walk of the whole data.
    WalkOutcome walk_root(const ValidatorNode& root, PyObject* data);

    // The exception that ended the walk, when it returned Error.
    PendingError take_error() { return std::move(*error_); }

private:
    std::optional<PendingError> error_;
    // Keeps the exception for take_error and ends the walk with Error.
    WalkOutcome stop_with_error(PendingError pending);
    WalkOutcome report(std::string_view message, PyObject* value);
    WalkOutcome report_fixed(FixedMessage message, PyObject* value);

    // Most data conforms: a container's walk runs the quiet check over its
    // children and walks only the children that it does not pass, so that
    // conforming data costs what validate costs, with no reference, path
    // step or entry made for it.
    WalkOutcome walk_node(const ValidatorNode& node, PyObject* value);
    WalkOutcome walk_int(const ValidatorNode& node, PyObject* value);
    WalkOutcome walk_unmatched_key(PyObject* key);
    WalkOutcome walk_float(const ValidatorNode& node, PyObject* value);
    WalkOutcome walk_str(const ValidatorNode& node, PyObject* value);
    WalkOutcome walk_list(const ValidatorNode& node, PyObject* value);
    WalkOutcome walk_items(const ValidatorNode& item_validator, PyObject* list);
    // Walks each entry's value with `walk_entry(key, value, index)`, which
    // gives the entry's outcome, for the entries that `passes(entries, key,
    // value, index, result)` stops at (false at the end); a non-str key is
    // Undecided. `node` is the dict's.
    template <class EntryCheck, class EntryWalk>
    WalkOutcome walk_entries(const ValidatorNode& node, PyObject* dict, EntryCheck passes, EntryWalk walk_entry);
    WalkOutcome walk_dict(const ValidatorNode& node, PyObject* value);
    WalkOutcome walk_fields(const ValidatorNode& node, PyObject* value);
    WalkOutcome report_missing_fields(const ValidatorNode& node, const std::vector<uint8_t>& seen);

    PyObject* errors_;
    bool guarded_;
    const char* stack_floor_;
    PathTrail path_;
    ConformanceCheck check_;  // quiet; holds the state the walk shares with it
    std::array<Ref, kFixedMessageCount> fixed_messages_;
};

}  // namespace quillane
