// A pointer the module fills once for its interpreter and reads at every
// call after: its class, its exception class, the attribute names.
#pragma once

// Python.h first: it says whether this is a free-threaded build.
#include "runtime/py_ref.hpp"

#include <atomic>

namespace quillane {

// Empty until filled; filled at most once until forgotten. With the GIL a
// plain pointer: every read and the fill run under the interpreter lock.
// Free-threaded, calls on other threads read it while one fills it, so it is
// published with a release compare-and-swap and read with an acquire load:
// a reader sees either nothing (and fills it itself) or a complete object,
// and of two threads filling it at once one wins and the other drops its own.
template <class T>
class Published {
public:
    T* get() const noexcept {
#ifdef Py_GIL_DISABLED
        return value_.load(std::memory_order_acquire);
#else
        return value_;
#endif
    }

    // Fills it with the object `created` holds, whose reference it then
    // keeps for good, unless another fill came first: `created` is dropped
    // then. Returns what it holds.
    T* fill(Ref created) {
        T* object = reinterpret_cast<T*>(created.get());
        if (publish(object)) {
            [[maybe_unused]] PyObject* kept = created.release();
            return object;
        }
        return get();
    }

    // Empties it, once its interpreter is gone and no thread runs the module.
    void forget() noexcept {
#ifdef Py_GIL_DISABLED
        value_.store(nullptr, std::memory_order_relaxed);
#else
        value_ = nullptr;
#endif
    }

private:
    bool publish(T* value) noexcept {
#ifdef Py_GIL_DISABLED
        T* expected = nullptr;
        return value_.compare_exchange_strong(expected, value, std::memory_order_acq_rel, std::memory_order_acquire);
#else
        if (value_ != nullptr) {
            return false;
        }
        value_ = value;
        return true;
#endif
    }

#ifdef Py_GIL_DISABLED
    std::atomic<T*> value_{nullptr};
#else
    T* value_ = nullptr;
#endif
};

}  // namespace quillane
