// A walk over a list's items that ends in an internal fault when Python code
// run during the walk changes the list's length.
#pragma once

#include "runtime/container_walks.hpp"
#include "runtime/failure.hpp"
#include "runtime/inlining.hpp"

namespace quillane {

class ListIteration : public ContainerWalk {
public:
    // Joins `walks`, whose next before_python_code() has the walk take its
    // own reference to the list.
    ListIteration(PyObject* list, ContainerWalks& walks) noexcept
        : ContainerWalk(list, &walks), start_length_(PyList_GET_SIZE(list)) {}

    // The length the list had when the walk began.
    Py_ssize_t length() const noexcept { return start_length_; }

    // The item at `index` (below length()), borrowed from the list. A length
    // that differs from the starting one is a fault: items removed before
    // the walk's position shift later ones under it, unseen, and items
    // appended would go unchecked. An item replaced in place is read at its
    // position when the walk gets there, as the interpreter's own iteration
    // reads it. Until Python code may have run the list cannot have changed.
    // The borrowed item stays valid only until Python code runs.
    QUILLANE_ALWAYS_INLINE PyObject* item(Py_ssize_t index) {
        verify_unchanged();
        return PyList_GET_ITEM(container(), index);
    }

    // Faults if the list's length has changed since the walk began.
    QUILLANE_ALWAYS_INLINE void verify_unchanged() {
        if (held() && PyList_GET_SIZE(container()) != start_length_) [[unlikely]] {
            throw_changed();
        }
    }

    // A reference of the caller's own to the item at `index`, read again in
    // case Python code has replaced it since it was last read (the length is
    // checked first).
    Ref item_at(Py_ssize_t index) { return Ref::borrow(item(index)); }

private:
    [[noreturn]] QUILLANE_NOINLINE QUILLANE_COLD static void throw_changed() {
        throw_fault("list changed size during iteration");
    }

    Py_ssize_t start_length_;
};

}  // namespace quillane
