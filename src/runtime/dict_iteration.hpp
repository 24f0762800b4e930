// A walk over a dict's entries that detects Python code changing the dict
// while the walk is under way.
#pragma once

#include "runtime/dict_watch.hpp"
#include "runtime/failure.hpp"
#include "runtime/inlining.hpp"
#include "runtime/interpreter_version.hpp"

#include <utility>
#include <vector>

namespace quillane {

class DictIteration;

// The dict walks under way in one check, walk or compile, innermost first.
//
// Python code can change a dict only where the module lets Python code run:
// an integer read through __index__, a signal handler, an attribute read of
// a schema. Before each such place the walk calls before_python_code(), which
// has every dict walk under way watched from then on; until then a walk only
// compares sizes, which costs nothing on data that runs no Python code.
class DictWalks {
public:
    DictWalks() noexcept = default;
    ~DictWalks() = default;
    DictWalks(const DictWalks&) = delete;
    DictWalks& operator=(const DictWalks&) = delete;
    DictWalks(DictWalks&&) = delete;
    DictWalks& operator=(DictWalks&&) = delete;

    // Watches every walk that is not watched yet. Walks are watched from the
    // innermost outwards, so the first one found watched has every outer walk
    // watched too.
    QUILLANE_ALWAYS_INLINE void before_python_code();

private:
    friend class DictIteration;
    DictIteration* innermost_ = nullptr;
};

class DictIteration {
public:
    // Holds its own reference to the dict for as long as the walk lasts, and
    // joins `walks`, whose next before_python_code() has it watched.
    DictIteration(PyObject* dict, DictWalks& walks) noexcept
        : dict_(Ref::borrow(dict)), start_size_(PyDict_GET_SIZE(dict)), walks_(&walks), outer_(walks.innermost_) {
        walks.innermost_ = this;
    }

    // A walk that runs Python code at every step (a compile reading the
    // schema of each field): watched from the start.
    explicit DictIteration(PyObject* dict) : dict_(Ref::borrow(dict)), start_size_(PyDict_GET_SIZE(dict)) { watch(); }

    ~DictIteration() {
        if (walks_ != nullptr) {
            walks_->innermost_ = outer_;
        }
        // A thread ended at interpreter exit leaves the watch behind: the
        // process is ending.
        if (held_ != nullptr && thread_holds_interpreter()) {
            release_dict_watch(dict_.get(), held_);
        }
    }
    DictIteration(const DictIteration&) = delete;
    DictIteration& operator=(const DictIteration&) = delete;

    // The next entry, as new references, or false at the end. The new pair
    // is owned before the previous one is let go: releasing the previous key
    // or value can run its finaliser, which may change the dict and free the
    // borrowed next entry.
    bool next(Ref& key, Ref& value) {
        PyObject* borrowed_key = nullptr;
        PyObject* borrowed_value = nullptr;
        if (!next_borrowed(borrowed_key, borrowed_value)) {
            key.reset();
            value.reset();
            return false;
        }
        Ref new_key = Ref::borrow(borrowed_key);
        Ref new_value = Ref::borrow(borrowed_value);
        key.swap(new_key);
        value.swap(new_value);
        return true;  // the previous pair drops here, after the swap
    }

    // As next, with key and value borrowed from the dict: valid only until
    // Python code runs.
    //
    // Any change made to the dict since the walk began is an internal fault:
    // a different size, or the same size with the dict modified in between
    // (keys deleted and inserted until the table is rebuilt, an instance
    // __dict__ re-ordered, a value replaced). Each of these can move entries
    // under the walk's position, or replace a value already checked, so that
    // data would be accepted with a value never checked.
    QUILLANE_ALWAYS_INLINE bool next_borrowed(PyObject*& key, PyObject*& value) {
        if (PyDict_GET_SIZE(dict_.get()) != start_size_ || changes_->count != start_changes_) [[unlikely]] {
            throw_changed();
        }
        if (!snapshot_.empty()) [[unlikely]] {
            return next_from_snapshot(key, value);
        }
        return PyDict_Next(dict_.get(), &position_, &key, &value) != 0;
    }

    // Faults if the dict has changed since the walk began: for a caller about
    // to take references to an entry that next_borrowed gave, when Python
    // code may have run since.
    void verify_unchanged() {
        if (PyDict_GET_SIZE(dict_.get()) != start_size_ || changes_->count != start_changes_) [[unlikely]] {
            throw_changed();
        }
        if (!snapshot_.empty()) [[unlikely]] {
            verify_snapshot();
        }
    }

private:
    friend class DictWalks;

    [[noreturn]] QUILLANE_NOINLINE void throw_changed() const {
        if (PyDict_GET_SIZE(dict_.get()) != start_size_) {
            throw_fault("dictionary changed size during iteration");
        }
        throw_fault("dictionary keys changed during iteration");
    }

    // From now on, every change made to the dict is counted. Where no watcher
    // sees the changes (the interpreter has no watcher id left, or stores
    // into an instance's own __dict__ bypass it), the entries are copied
    // instead, with references so that no address is reused by another
    // object, and the dict is compared with the copy before each step.
    QUILLANE_NOINLINE void watch() {
        watched_ = true;
        if (DictChanges* changes = hold_dict_watch(dict_.get())) {
            held_ = changes;
            changes_ = changes;
            start_changes_ = changes->count;
        }
        if (changes_ == &kUnwatchedDict || watchers_miss_stores_into(dict_.get())) {
            take_snapshot();
        }
    }

    QUILLANE_NOINLINE void take_snapshot() {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        snapshot_.reserve(static_cast<size_t>(start_size_));
        while (PyDict_Next(dict_.get(), &position, &key, &value) != 0) {
            snapshot_.emplace_back(Ref::borrow(key), Ref::borrow(value));
        }
        // The walk goes on from the copy, at the entry it had reached.
        position_ = entries_before(position_);
    }

    // How many entries the dict's iteration has yielded by `position`.
    Py_ssize_t entries_before(Py_ssize_t position) const {
        Py_ssize_t counted = 0;
        Py_ssize_t scan = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (scan < position && PyDict_Next(dict_.get(), &scan, &key, &value) != 0) {
            ++counted;
        }
        return counted;
    }

    QUILLANE_NOINLINE void verify_snapshot() const {
        Py_ssize_t position = 0;
        size_t index = 0;
        PyObject* current_key = nullptr;
        PyObject* current_value = nullptr;
        while (PyDict_Next(dict_.get(), &position, &current_key, &current_value) != 0) {
            if (index >= snapshot_.size() || snapshot_[index].first.get() != current_key ||
                snapshot_[index].second.get() != current_value) [[unlikely]] {
                throw_fault("dictionary keys changed during iteration");
            }
            ++index;
        }
    }

    QUILLANE_NOINLINE bool next_from_snapshot(PyObject*& key, PyObject*& value) {
        verify_snapshot();
        if (static_cast<size_t>(position_) >= snapshot_.size()) {
            return false;
        }
        key = snapshot_[static_cast<size_t>(position_)].first.get();
        value = snapshot_[static_cast<size_t>(position_)].second.get();
        ++position_;
        return true;
    }

    Ref dict_;
    Py_ssize_t start_size_;
    DictWalks* walks_ = nullptr;
    DictIteration* outer_ = nullptr;
    const DictChanges* changes_ = &kUnwatchedDict;
    DictChanges* held_ = nullptr;  // the watch this walk holds, if any
    uint64_t start_changes_ = 0;
    bool watched_ = false;
    Py_ssize_t position_ = 0;  // the dict's iteration position, or the snapshot's index
    std::vector<std::pair<Ref, Ref>> snapshot_;
};

QUILLANE_ALWAYS_INLINE void DictWalks::before_python_code() {
    for (DictIteration* walk = innermost_; walk != nullptr && !walk->watched_; walk = walk->outer_) {
        walk->watch();
    }
}

}  // namespace quillane
