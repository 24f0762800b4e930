// The list and dict walks under way in one check, walk or compile, and what
// each of them holds once Python code may run.
#pragma once

#include "runtime/inlining.hpp"
#include "runtime/py_ref.hpp"

#include <cstdint>

namespace quillane {

class ContainerWalks;

// One container's walk, linked into the walks under way.
//
// Until Python code may run, a walk borrows its container: the container is
// reachable from the data that the call was given (the caller's reference
// holds that) through containers that are each under a walk of their own,
// and only Python code can take it out of them. The module's own
// allocations run none: the cyclic collector runs at the interpreter's next
// check of its eval breaker, never inside an allocation. So a walk takes a
// reference of its own only when ContainerWalks::before_python_code() is
// called, which costs data that runs no Python code nothing, not even one
// reference count per container.
class ContainerWalk {
public:
    ContainerWalk(const ContainerWalk&) = delete;
    ContainerWalk& operator=(const ContainerWalk&) = delete;
    ContainerWalk(ContainerWalk&&) = delete;
    ContainerWalk& operator=(ContainerWalk&&) = delete;

protected:
    // What a walk does to take hold: the derived class's own, given to the
    // constructor (a dict's walk also has the dict watched).
    using HoldFunction = void (*)(ContainerWalk& walk);

    // Joins `walks`, innermost; null: a walk on its own, which the derived
    // class holds from the start.
    ContainerWalk(PyObject* container, ContainerWalks* walks, HoldFunction hold = &take_reference) noexcept;
    // Leaves the walks (the reference it took drops last).
    ~ContainerWalk();

    PyObject* container() const noexcept { return container_; }
    bool held() const noexcept { return static_cast<bool>(reference_); }
    // The walks this one joined; null for a walk on its own.
    const ContainerWalks* walks() const noexcept { return walks_; }

    // Takes the walk's own reference to its container.
    static void take_reference(ContainerWalk& walk) { walk.reference_ = Ref::borrow(walk.container_); }

private:
    friend class ContainerWalks;

    PyObject* container_;
    HoldFunction hold_;
    ContainerWalks* walks_;
    ContainerWalk* outer_;
    Ref reference_;
};

class ContainerWalks {
public:
    ContainerWalks() noexcept = default;
    ~ContainerWalks() = default;
    ContainerWalks(const ContainerWalks&) = delete;
    ContainerWalks& operator=(const ContainerWalks&) = delete;
    ContainerWalks(ContainerWalks&&) = delete;
    ContainerWalks& operator=(ContainerWalks&&) = delete;

    // Called before every place where Python code may run (an integer read
    // through __index__, a signal handler): every walk under way that holds
    // nothing yet takes its reference, and dicts are watched, from the
    // innermost outwards. The first walk found held has every outer walk
    // held too.
    QUILLANE_ALWAYS_INLINE void before_python_code() {
        for (ContainerWalk* walk = innermost_; walk != nullptr && !walk->held(); walk = walk->outer_) {
            walk->hold_(*walk);
        }
        ++python_code_runs_;
    }

    // How many places where Python code may run the call has passed. The
    // data can have changed, and an object it held been freed, only where
    // this has moved: a check that compares the data with what it saw (a
    // dict's entries, a memo of strs scanned) compares only then. A walk
    // taking hold reads it before the count moves on.
    uint64_t python_code_runs() const noexcept { return python_code_runs_; }

private:
    friend class ContainerWalk;
    ContainerWalk* innermost_ = nullptr;
    uint64_t python_code_runs_ = 0;
};

inline ContainerWalk::ContainerWalk(PyObject* container, ContainerWalks* walks, HoldFunction hold) noexcept
    : container_(container), hold_(hold), walks_(walks), outer_(walks != nullptr ? walks->innermost_ : nullptr) {
    if (walks != nullptr) {
        walks->innermost_ = this;
    }
}

inline ContainerWalk::~ContainerWalk() {
    if (walks_ != nullptr) {
        walks_->innermost_ = outer_;
        // What a held walk lets go of may have been left with no other
        // reference by the Python code that ran: its finaliser runs here.
        if (held()) {
            ++walks_->python_code_runs_;
        }
    }
}

}  // namespace quillane
