// Which dicts Python code changed while the module was walking them, told by
// the interpreter's dict watchers.
#pragma once

#include "runtime/py_ref.hpp"

#include <cstdint>

namespace quillane {

// A watched dict's count of changes: raised by the watcher before each change
// made to the dict (an entry added, removed or replaced, the dict cleared or
// filled anew), for as long as some walk holds the watch.
struct DictChanges {
    uint64_t count = 0;
    Py_ssize_t holds = 0;  // walks holding the watch
};

// The record of `dict`, watched until the last hold is released: holds nest,
// so that a dict walked at several levels at once (data that holds itself, a
// walk re-entered on the same data) stays watched until its outermost walk
// ends. Null when the interpreter has no watcher left to give: the caller
// then detects changes by other means. Always null on a free-threaded build,
// which watches no dict (dict_watch.cpp says why).
DictChanges* hold_dict_watch(PyObject* dict);
void release_dict_watch(PyObject* dict, DictChanges* changes);

// Asks the interpreter for the module's watcher id now, at import, while
// one is likelier to be free than at a first walk (profilers, JITs and other
// extensions take the few there are). With none free the walks keep asking.
void take_dict_watcher();

// Forgets the watcher id and the records, once their interpreter is gone (it
// ends its watchers and dicts itself): a later interpreter gets an id of its
// own. Calls no C API.
void forget_dict_watcher() noexcept;

}  // namespace quillane
