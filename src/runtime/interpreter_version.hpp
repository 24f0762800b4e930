// What differs between the interpreter versions the module supports (3.13,
// 3.14, 3.15), in one place: nothing else in the module tests a version.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillane {

// Whether the calling thread still holds the interpreter. At shutdown, 3.13
// ends a daemon thread that asks for the interpreter back by unwinding its
// stack (pthread_exit) from inside whatever Python code the module called;
// the module's destructors then run without a thread state and must not
// touch the interpreter. From 3.14 on such a thread is parked for good
// instead, so every destructor that runs does hold it.
inline bool thread_holds_interpreter() noexcept {
#if PY_VERSION_HEX < 0x030E0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return true;
#endif
}

// Whether changes to `dict` can bypass the dict watchers. On 3.13 an
// attribute store into an instance's own __dict__ (a split table, its values
// kept apart from its keys) writes the value in place without telling the
// watchers; from 3.14 on such a store goes through the dict.
inline bool watchers_miss_stores_into(PyObject* dict) noexcept {
#if PY_VERSION_HEX < 0x030E0000
    return reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr;
#else
    (void)dict;
    return false;
#endif
}

}  // namespace quillane
