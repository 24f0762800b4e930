// A walk over a dict's entries that detects Python code changing the dict
// while the walk is under way.
//
// Free-threaded, another thread may change the dict at any moment, and no
// watcher tells of it: the walk copies the entries when it begins, under the
// dict's lock, with references of its own, and goes over the copy; the
// dict is compared with the copy where the GIL build would (once Python code
// may have run), and a difference is the same fault. A change the walk
// cannot see leaves its answer true of the dict as it was copied.
#pragma once

#include "runtime/container_walks.hpp"
#include "runtime/critical_section.hpp"
#include "runtime/dict_watch.hpp"
#include "runtime/failure.hpp"
#include "runtime/inlining.hpp"
#include "runtime/interpreter_version.hpp"

#include <memory>
#include <utility>
#include <vector>

namespace quillane {

class DictIteration : public ContainerWalk {
public:
    // Joins `walks`, whose next before_python_code() has the walk take its
    // own reference to the dict and have it watched.
#ifdef Py_GIL_DISABLED
    DictIteration(PyObject* dict, ContainerWalks& walks)
        : ContainerWalk(dict, &walks, &take_reference), start_size_(0) {
        watch();
    }
#else
    DictIteration(PyObject* dict, ContainerWalks& walks) noexcept
        : ContainerWalk(dict, &walks, &hold_and_watch), start_size_(PyDict_GET_SIZE(dict)) {}
#endif

    // A walk that runs Python code at every step (a compile reading the
    // schema of each field): held and watched from the start.
    explicit DictIteration(PyObject* dict)
        : ContainerWalk(dict, nullptr, &hold_and_watch), start_size_(PyDict_GET_SIZE(dict)) {
        hold_and_watch(*this);
    }

    ~DictIteration() {
        // A thread ended at interpreter exit leaves the watch behind: the
        // process is ending.
        if (watch_ != nullptr && watch_->changes != nullptr && thread_holds_interpreter()) {
            release_dict_watch(container(), watch_->changes);
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
    // data would be accepted with a value never checked. Until Python code
    // may have run the dict cannot have changed, and the step is the
    // interpreter's own.
    QUILLANE_ALWAYS_INLINE bool next_borrowed(PyObject*& key, PyObject*& value) {
        if (watch_ != nullptr) [[unlikely]] {
            return next_watched(key, value);
        }
        return PyDict_Next(container(), &position_, &key, &value) != 0;
    }

    // How many entries the walk goes over: the dict's size when it began
    // (free-threaded, the copy's).
    Py_ssize_t size() const noexcept { return start_size_; }

    // Whether the iteration's position is one in the dict's own iteration
    // (not in a copy of its entries), that a walk of the same dict can start
    // from with resume_at.
    // Free-threaded, always: the walk goes over a copy, which the later walk
    // takes over (entries_read, resume_at), so that both read the same
    // entries.
#ifdef Py_GIL_DISABLED
    bool resumable() const noexcept { return true; }
#else
    bool resumable() const noexcept { return watch_ == nullptr || watch_->snapshot.empty(); }
#endif
    Py_ssize_t position() const noexcept { return position_; }
    // Goes on from `position` (another walk's, of the same unchanged dict),
    // before anything is read.
    void resume_at(Py_ssize_t position) noexcept { position_ = position; }
#ifdef Py_GIL_DISABLED
    // The copy of the entries this walk goes over, for a later walk of the
    // same dict to go on over with resume_at (another thread may have
    // changed the dict since the copy was made).
    std::shared_ptr<const void> entries_read() const { return watch_; }
    void resume_at(Py_ssize_t position, const std::shared_ptr<const void>& entries) {
        watch_ = std::const_pointer_cast<Watch>(std::static_pointer_cast<const Watch>(entries));
        start_size_ = static_cast<Py_ssize_t>(watch_->snapshot.size());
        position_ = position;
    }
#endif

    // Faults if the dict has changed since the walk began: for a caller about
    // to take references to an entry that next_borrowed gave, when Python
    // code may have run since.
    void verify_unchanged() {
        if (watch_ != nullptr) [[unlikely]] {
            verify_watched();
        }
    }

private:
    // What a held walk compares the dict with before each step: the dict's
    // count of changes from its watch, and, where no watcher sees the
    // changes, a copy of its entries.
    struct Watch {
        DictChanges* changes = nullptr;  // the watch this walk holds, if any
        uint64_t start_changes = 0;
        std::vector<std::pair<Ref, Ref>> snapshot;
        // The walks' count of places where Python code may run when the dict
        // was last compared with the snapshot.
        uint64_t compared_at = 0;
    };

    [[noreturn]] QUILLANE_NOINLINE void throw_changed() const {
        if (PyDict_GET_SIZE(container()) != start_size_) {
            throw_fault("dictionary changed size during iteration");
        }
        throw_fault("dictionary keys changed during iteration");
    }

    // From now on, every change made to the dict is counted. Where no watcher
    // sees the changes (the interpreter has no watcher id left, or stores
    // into an instance's own __dict__ bypass it), the entries are copied
    // instead, with references so that no address is reused by another
    // object, and the dict is compared with the copy before each step.
    QUILLANE_NOINLINE static void hold_and_watch(ContainerWalk& walk) {
        take_reference(walk);
        // Given only by DictIteration's constructors, for the walk they make.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-static-cast-downcast)
        static_cast<DictIteration&>(walk).watch();
    }

    void watch() {
        watch_ = std::make_unique<Watch>();
        if (walks() != nullptr) {
            watch_->compared_at = walks()->python_code_runs();
        }
        if (DictChanges* changes = hold_dict_watch(container())) {
            watch_->changes = changes;
            watch_->start_changes = changes->count;
        }
        if (watch_->changes == nullptr || watchers_miss_stores_into(container())) {
            take_snapshot();
        }
    }

    // The size and the count of changes are compared at every step. The
    // copy, a pass over the whole dict, is compared only where the dict can
    // differ from it: in a walk, once Python code may have run since the
    // last comparison (so that a long dict costs one comparison per place
    // where Python code ran, not one per entry); in a walk on its own, which
    // runs Python code at every step, once, at its end (its entries come from
    // the copy meanwhile, so a change is found there, after the steps taken
    // in between).
    QUILLANE_NOINLINE void verify_watched() {
#ifdef Py_GIL_DISABLED
        // Only once Python code may have run: until then the copy is the
        // walk's answer to another thread's changes.
        if (!held()) {
            return;
        }
#endif
        if (PyDict_GET_SIZE(container()) != start_size_ ||
            (watch_->changes != nullptr && watch_->changes->count != watch_->start_changes)) [[unlikely]] {
            throw_changed();
        }
        if (!watch_->snapshot.empty() && walks() != nullptr && walks()->python_code_runs() != watch_->compared_at) {
            watch_->compared_at = walks()->python_code_runs();
            verify_snapshot();
        }
    }

    QUILLANE_NOINLINE bool next_watched(PyObject*& key, PyObject*& value) {
        verify_watched();
        const std::vector<std::pair<Ref, Ref>>& snapshot = watch_->snapshot;
#ifndef Py_GIL_DISABLED
        if (snapshot.empty()) {
            return PyDict_Next(container(), &position_, &key, &value) != 0;
        }
#endif
        if (static_cast<size_t>(position_) >= snapshot.size()) {
            if (walks() == nullptr) {
                verify_snapshot();
            }
            return false;
        }
        key = snapshot[static_cast<size_t>(position_)].first.get();
        value = snapshot[static_cast<size_t>(position_)].second.get();
        ++position_;
        return true;
    }

#ifdef Py_GIL_DISABLED
    // The entries as one state of the dict, under its lock (reserved before
    // it, so that nothing inside can wait for memory; a dict grown meanwhile
    // is read whole all the same); the walk starts at the first.
    void take_snapshot() {
        std::vector<std::pair<Ref, Ref>>& snapshot = watch_->snapshot;
        snapshot.reserve(static_cast<size_t>(PyDict_GET_SIZE(container())));
        {
            CriticalSection section(container());
            Py_ssize_t position = 0;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            while (PyDict_Next(container(), &position, &key, &value) != 0) {
                snapshot.emplace_back(Ref::borrow(key), Ref::borrow(value));
            }
        }
        start_size_ = static_cast<Py_ssize_t>(snapshot.size());
        position_ = 0;
    }
#else
    void take_snapshot() {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        watch_->snapshot.reserve(static_cast<size_t>(start_size_));
        while (PyDict_Next(container(), &position, &key, &value) != 0) {
            watch_->snapshot.emplace_back(Ref::borrow(key), Ref::borrow(value));
        }
        // The walk goes on from the copy, at the entry it had reached.
        position_ = entries_before(position_);
    }
#endif

    // How many entries the dict's iteration has yielded by `position`.
    Py_ssize_t entries_before(Py_ssize_t position) const {
        Py_ssize_t counted = 0;
        Py_ssize_t scan = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (scan < position && PyDict_Next(container(), &scan, &key, &value) != 0) {
            ++counted;
        }
        return counted;
    }

#ifdef Py_GIL_DISABLED
    // Under the dict's lock, so that the entries compared are one state of
    // it; only addresses are compared, and the copy's references keep each
    // from being reused.
    void verify_snapshot() const {
        const std::vector<std::pair<Ref, Ref>>& snapshot = watch_->snapshot;
        bool same = true;
        {
            CriticalSection section(container());
            Py_ssize_t position = 0;
            size_t index = 0;
            PyObject* current_key = nullptr;
            PyObject* current_value = nullptr;
            while (same && PyDict_Next(container(), &position, &current_key, &current_value) != 0) {
                same = index < snapshot.size() && snapshot[index].first.get() == current_key &&
                       snapshot[index].second.get() == current_value;
                ++index;
            }
            same = same && index == snapshot.size();
        }
        if (!same) [[unlikely]] {
            throw_fault("dictionary keys changed during iteration");
        }
    }
#else
    void verify_snapshot() const {
        const std::vector<std::pair<Ref, Ref>>& snapshot = watch_->snapshot;
        Py_ssize_t position = 0;
        size_t index = 0;
        PyObject* current_key = nullptr;
        PyObject* current_value = nullptr;
        while (PyDict_Next(container(), &position, &current_key, &current_value) != 0) {
            if (index >= snapshot.size() || snapshot[index].first.get() != current_key ||
                snapshot[index].second.get() != current_value) [[unlikely]] {
                throw_fault("dictionary keys changed during iteration");
            }
            ++index;
        }
    }
#endif

    Py_ssize_t start_size_;
    Py_ssize_t position_ = 0;  // the dict's iteration position, or the snapshot's index
#ifdef Py_GIL_DISABLED
    std::shared_ptr<Watch> watch_;  // from the start; shared with a walk that resumes this one
#else
    std::unique_ptr<Watch> watch_;  // from the walk's hold on
#endif
};

}  // namespace quillane
