// A walk over a list's items that ends in an internal fault when Python code
// run during the walk changes the list's length.
#pragma once

#include "runtime/failure.hpp"
#include "runtime/inlining.hpp"

namespace quillane {

class ListIteration {
public:
    // Holds its own reference to the list for as long as the walk lasts.
    explicit ListIteration(PyObject* list) noexcept : list_(Ref::borrow(list)), start_length_(PyList_GET_SIZE(list)) {}

    // The next item, borrowed from the list, and its index; null at the
    // end. A length that differs from the starting one is a fault: items
    // removed before the walk's position shift later ones under it, unseen,
    // and items appended would go unchecked. An item replaced in place is
    // read at its position when the walk gets there, as the interpreter's
    // own iteration reads it. The borrowed item stays valid only until
    // Python code runs.
    QUILLANE_ALWAYS_INLINE PyObject* next_borrowed(Py_ssize_t& index) {
        if (PyList_GET_SIZE(list_.get()) != start_length_) [[unlikely]] {
            throw_changed();
        }
        if (next_index_ >= start_length_) {
            return nullptr;
        }
        index = next_index_++;
        return PyList_GET_ITEM(list_.get(), index);
    }

    // As next_borrowed, with a reference of the caller's own; false at the end.
    bool next(Ref& item, Py_ssize_t& index) {
        PyObject* borrowed = next_borrowed(index);
        item = Ref::borrow(borrowed);
        return borrowed != nullptr;
    }

    // A reference of the caller's own to the item at `index`, one that
    // next_borrowed gave: read again, in case Python code has replaced it
    // since (the length is checked first).
    Ref item_at(Py_ssize_t index) {
        if (PyList_GET_SIZE(list_.get()) != start_length_) [[unlikely]] {
            throw_changed();
        }
        return Ref::borrow(PyList_GET_ITEM(list_.get(), index));
    }

private:
    [[noreturn]] QUILLANE_NOINLINE QUILLANE_COLD static void throw_changed() {
        throw_fault("list changed size during iteration");
    }

    Ref list_;
    Py_ssize_t start_length_;
    Py_ssize_t next_index_ = 0;
};

}  // namespace quillane
