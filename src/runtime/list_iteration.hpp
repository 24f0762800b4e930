// A walk over a list's items that stays safe when Python code run for one
// item changes the list.
#pragma once

#include "runtime/py_ref.hpp"

namespace quillane {

class ListIteration {
public:
    // Holds its own reference to the list for as long as the walk lasts.
    explicit ListIteration(PyObject* list) noexcept : list_(Ref::borrow(list)), start_length_(PyList_GET_SIZE(list)) {}

    // The next item, borrowed from the list, and its index; null at the
    // end. Stops at the smaller of the starting and the current length, so a
    // shrinking list ends the walk early and appended items are not visited.
    // The borrowed item stays valid only until Python code runs.
    PyObject* next_borrowed(Py_ssize_t& index) noexcept {
        if (next_index_ >= start_length_ || next_index_ >= PyList_GET_SIZE(list_.get())) {
            return nullptr;
        }
        index = next_index_++;
        return PyList_GET_ITEM(list_.get(), index);
    }

    // As next_borrowed, with a reference of the caller's own; false at the end.
    bool next(Ref& item, Py_ssize_t& index) noexcept {
        PyObject* borrowed = next_borrowed(index);
        item = Ref::borrow(borrowed);
        return borrowed != nullptr;
    }

private:
    Ref list_;
    Py_ssize_t start_length_;
    Py_ssize_t next_index_ = 0;
};

}  // namespace quillane
