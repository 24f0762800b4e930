// Conformance check, one case per node kind.
//
// Values are borrowed from their containers. Python code can run only in an
// integer read (an __index__ method), and nothing reads the value after
// that; the containers themselves take hold before it runs (see
// ContainerWalks), so a value freed by such code is never touched again.
#include "engine/conformance_check.hpp"

#include "engine/field_lookup.hpp"
#include "engine/length_kinds.hpp"
#include "engine/number_kinds.hpp"
#include "engine/type_tests.hpp"
#include "runtime/dict_iteration.hpp"
#include "runtime/inlining.hpp"
#include "runtime/list_iteration.hpp"
#include "runtime/recursion_guard.hpp"

#include <algorithm>

namespace quillane {
namespace {

constexpr const char* kRecursionWhere = " while validating data";

// The check of a value that the plain loop leaves to the guarded one.
constexpr auto kNeedsGuardedLoop = [](PyObject*) { return Verdict::Undecided; };

#ifndef Py_GIL_DISABLED
// Kinds whose values hold no other values (for the plain loop over a short
// list of them, which a free-threaded build does not take).
bool is_leaf_kind(NodeKind kind) noexcept {
    return kind != NodeKind::List && kind != NodeKind::ListSized && kind != NodeKind::Dict && kind != NodeKind::Fields;
}
#endif

}  // namespace

QUILLANE_ALWAYS_INLINE bool ConformanceCheck::key_passes(PyObject* key) {
    return is_str(key) && !(call_.quiet && call_.scans.has_lone_surrogate(key));
}

// The one switch on a node's kind. Every value's check, in every container
// loop and at the root, comes through here: `use(check)`, with `check(value)`
// the check of `node` on one value. A container's loop is the `use`, so that
// the kind is told once per container, not once per value. In the plain
// mode (a short list's loop, which runs no Python code) an int kind's item
// that is not a compact int, and a container, answer Undecided: the guarded
// loop takes over from that item.
template <ConformanceCheck::Mode mode, class Use>
QUILLANE_ALWAYS_INLINE Verdict ConformanceCheck::with_kind_check(const ValidatorNode& node, Use use) {
    constexpr bool plain = mode == Mode::Plain;
    switch (node.kind) {
        case NodeKind::Any:
            return use([](PyObject*) { return Verdict::Pass; });
        case NodeKind::Bool:
            return use([](PyObject* value) { return verdict_of(is_exact_bool(value)); });
        case NodeKind::Int:
        case NodeKind::IntRange:
        case NodeKind::IntRangeExclusive:
            if constexpr (plain) {
                return use([&](PyObject* value) { return check_compact_int(node.bounds, value); });
            } else {
                return use([&](PyObject* value) { return check_int(node.bounds, value, call_); });
            }
        case NodeKind::Float:
            return use([](PyObject* value) { return verdict_of(is_float(value)); });
        case NodeKind::FloatRange:
        case NodeKind::FloatRangeExclusive:
            return use([&](PyObject* value) { return check_float(node.bounds, value, call_); });
        case NodeKind::Str:
            return use([&](PyObject* value) { return check_str(node.lengths, value, call_); });
        case NodeKind::List:
        case NodeKind::ListSized:
            if constexpr (plain) {
                return use(kNeedsGuardedLoop);
            } else {
                return use([&](PyObject* value) { return check_list(node, value); });
            }
        case NodeKind::Dict:
            if constexpr (plain) {
                return use(kNeedsGuardedLoop);
            } else {
                return use([&](PyObject* value) { return check_dict(node, value); });
            }
        case NodeKind::Fields:
            if constexpr (plain) {
                return use(kNeedsGuardedLoop);
            } else {
                return use([&](PyObject* value) { return check_fields(node, value); });
            }
    }
    // Not reached by any kind: the switch has a case for each and no default
    // (a kind added later fails the lint until it has its own). A value out
    // of the enum's range is rejected, never accepted. A fault here (or
    // std::unreachable()) would change the code of the loops this is inlined
    // into, and the walk's frames with it.
    return use([](PyObject*) { return Verdict::Fail; });
}

QUILLANE_ALWAYS_INLINE Verdict ConformanceCheck::check_node(const ValidatorNode& node, PyObject* value) {
    return with_kind_check(node, [&](auto check) QUILLANE_INLINE_LAMBDA { return check(value); });
}

QUILLANE_NOINLINE Verdict ConformanceCheck::check_list(const ValidatorNode& node, PyObject* value) {
    if (!is_list(value)) {
        return Verdict::Fail;
    }
    const Py_ssize_t length = PyList_GET_SIZE(value);
    if (!list_length_passes(node, length)) {
        return Verdict::Fail;
    }
    const ValidatorNode& item_validator = *node.element;
#ifdef Py_GIL_DISABLED
    // Free-threaded, every item is read with a reference of the walk's own,
    // by the guarded loop, and the walk keeps the length checked here.
    return check_items(item_validator, value, 0, length);
#else
    if (length <= static_cast<Py_ssize_t>(SignalPoll::kValuesBetweenPolls) && is_leaf_kind(item_validator.kind)) {
        return check_short_leaf_list(item_validator, value, length);
    }
    return check_items(item_validator, value, 0);
#endif
}

// A short list of leaves (a point's coordinates, a record's tags) takes a
// plain loop: nothing in it can run Python code, so it needs no hold, no
// change detection and no level of the recursion count (the leaves go no
// deeper). An item that would run Python code (an int kind's item that is
// not an int) hands the rest of the list to the guarded loop. Out of line,
// so that check_list, a step of every list level's recursion, keeps a small
// frame.
QUILLANE_NOINLINE Verdict ConformanceCheck::check_short_leaf_list(const ValidatorNode& item_validator, PyObject* list,
                                                                  Py_ssize_t length) {
    PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
    Py_ssize_t index = 0;
    const Verdict result = with_kind_check<Mode::Plain>(item_validator, [&](auto check_item) QUILLANE_INLINE_LAMBDA {
        for (; index < length; ++index) {
            const Verdict verdict = check_item(items[index]);
            if (verdict != Verdict::Pass) [[unlikely]] {
                return verdict;
            }
        }
        return Verdict::Pass;
    });
    if (result == Verdict::Pass) [[likely]] {
        if (call_.signals.raised_after(static_cast<size_t>(length), call_.walks)) [[unlikely]] {
            return call_.fail_with(error_of_failed_call());
        }
        return Verdict::Pass;
    }
    call_.signals.count(static_cast<size_t>(index));
    if (result == Verdict::Undecided) {
#ifdef Py_GIL_DISABLED
        return check_items(item_validator, list, index, length);
#else
        return check_items(item_validator, list, index);
#endif
    }
    if (call_.quiet && result == Verdict::Fail) [[unlikely]] {
        call_.record_stop({list, &item_validator, index, 0, nullptr, nullptr});
    }
    return result;
}

Verdict ConformanceCheck::check_value(const ValidatorNode& node, PyObject* value) { return check_node(node, value); }

template <class ItemCheck>
QUILLANE_ALWAYS_INLINE FailingItem ConformanceCheck::first_failing_item(ListIteration& items, Py_ssize_t index,
                                                                        ItemCheck check_item) {
    // Blocks of items between two signal polls, so that the poll's call sits
    // outside the loop over each block. The length is read again at each
    // block rather than kept, which leaves a register free in the loop.
    while (index < items.length()) {
        const Py_ssize_t block_start = index;
        const Py_ssize_t block_end = std::min(items.length(),
                                              index + static_cast<Py_ssize_t>(SignalPoll::kValuesBetweenPolls));
        for (; index < block_end; ++index) {
            const Verdict verdict = check_item(items.item(index));
            if (verdict != Verdict::Pass) {
                call_.signals.count(static_cast<size_t>(index - block_start));
                return {index, verdict};
            }
        }
        if (call_.signals.raised_after(static_cast<size_t>(block_end - block_start), call_.walks)) [[unlikely]] {
            return {index, call_.fail_with(error_of_failed_call())};
        }
    }
    // The last item's check (or a walk of it) may have changed the list.
    items.verify_unchanged();
    return {index, Verdict::Pass};
}

FailingItem ConformanceCheck::next_failing_item(const ValidatorNode& item_validator, ListIteration& items,
                                                Py_ssize_t start) {
    FailingItem failing{};
    with_kind_check(item_validator, [&](auto check_item) QUILLANE_INLINE_LAMBDA {
        failing = first_failing_item(items, start, check_item);
        return failing.verdict;
    });
    return failing;
}

template <class Iteration>
void ConformanceCheck::record_stop(Iteration& iteration, CallContext::StopPoint stop) {
    // Nothing past the failed value is known, so only the containers' own
    // changes can make the stop wrong: found now, or never (no Python code
    // runs until the walk has taken the stop).
    iteration.verify_unchanged();
    call_.record_stop(stop);
}

#ifdef Py_GIL_DISABLED
Verdict ConformanceCheck::check_items(const ValidatorNode& item_validator, PyObject* list, Py_ssize_t start,
                                      Py_ssize_t length) {
#else
Verdict ConformanceCheck::check_items(const ValidatorNode& item_validator, PyObject* list, Py_ssize_t start) {
#endif
    RecursionGuard depth(kRecursionWhere, call_.guarded, call_.stack_floor);
    if (!depth.entered()) [[unlikely]] {
        return call_.reject_quietly_or(error_of_failed_call());
    }
#ifdef Py_GIL_DISABLED
    ListIteration items(list, call_.walks, length);
#else
    ListIteration items(list, call_.walks);
#endif
    const FailingItem failing = next_failing_item(item_validator, items, start);
    if (call_.quiet && failing.verdict == Verdict::Fail) [[unlikely]] {
        record_stop(items, {list, &item_validator, failing.index, 0, nullptr, nullptr});
    }
    return failing.verdict;
}

template <class EntryCheck>
QUILLANE_ALWAYS_INLINE FailingEntry ConformanceCheck::first_failing_entry(DictIteration& entries, size_t index,
                                                                          EntryCheck check_entry) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // Blocks of entries between two signal polls, as for a list's items.
    for (;;) {
        size_t left = SignalPoll::kValuesBetweenPolls;
        for (; left != 0; --left, ++index) {
            if (!entries.next_borrowed(key, value)) {
                if (call_.signals.raised_after(SignalPoll::kValuesBetweenPolls - left, call_.walks)) [[unlikely]] {
                    return {key, value, index, call_.fail_with(error_of_failed_call())};
                }
                return {nullptr, nullptr, index, Verdict::Pass};
            }
            const Verdict verdict = check_entry(key, value);
            if (verdict != Verdict::Pass) {
                call_.signals.count(SignalPoll::kValuesBetweenPolls - left);
                return {key, value, index, verdict};
            }
        }
        if (call_.signals.raised_after(SignalPoll::kValuesBetweenPolls, call_.walks)) [[unlikely]] {
            return {key, value, index, call_.fail_with(error_of_failed_call())};
        }
    }
}

FailingEntry ConformanceCheck::next_failing_entry(const ValidatorNode& value_validator, DictIteration& entries,
                                                  size_t index) {
    // Keys must be str but are not read any further, except by the quiet
    // check: collect reads them as text, and raises for one without a UTF-8
    // form.
    FailingEntry failing{};
    with_kind_check(value_validator, [&](auto value_check) QUILLANE_INLINE_LAMBDA {
        failing = first_failing_entry(entries, index, [&](PyObject* key, PyObject* value) {
            return key_passes(key) ? value_check(value) : Verdict::Fail;
        });
        return failing.verdict;
    });
    return failing;
}

QUILLANE_NOINLINE Verdict ConformanceCheck::check_dict(const ValidatorNode& node, PyObject* dict) {
    if (!is_dict(dict)) {
        return Verdict::Fail;
    }
    RecursionGuard depth(kRecursionWhere, call_.guarded, call_.stack_floor);
    if (!depth.entered()) [[unlikely]] {
        return call_.reject_quietly_or(error_of_failed_call());
    }
    DictIteration entries(dict, call_.walks);
    const FailingEntry failing = next_failing_entry(*node.element, entries, 0);
    if (call_.quiet && failing.verdict == Verdict::Fail && entries.resumable()) [[unlikely]] {
#ifdef Py_GIL_DISABLED
        record_stop(entries, {dict, &node, static_cast<Py_ssize_t>(failing.index), entries.position(), failing.key,
                              failing.value, entries.entries_read()});
#else
        record_stop(entries, {dict, &node, static_cast<Py_ssize_t>(failing.index), entries.position(), failing.key,
                              failing.value});
#endif
    }
    return failing.verdict;
}

// A record's entries, one per field, in a loop of their own: the likely
// field (the one at the entry's index, the schema's order) is matched in
// line; anything else goes to match_other_key.
QUILLANE_NOINLINE Verdict ConformanceCheck::check_fields(const ValidatorNode& node, PyObject* dict) {
    if (!is_dict(dict)) {
        return Verdict::Fail;
    }
    // With as many keys as fields, every field must be matched by one key.
    const size_t field_count = node.fields.size();
    if (static_cast<size_t>(PyDict_GET_SIZE(dict)) != field_count) {
        return Verdict::Fail;
    }
    RecursionGuard depth(kRecursionWhere, call_.guarded, call_.stack_floor);
    if (!depth.entered()) [[unlikely]] {
        return call_.reject_quietly_or(error_of_failed_call());
    }
    DictIteration entries(dict, call_.walks);
#ifdef Py_GIL_DISABLED
    // Free-threaded, the walk goes over a copy of the entries, which another
    // thread may have changed since the size was read above.
    if (entries.size() != static_cast<Py_ssize_t>(field_count)) {
        return Verdict::Fail;
    }
#endif
    const FieldEntry* field = node.fields.data();
    bool presence_checked = false;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // Blocks of entries between two signal polls, as for a list's items: a
    // record's fields are one block.
    for (size_t index = 0; index < field_count;) {
        const size_t block_start = index;
        const size_t block_end = std::min(field_count, index + SignalPoll::kValuesBetweenPolls);
        for (; index < block_end; ++index, ++field) {
            if (!entries.next_borrowed(key, value)) [[unlikely]] {
                return Verdict::Fail;  // only a changed dict ends early, and its walk faults first
            }
            const FieldEntry* matched = field;
            Verdict result = Verdict::Pass;
            if (!PyUnicode_CheckExact(key) || !exact_key_names(field->name, key)) [[unlikely]] {
                result = match_other_key(node, dict, key, index, presence_checked, matched);
            }
            if (result == Verdict::Pass) [[likely]] {
                result = check_node(matched->validator, value);
            }
            if (result != Verdict::Pass) [[unlikely]] {
                call_.signals.count(index - block_start);
                if (call_.quiet && result == Verdict::Fail && entries.resumable()) {
#ifdef Py_GIL_DISABLED
                    record_stop(entries, {dict, &node, static_cast<Py_ssize_t>(index), entries.position(), key, value,
                                          entries.entries_read()});
#else
                    record_stop(entries, {dict, &node, static_cast<Py_ssize_t>(index), entries.position(), key, value});
#endif
                }
                return result;
            }
        }
        if (call_.signals.raised_after(block_end - block_start, call_.walks)) [[unlikely]] {
            return call_.fail_with(error_of_failed_call());
        }
    }
    // The last entry's check (or a walk of it) may have changed the dict.
    entries.verify_unchanged();
    return Verdict::Pass;
}

// A key that is not the likely field's exact str. Keys of exact str type are
// distinct texts; a key of a str subclass with an equality of its own may
// repeat another key's text, so the first such key has every field's
// presence checked once.
QUILLANE_NOINLINE QUILLANE_COLD Verdict ConformanceCheck::match_other_key(const ValidatorNode& node, PyObject* dict,
                                                                          PyObject* key, size_t index,
                                                                          bool& presence_checked,
                                                                          const FieldEntry*& field) {
    if (!is_str(key)) {
        return Verdict::Fail;
    }
    field = find_field(node, key, index);
    if (field == nullptr) {
        // A key that names no field fails, unless it has no UTF-8 form.
        return call_.scans.has_lone_surrogate(key) ? call_.reject_quietly_or(no_utf8_form(key)) : Verdict::Fail;
    }
    if (!PyUnicode_CheckExact(key) && !presence_checked) {
        presence_checked = true;
        std::vector<uint8_t> named = fields_named(node, dict);
        if (std::ranges::find(named, 0) != named.end()) {
            return Verdict::Fail;
        }
    }
    return Verdict::Pass;
}

}  // namespace quillane
