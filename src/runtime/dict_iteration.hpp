// A walk over a dict's entries that detects Python code changing the dict
// while the walk is under way.
#pragma once

#include "runtime/failure.hpp"
#include "runtime/inlining.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace quillane {

class DictIteration {
public:
    // Holds its own reference to the dict for as long as the walk lasts.
    explicit DictIteration(PyObject* dict)
        : dict_(Ref::borrow(dict)), start_size_(PyDict_GET_SIZE(dict)), start_version_(mutation_count(dict)) {
        if (reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr) [[unlikely]] {
            take_snapshot();
        }
    }

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
        if (PyDict_GET_SIZE(dict_.get()) != start_size_ || mutation_count(dict_.get()) != start_version_) [[unlikely]] {
            throw_changed();
        }
        if (!snapshot_.empty()) [[unlikely]] {
            return next_from_snapshot(key, value);
        }
        return PyDict_Next(dict_.get(), &position_, &key, &value) != 0;
    }

private:
    [[noreturn]] QUILLANE_NOINLINE void throw_changed() const {
        if (PyDict_GET_SIZE(dict_.get()) != start_size_) {
            throw_fault("dictionary changed size during iteration");
        }
        throw_fault("dictionary keys changed during iteration");
    }

    // The interpreter stamps a dict with a new version on each change made
    // through the dict (3.13 still keeps the stamp in the object; the low bits
    // hold watcher flags that change without any mutation, so they are masked
    // off).
    static uint64_t mutation_count(PyObject* dict) noexcept {
        constexpr int kWatcherBits = 12;
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#elif defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
        return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag >> kWatcherBits;
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#elif defined(_MSC_VER)
#pragma warning(pop)
#endif
    }

    // An instance's own __dict__ (a split table, its values kept apart from
    // its keys) is changed by attribute assignment without a new stamp. Its
    // entries are copied at the start, with references so that no address is
    // reused by another object, and the dict is compared with the copy
    // before each step. Such dicts hold few entries.
    QUILLANE_NOINLINE void take_snapshot() {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        snapshot_.reserve(static_cast<size_t>(start_size_));
        while (PyDict_Next(dict_.get(), &position, &key, &value) != 0) {
            snapshot_.emplace_back(Ref::borrow(key), Ref::borrow(value));
        }
    }

    QUILLANE_NOINLINE bool next_from_snapshot(PyObject*& key, PyObject*& value) {
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
    uint64_t start_version_;
    Py_ssize_t position_ = 0;  // the dict's iteration position, or the snapshot's index
    std::vector<std::pair<Ref, Ref>> snapshot_;
};

}  // namespace quillane
