// Validation walk, one case per node kind; error entries are built out of
// line so that the path for conforming values stays short.
#include "engine/validation_walk.hpp"

#include "engine/field_lookup.hpp"
#include "engine/length_kinds.hpp"
#include "engine/number_kinds.hpp"
#include "engine/type_tests.hpp"
#include "runtime/dict_iteration.hpp"
#include "runtime/inlining.hpp"
#include "runtime/list_iteration.hpp"
#include "runtime/recursion_guard.hpp"

#include <algorithm>
#include <vector>

namespace quillane {
namespace {

constexpr const char* kRecursionWhere = " while collecting validation errors";

Ref new_str(std::string_view text) {
    Ref str = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!str) [[unlikely]] {
        throw_api_call_failed();
    }
    return str;
}

// Folds a child's outcome into its container's: true to go on with the next
// child, false to hand `outcome` straight up.
bool absorb(Verdict child, bool& all_valid) noexcept {
    if (child == Verdict::Fail) {
        all_valid = false;
        return true;
    }
    return child == Verdict::Pass;
}

Verdict from_flag(bool all_valid) noexcept { return all_valid ? Verdict::Pass : Verdict::Fail; }

}  // namespace

namespace {

bool holds_no_references(PyObject* value) noexcept {
    return value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
           PyUnicode_CheckExact(value);
}

// Appends (path, message, value) with the message str already made.
Status push_entry(PyObject* errors, std::string_view path, Ref message, PyObject* value) {
    Ref path_str = new_str(path);
    Ref entry = Ref::steal(PyTuple_New(3));
    if (!entry) [[unlikely]] {
        throw_api_call_failed();
    }
    PyTuple_SET_ITEM(entry.get(), 0, path_str.release());
    PyTuple_SET_ITEM(entry.get(), 1, message.release());
    PyTuple_SET_ITEM(entry.get(), 2, Ref::borrow(value).release());
    // Two strs and a value of a type that can never hold references make a
    // tuple that can never be part of a cycle: keep it away from the cyclic
    // collector. A container is not such a value even while it is untracked
    // (empty, or holding only atoms): it may later be made to hold the error
    // list itself.
    if (holds_no_references(value)) {
        PyObject_GC_UnTrack(entry.get());
    }
    if (PyList_Append(errors, entry.get()) != 0) {
        return fail(error_of_failed_call());
    }
    return {};
}

}  // namespace

Status push_error(PyObject* errors, std::string_view path, std::string_view message, PyObject* value) {
    return push_entry(errors, path, new_str(message), value);
}

QUILLANE_NOINLINE QUILLANE_COLD Verdict ValidationWalk::report(std::string_view message, PyObject* value) {
    Status appended = push_error(errors_, path_.render(), message, value);
    return appended ? Verdict::Fail : call_.fail_with(std::move(appended).error());
}

// Entries with the same fixed message share one str per walk.
QUILLANE_NOINLINE QUILLANE_COLD Verdict ValidationWalk::report_fixed(FixedMessage message, PyObject* value) {
    Ref& text = fixed_messages_[static_cast<size_t>(message)];
    if (!text) {
        text = new_str(fixed_message_text(message));
    }
    Status appended = push_entry(errors_, path_.render(), text, value);
    return appended ? Verdict::Fail : call_.fail_with(std::move(appended).error());
}

Verdict ValidationWalk::walk_node(const ValidatorNode& node, PyObject* value) {
    switch (node.kind) {
        case NodeKind::Any:
            return Verdict::Pass;
        case NodeKind::Bool:
            return is_exact_bool(value) ? Verdict::Pass : report_fixed(FixedMessage::ExpectedBool, value);
        case NodeKind::Int:
        case NodeKind::IntRange:
        case NodeKind::IntRangeExclusive:
            return walk_int(*this, node.bounds, value);
        case NodeKind::Float:
            return is_float(value) ? Verdict::Pass : report_fixed(FixedMessage::ExpectedFloat, value);
        case NodeKind::FloatRange:
        case NodeKind::FloatRangeExclusive:
            return walk_float(*this, node.bounds, value);
        case NodeKind::Str:
            return walk_str(*this, node.lengths, value);
        case NodeKind::List:
        case NodeKind::ListSized:
            return walk_list(node, value);
        case NodeKind::Dict:
            return walk_dict(node, value);
        case NodeKind::Fields:
            return walk_fields(node, value);
    }
    // Not reached by any kind (see ConformanceCheck::check_node): a value out
    // of the enum's range leaves the data undecided, so that the caller
    // validates it with its own code.
    return Verdict::Undecided;
}

Verdict ValidationWalk::walk_list(const ValidatorNode& node, PyObject* value) {
    if (!is_list(value)) {
        // A tuple may be acceptable to the caller's own validation.
        return is_tuple(value) ? Verdict::Undecided : report_fixed(FixedMessage::ExpectedList, value);
    }
    // The length is read once, for its bounds and for the walk of the items
    // (free-threaded, another thread may change the list meanwhile).
    const Py_ssize_t length = PyList_GET_SIZE(value);
    const Verdict length_verdict = walk_list_length(*this, node, value, length);
    if (length_verdict != Verdict::Pass) {
        return length_verdict;
    }
#ifdef Py_GIL_DISABLED
    return walk_items(*node.element, value, length);
#else
    return walk_items(*node.element, value);
#endif
}

Verdict ValidationWalk::walk_root(const ValidatorNode& root, PyObject* data) {
    // A record at the root is checked whole first: its entries are few, and
    // a passing check leaves nothing to walk.
    if (root.kind == NodeKind::Fields) {
        call_.forget_stops();
        const Verdict whole = check_.check_value(root, data);
        if (whole == Verdict::Pass) {
            return Verdict::Pass;
        }
        if (whole == Verdict::Error) [[unlikely]] {
            return Verdict::Error;
        }
    }
    return walk_node(root, data);
}

#ifdef Py_GIL_DISABLED
Verdict ValidationWalk::walk_items(const ValidatorNode& item_validator, PyObject* list, Py_ssize_t length) {
#else
Verdict ValidationWalk::walk_items(const ValidatorNode& item_validator, PyObject* list) {
#endif
    RecursionGuard depth(kRecursionWhere, call_.guarded, call_.stack_floor);
    if (!depth.entered()) [[unlikely]] {
        return call_.fail_with(error_of_failed_call());
    }
#ifdef Py_GIL_DISABLED
    ListIteration items(list, call_.walks, length);
#else
    ListIteration items(list, call_.walks);
#endif
    bool all_valid = true;
    // Where the check of the list stopped, if it was checked: the items
    // before that one passed.
    std::optional<CallContext::StopPoint> stop = call_.take_stop(list, item_validator);
    for (Py_ssize_t next = 0;;) {
        Py_ssize_t index = 0;
        if (stop) [[unlikely]] {
            index = stop->index;
            stop.reset();
        } else {
            call_.forget_stops();
            const FailingItem failing = check_.next_failing_item(item_validator, items, next);
            if (failing.verdict == Verdict::Pass) {
                return from_flag(all_valid);
            }
            if (failing.verdict == Verdict::Error) [[unlikely]] {
                return Verdict::Error;
            }
            index = failing.index;
        }
        // The check may have let signal handlers run: the item is read again.
        Ref item = items.item_at(index);
        PathStep step(path_, static_cast<uint64_t>(index));
        Verdict outcome = walk_node(item_validator, item.get());
        if (!absorb(outcome, all_valid)) {
            return outcome;
        }
        if (call_.poll_signals() != Verdict::Pass) [[unlikely]] {
            return Verdict::Error;
        }
        next = index + 1;
    }
}

template <class EntryCursor, class EntryWalk>
Verdict ValidationWalk::walk_entries(const ValidatorNode& node, PyObject* dict, EntryCursor next_failing,
                                     EntryWalk walk_entry) {
    RecursionGuard depth(kRecursionWhere, call_.guarded, call_.stack_floor);
    if (!depth.entered()) [[unlikely]] {
        return call_.fail_with(error_of_failed_call());
    }
    DictIteration entries(dict, call_.walks);
    bool all_valid = true;
    FailingEntry failing;
    // Where the check of the dict stopped, if it was checked: the entries
    // before that one passed.
    std::optional<CallContext::StopPoint> stop = call_.take_stop(dict, node);
    if (stop) [[unlikely]] {
#ifdef Py_GIL_DISABLED
        entries.resume_at(stop->position, stop->entries);
#else
        entries.resume_at(stop->position);
#endif
        failing = {stop->key, stop->value, static_cast<size_t>(stop->index), Verdict::Fail};
    }
    for (bool resumed = stop.has_value();; resumed = false) {
        if (!resumed) {
            failing = next_failing(entries, failing.verdict == Verdict::Pass ? 0 : failing.index + 1);
            if (failing.verdict == Verdict::Pass) {
                return from_flag(all_valid);
            }
            if (failing.verdict == Verdict::Error) [[unlikely]] {
                return Verdict::Error;
            }
        }
        // The check may have let signal handlers run: the entry is used only
        // if the dict is as it was.
        entries.verify_unchanged();
        Ref key = Ref::borrow(failing.key);
        Ref entry_value = Ref::borrow(failing.value);
        if (!is_str(key.get())) {
            return Verdict::Undecided;
        }
        Verdict outcome = walk_entry(key.get(), entry_value.get(), failing.index);
        if (!absorb(outcome, all_valid)) {
            return outcome;
        }
        if (call_.poll_signals() != Verdict::Pass) [[unlikely]] {
            return Verdict::Error;
        }
    }
}

// A key that names no field leaves the record undecided, unless it has no
// UTF-8 form (reading it as a name raises).
QUILLANE_NOINLINE QUILLANE_COLD Verdict ValidationWalk::walk_unmatched_key(PyObject* key) {
    return call_.scans.has_lone_surrogate(key) ? call_.fail_with(no_utf8_form(key)) : Verdict::Undecided;
}

Verdict ValidationWalk::walk_dict(const ValidatorNode& node, PyObject* value) {
    if (!is_dict(value)) {
        return report_fixed(FixedMessage::ExpectedDict, value);
    }
    // The check runs over the entries until one fails, and gives that one.
    auto next_failing = [&](DictIteration& entries, size_t index) {
        call_.forget_stops();
        return check_.next_failing_entry(*node.element, entries, index);
    };
    return walk_entries(node, value, next_failing, [&](PyObject* key, PyObject* entry_value, size_t) {
        // Keys are read as text for the paths, so one without a UTF-8 form
        // raises here even where no entry needs its path.
        if (call_.scans.has_lone_surrogate(key)) [[unlikely]] {
            return call_.fail_with(no_utf8_form(key));
        }
        PathStep step(path_, key);
        return walk_node(*node.element, entry_value);
    });
}

Verdict ValidationWalk::walk_fields(const ValidatorNode& node, PyObject* value) {
    if (!is_dict(value)) {
        return report_fixed(FixedMessage::ExpectedDict, value);
    }
    const size_t field_count = node.fields.size();
    const auto entry_count = static_cast<size_t>(PyDict_GET_SIZE(value));
    if (entry_count > field_count) {
        // Some key names no field: a closed record cannot decide about it.
        return Verdict::Undecided;
    }
    // With as many entries as fields, every field is matched by a key of its
    // own, so none can be missing and no flags are needed, as long as the
    // keys are distinct texts. Keys of exact str type are; a key of a str
    // subclass with an equality of its own may repeat another key's text, so
    // the first such key has every field's presence flagged at once.
    bool may_miss = entry_count < field_count;
    bool presence_checked = may_miss;
    std::vector<uint8_t> seen(may_miss ? field_count : 0, 0);
    // An entry whose key is an exact str naming a field, and whose value the
    // check passes, needs nothing more than its flag.
    auto next_failing = [&](DictIteration& entries, size_t index) -> FailingEntry {
#ifdef Py_GIL_DISABLED
        // Free-threaded, the walk goes over a copy of the entries, made after
        // the size above was read: another thread's change in between is
        // seen here.
        if (static_cast<size_t>(entries.size()) != entry_count) [[unlikely]] {
            throw_fault("dictionary changed size during iteration");
        }
#endif
        PyObject* key = nullptr;
        PyObject* entry_value = nullptr;
        for (;; ++index) {
            if (!entries.next_borrowed(key, entry_value)) {
                return {nullptr, nullptr, index, Verdict::Pass};
            }
            const FieldEntry* field = PyUnicode_CheckExact(key) ? find_field(node, key, index) : nullptr;
            call_.forget_stops();
            Verdict verdict = field != nullptr ? check_.check_value(field->validator, entry_value) : Verdict::Fail;
            if (verdict != Verdict::Pass) {
                return {key, entry_value, index, verdict};
            }
            if (may_miss) {
                seen[static_cast<size_t>(field - node.fields.data())] = 1;
            }
            verdict = call_.poll_signals();
            if (verdict != Verdict::Pass) [[unlikely]] {
                return {key, entry_value, index, verdict};
            }
        }
    };
    if (may_miss) {
        // Entries the check passed would need their fields flagged; it
        // checks only records with a key for every field, so it has none.
        call_.forget_stops();
    }
    Verdict outcome = walk_entries(node, value, next_failing, [&](PyObject* key, PyObject* entry_value, size_t index) {
        const FieldEntry* field = find_field(node, key, index);
        if (field == nullptr) [[unlikely]] {
            return walk_unmatched_key(key);
        }
        if (!PyUnicode_CheckExact(key) && !presence_checked) [[unlikely]] {
            presence_checked = true;
            seen = fields_named(node, value);
            may_miss = std::ranges::find(seen, 0) != seen.end();
        }
        if (may_miss) {
            seen[static_cast<size_t>(field - node.fields.data())] = 1;
        }
        PathStep step(path_, field->name.utf8);
        return walk_node(field->validator, entry_value);
    });
    if (!may_miss || outcome == Verdict::Error || outcome == Verdict::Undecided) {
        return outcome;
    }
    Verdict missing = report_missing_fields(node, seen);
    return missing == Verdict::Pass ? outcome : missing;
}

Verdict ValidationWalk::report_missing_fields(const ValidatorNode& node, const std::vector<uint8_t>& seen) {
    Verdict outcome = Verdict::Pass;
    for (size_t i = 0; i < node.fields.size(); ++i) {
        if (seen[i] != 0) {
            continue;
        }
        PathStep step(path_, node.fields[i].name.utf8);
        outcome = report_fixed(FixedMessage::MissingField, Py_None);
        if (outcome == Verdict::Error) {
            return outcome;
        }
    }
    return outcome;
}

}  // namespace quillane
