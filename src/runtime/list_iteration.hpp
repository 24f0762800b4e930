// A walk over a list's items that ends in an internal fault when Python code
// run during the walk leaves the list holding, at some position, an item the
// walk did not read there.
#pragma once

#include "runtime/container_walks.hpp"
#include "runtime/failure.hpp"
#include "runtime/inlining.hpp"

#include <utility>
#include <vector>

namespace quillane {

class ListIteration : public ContainerWalk {
public:
    // Joins `walks`, whose next before_python_code() has the walk take its
    // own reference to the list and record its items.
    ListIteration(PyObject* list, ContainerWalks& walks) noexcept
        : ContainerWalk(list, &walks, &hold_and_record), start_length_(PyList_GET_SIZE(list)) {}

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
    QUILLANE_ALWAYS_INLINE PyObject* item(Py_ssize_t index) {
        if (held()) [[unlikely]] {
            return item_while_held(index);
        }
        return PyList_GET_ITEM(container(), index);
    }

    // A reference of the caller's own to the item at `index`, read again in
    // case Python code has replaced it since it was last read.
    Ref item_at(Py_ssize_t index) { return Ref::borrow(item(index)); }

    // For a walk that has read every item it goes on from: faults if Python
    // code has left the list holding, at any position, another item than the
    // one read there (a same-length shift, a replacement behind the walk).
    QUILLANE_ALWAYS_INLINE void verify_unchanged() {
        if (held()) [[unlikely]] {
            verify_items();
        }
    }

private:
    // Taking hold records the items as they are: until now nothing could
    // change them, so each one before the walk's position is the item read
    // there. The references keep every address from being reused.
    QUILLANE_NOINLINE static void hold_and_record(ContainerWalk& walk) {
        take_reference(walk);
        // Given only by ListIteration's constructor, for the walk it makes.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-static-cast-downcast)
        auto& items = static_cast<ListIteration&>(walk);
        items.read_.reserve(static_cast<size_t>(items.start_length_));
        for (Py_ssize_t index = 0; index < items.start_length_; ++index) {
            items.read_.push_back(Ref::borrow(PyList_GET_ITEM(items.container(), index)));
        }
    }

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

    QUILLANE_NOINLINE void verify_items() const {
        verify_length();
        for (Py_ssize_t index = 0; index < start_length_; ++index) {
            if (PyList_GET_ITEM(container(), index) != read_[static_cast<size_t>(index)].get()) [[unlikely]] {
                throw_fault("list changed during iteration");
            }
        }
    }

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
};

}  // namespace quillane
