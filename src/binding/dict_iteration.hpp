// A walk over a dict's entries that detects Python code changing the dict
// while the walk is under way.
#pragma once

#include "binding/failure.hpp"

namespace quillane {

class DictIteration {
public:
    // Holds its own reference to the dict for as long as the walk lasts.
    explicit DictIteration(PyObject* dict) noexcept
        : dict_(Ref::borrow(dict)), start_size_(PyDict_GET_SIZE(dict)), remaining_(start_size_) {}

    // The next entry, as new references, or false at the end. A dict whose
    // size changed, or which yields more entries than it had at the start
    // (keys replaced at constant size), is an internal fault.
    bool next(Ref& key, Ref& value) {
        PyObject* borrowed_key = nullptr;
        PyObject* borrowed_value = nullptr;
        if (!next_borrowed(borrowed_key, borrowed_value)) {
            return false;
        }
        key = Ref::borrow(borrowed_key);
        value = Ref::borrow(borrowed_value);
        return true;
    }

    // As next, with key and value borrowed from the dict: valid only until
    // Python code runs.
    bool next_borrowed(PyObject*& key, PyObject*& value) {
        if (PyDict_GET_SIZE(dict_.get()) != start_size_) [[unlikely]] {
            raise_internal_fault("dictionary changed size during iteration");
        }
        if (remaining_ == -1) [[unlikely]] {
            raise_internal_fault("dictionary keys changed during iteration");
        }
        if (!PyDict_Next(dict_.get(), &position_, &key, &value)) {
            return false;
        }
        --remaining_;
        return true;
    }

private:
    Ref dict_;
    Py_ssize_t start_size_;
    Py_ssize_t remaining_;
    Py_ssize_t position_ = 0;
};

}  // namespace quillane
