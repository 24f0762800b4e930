// The validation walk behind collect: every violation in a value, as
// (path, message, value) tuples appended to a list.
#pragma once

#include "engine/conformance_check.hpp"
#include "engine/messages.hpp"
#include "engine/path_trail.hpp"
#include "runtime/failure.hpp"
#include "schema/validator_node.hpp"

#include <array>
#include <optional>
#include <string_view>

namespace quillane {

// Appends (path, message, value) to `errors`. A failed append is returned; a
// failure to create the strs or the tuple is an internal fault.
Status push_error(PyObject* errors, std::string_view path, std::string_view message, PyObject* value);

class ValidationWalk {
public:
    // `errors` is the list that receives the entries, borrowed for the walk.
    // The walk runs its quiet check over each container and walks only what
    // the check does not pass; the two share the call's context. `guarded`
    // and `stack_floor` as for CallContext.
    ValidationWalk(PyObject* errors, bool guarded, const char* stack_floor)
        : errors_(errors), check_(guarded, stack_floor, /*quiet=*/true), call_(check_.context()) {}

    CallContext& context() noexcept { return call_; }

    // The walk of the whole data.
    Verdict walk_root(const ValidatorNode& root, PyObject* data);

    // Appends an entry for `value` at the current path: Fail, or Error when
    // the append raised. The kind families' walks report through these.
    Verdict report(std::string_view message, PyObject* value);
    Verdict report_fixed(FixedMessage message, PyObject* value);

private:
    // Most data conforms: a container's walk runs the quiet check over its
    // children and walks only the children that it does not pass, so that
    // conforming data costs what validate costs, with no reference, path
    // step or entry made for it.
    Verdict walk_node(const ValidatorNode& node, PyObject* value);
    Verdict walk_unmatched_key(PyObject* key);
    Verdict walk_list(const ValidatorNode& node, PyObject* value);
#ifdef Py_GIL_DISABLED
    // Free-threaded, with the list's length as the caller read it.
    Verdict walk_items(const ValidatorNode& item_validator, PyObject* list, Py_ssize_t length);
#else
    Verdict walk_items(const ValidatorNode& item_validator, PyObject* list);
#endif
    // Walks, with `walk_entry(key, value, index)`, which gives the entry's
    // verdict, each entry that the cursor `next_failing(entries, index)`
    // stops at (a FailingEntry; Pass at the end); a non-str key is
    // Undecided. `node` is the dict's.
    template <class EntryCursor, class EntryWalk>
    Verdict walk_entries(const ValidatorNode& node, PyObject* dict, EntryCursor next_failing, EntryWalk walk_entry);
    Verdict walk_dict(const ValidatorNode& node, PyObject* value);
    Verdict walk_fields(const ValidatorNode& node, PyObject* value);
    Verdict report_missing_fields(const ValidatorNode& node, const std::vector<uint8_t>& seen);

    PyObject* errors_;
    ConformanceCheck check_;
    CallContext& call_;
    PathTrail path_;
    std::array<Ref, kFixedMessageCount> fixed_messages_;
};

}  // namespace quillane
