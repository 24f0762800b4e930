// The conformance check behind validate: does a value conform to a tree?
// Short-circuits at the first value that does not; builds nothing.
#pragma once

#include "engine/call_context.hpp"
#include "runtime/dict_iteration.hpp"
#include "runtime/failure.hpp"
#include "runtime/inlining.hpp"
#include "runtime/list_iteration.hpp"
#include "schema/validator_node.hpp"

#include <vector>

namespace quillane {

// The check of one call. Its state is the call's context, which it holds in
// line (read in every loop, it is one offset from the check, not a pointer
// away) and which the walk that drives it in quiet mode shares by reference.
class ConformanceCheck {
public:
    ConformanceCheck(bool guarded, const char* stack_floor, bool quiet) noexcept : call_(guarded, stack_floor, quiet) {}

    CallContext& context() noexcept { return call_; }

    // Whether `value` conforms to the tree `root`, or to a field validator.
    Verdict check_value(const ValidatorNode& node, PyObject* value);

    // The cursor the walk moves over a container's children: the first
    // child from `start` (a list's index; for a dict, the iteration's
    // position, `index` counting its entries) that does not pass, with its
    // verdict; Pass past the last child.
    FailingItem next_failing_item(const ValidatorNode& item_validator, ListIteration& items, Py_ssize_t start);
    // A key that is not a str fails.
    FailingEntry next_failing_entry(const ValidatorNode& value_validator, DictIteration& entries, size_t index);

private:
    // Records where a quiet check stopped, once the container has been found
    // to hold what the check read.
    template <class Iteration>
    QUILLANE_NOINLINE QUILLANE_COLD void record_stop(Iteration& iteration, CallContext::StopPoint stop);
    // Whether the check of a kind may run Python code (Guarded: an int
    // kind's __index__, a container's walk) or must not (Plain).
    enum class Mode : uint8_t { Guarded, Plain };
    template <Mode mode = Mode::Guarded, class Use>
    Verdict with_kind_check(const ValidatorNode& node, Use use);
    // Leaf kinds are checked in line where this is called (in every
    // container loop), containers out of line.
    Verdict check_node(const ValidatorNode& node, PyObject* value);
    Verdict check_list(const ValidatorNode& node, PyObject* value);
    Verdict check_short_leaf_list(const ValidatorNode& item_validator, PyObject* list, Py_ssize_t length);
    // The guarded loop over the items from `start` on.
    // Free-threaded, with the list's length as the caller read it, which the
    // walk then keeps.
#ifdef Py_GIL_DISABLED
    Verdict check_items(const ValidatorNode& item_validator, PyObject* list, Py_ssize_t start, Py_ssize_t length);
#else
    Verdict check_items(const ValidatorNode& item_validator, PyObject* list, Py_ssize_t start);
#endif
    // The loops behind the cursor, with `check_item(item)` or
    // `check_entry(key, value)` the check of one child.
    template <class ItemCheck>
    FailingItem first_failing_item(ListIteration& items, Py_ssize_t index, ItemCheck check_item);
    template <class EntryCheck>
    FailingEntry first_failing_entry(DictIteration& entries, size_t index, EntryCheck check_entry);
    Verdict check_dict(const ValidatorNode& node, PyObject* dict);
    Verdict check_fields(const ValidatorNode& node, PyObject* dict);
    Verdict match_other_key(const ValidatorNode& node, PyObject* dict, PyObject* key, size_t index,
                            bool& presence_checked, const FieldEntry*& field);

    // Whether a key under a Dict node passes: a str, and for the quiet check
    // one with a UTF-8 form.
    bool key_passes(PyObject* key);

    CallContext call_;
};

}  // namespace quillane
