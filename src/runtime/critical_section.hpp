// A free-threaded build's lock on one container, for the reads that the
// interpreter allows only under it (a dict's iteration, a list's items read
// in a row).
#pragma once

#include "runtime/py_ref.hpp"

namespace quillane {

#ifdef Py_GIL_DISABLED
// Holds the container's critical section for the scope. The interpreter
// suspends it whenever the thread would block (waiting for another lock,
// detaching its thread state), and takes it again after: the reads under it
// are consistent only between such points, so nothing in its scope may
// block, and whatever is used after it ends is held by a reference of the
// caller's own. No exception may leave the scope with the lock taken: the
// destructor ends it.
class CriticalSection {
public:
    // Not noexcept: a thread that waits for the lock while the interpreter
    // exits is ended there by a forced unwind, which a noexcept frame would
    // turn into std::terminate.
    explicit CriticalSection(PyObject* container) { PyCriticalSection_Begin(&section_, container); }
    ~CriticalSection() { PyCriticalSection_End(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    CriticalSection(CriticalSection&&) = delete;
    CriticalSection& operator=(CriticalSection&&) = delete;

private:
    PyCriticalSection section_{};
};
#endif

}  // namespace quillane
