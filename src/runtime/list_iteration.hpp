// A walk over a list's items that ends in an internal fault when Python code
// run during the walk leaves the list holding, at some position, an item the
// walk did not read there.
//
// Free-threaded, another thread may change the list at any moment: each item
// is then read with a reference of the walk's own (valid until the next item
// is read), and a length that is not the walk's starting one, found at any
// item or at the end, is the same fault; a change the walk cannot see leaves
// its answer true of the items as it read them.
#pragma once

#include "runtime/container_walks.hpp"
#include "runtime/critical_section.hpp"
#include "runtime/failure.hpp"
#include "runtime/inlining.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace quillane {

class ListIteration : public ContainerWalk {
public:
    // Joins `walks`, whose next before_python_code() has the walk take its
    // own reference to the list and record its items.
    ListIteration(PyObject* list, ContainerWalks& walks) noexcept
        : ContainerWalk(list, &walks, &hold_and_record), start_length_(PyList_GET_SIZE(list)) {}

#ifdef Py_GIL_DISABLED
    // As above, for a list whose length the caller has read (and checked
    // against its bounds): the walk faults unless the list keeps it.
    ListIteration(PyObject* list, ContainerWalks& walks, Py_ssize_t length) noexcept
        : ContainerWalk(list, &walks, &hold_and_record), start_length_(length) {}
#endif

    // The length the list had when the walk began.
    Py_ssize_t length() const noexcept { return start_length_; }

    // The item at `index` (below length()), borrowed from the list: valid
    // only until Python code runs. Until Python code may have run the list
    // cannot have changed, and this is a plain read. After, a length that
    // differs from the starting one is a fault (items removed before the
    // walk's position would shift later ones under it unseen; items
    // appended would go unchecked), and an item replaced ahead of the walk is
    // read at its position when the walk gets there, as the interpreter's own
    // iteration reads it.
    //
    // Free-threaded, the item is held by the walk until the next one is read.
    QUILLANE_ALWAYS_INLINE PyObject* item(Py_ssize_t index) {
#ifdef Py_GIL_DISABLED
        return shared_item(index);
#else
        if (held()) [[unlikely]] {
            return item_while_held(index);
        }
        return PyList_GET_ITEM(container(), index);
#endif
    }

    // A reference of the caller's own to the item at `index`, read again in
    // case Python code has replaced it since it was last read.
    Ref item_at(Py_ssize_t index) { return Ref::borrow(item(index)); }

    // For a walk that has read every item it goes on from: faults if Python
    // code has left the list holding, at any position, another item than the
    // one read there (a same-length shift, a replacement behind the walk).
    // Free-threaded, also if the list's length is not the starting one.
    QUILLANE_ALWAYS_INLINE void verify_unchanged() {
#ifdef Py_GIL_DISABLED
        verify_length();
#endif
        if (held()) [[unlikely]] {
            verify_items();
        }
    }

private:
    // Taking hold records the items as they are: until now nothing could
    // change them, so each one before the walk's position is the item read
    // there. The references keep every address from being reused.
    //
    // Free-threaded, another thread may have replaced an item already read:
    // the walk then records the one there now (under the list's lock, and
    // only as many as the list holds), which compares as the GIL build's
    // record does from here on; the walk's answer holds for what it read.
    QUILLANE_NOINLINE static void hold_and_record(ContainerWalk& walk) {
        take_reference(walk);
        // Given only by ListIteration's constructor, for the walk it makes.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-static-cast-downcast)
        auto& items = static_cast<ListIteration&>(walk);
        items.read_.reserve(static_cast<size_t>(items.start_length_));
#ifdef Py_GIL_DISABLED
        CriticalSection section(items.container());
        const Py_ssize_t length = std::min(items.start_length_, PyList_GET_SIZE(items.container()));
        for (Py_ssize_t index = 0; index < length; ++index) {
            items.read_.push_back(Ref::borrow(PyList_GET_ITEM(items.container(), index)));
        }
#else
        for (Py_ssize_t index = 0; index < items.start_length_; ++index) {
            items.read_.push_back(Ref::borrow(PyList_GET_ITEM(items.container(), index)));
        }
#endif
    }

#ifdef Py_GIL_DISABLED
    // The item at `index`, by a reference the walk holds until the next read:
    // another thread may take the item out of the list and drop it at any
    // moment. A list shorter or longer than at the start has changed size.
    QUILLANE_NOINLINE PyObject* shared_item(Py_ssize_t index) {
        Ref item = Ref::steal(PyList_GetItemRef(container(), index));
        if (!item) [[unlikely]] {
            PyErr_Clear();  // the index is past the list's end now
            throw_changed_size();
        }
        verify_length();
        if (held()) [[unlikely]] {
            if (static_cast<size_t>(index) >= read_.size()) [[unlikely]] {
                throw_changed_size();  // shorter when the walk took hold
            }
            Ref& recorded = read_[static_cast<size_t>(index)];
            if (recorded.get() != item.get()) {
                replaced_.push_back(std::exchange(recorded, Ref::borrow(item.get())));
            }
        }
        // The previous item drops here, after the walk is done with it.
        current_.swap(item);
        return current_.get();
    }
#endif

    QUILLANE_NOINLINE PyObject* item_while_held(Py_ssize_t index) {
        verify_length();
        PyObject* item = PyList_GET_ITEM(container(), index);
        Ref& recorded = read_[static_cast<size_t>(index)];
        if (recorded.get() != item) {
            // The item it replaces is let go with the walk, not now: its
            // finaliser could run here.
            replaced_.push_back(std::exchange(recorded, Ref::borrow(item)));
        }
        return item;
    }

#ifdef Py_GIL_DISABLED
    // The items compared as one state of the list, under its lock; a record
    // cut short (the list was shorter when the walk took hold) is a change.
    QUILLANE_NOINLINE void verify_items() const {
        verify_length();
        bool same = read_.size() == static_cast<size_t>(start_length_);
        {
            CriticalSection section(container());
            same = same && PyList_GET_SIZE(container()) == start_length_;
            for (Py_ssize_t index = 0; same && index < start_length_; ++index) {
                same = PyList_GET_ITEM(container(), index) == read_[static_cast<size_t>(index)].get();
            }
        }
        if (!same) [[unlikely]] {
            throw_fault("list changed during iteration");
        }
    }
#else
    QUILLANE_NOINLINE void verify_items() const {
        verify_length();
        for (Py_ssize_t index = 0; index < start_length_; ++index) {
            if (PyList_GET_ITEM(container(), index) != read_[static_cast<size_t>(index)].get()) [[unlikely]] {
                throw_fault("list changed during iteration");
            }
        }
    }
#endif

    void verify_length() const {
        if (PyList_GET_SIZE(container()) != start_length_) [[unlikely]] {
            throw_changed_size();
        }
    }

    [[noreturn]] QUILLANE_NOINLINE QUILLANE_COLD static void throw_changed_size() {
        throw_fault("list changed size during iteration");
    }

    Py_ssize_t start_length_;
    std::vector<Ref> read_;  // from the walk's hold on: the item read at each position
    std::vector<Ref> replaced_;
#ifdef Py_GIL_DISABLED
    Ref current_;  // the item last read, held until the next read
#endif
};

}  // namespace quillane
