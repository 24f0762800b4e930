// The module's dict watcher and the records of the dicts it watches.
#include "runtime/dict_watch.hpp"

#include "runtime/failure.hpp"

#include <unordered_map>

namespace quillane {

#ifdef Py_GIL_DISABLED

// Free-threaded, no dict is watched. The watcher would run on whichever
// thread changes a dict, inside the interpreter's dict code, while walks on
// other threads add and remove records: the records would need a lock that
// the watcher takes there, where a thread must not wait. The walks take the
// path they take when the interpreter has no watcher id to give instead: a
// held walk copies the dict's entries and compares the dict with the copy.

DictChanges* hold_dict_watch(PyObject* /*dict*/) { return nullptr; }

void release_dict_watch(PyObject* /*dict*/, DictChanges* /*changes*/) {}

void take_dict_watcher() {}

void forget_dict_watcher() noexcept {}

#else

namespace {

constexpr int kNoWatcher = -1;

// Written with the interpreter lock held, as every call of the module runs;
// the module refuses subinterpreters, so one set serves the interpreter that
// imported it, until forget_dict_watcher() at its end.
int g_watcher_id = kNoWatcher;
std::unordered_map<PyObject*, DictChanges>* g_watched = nullptr;

// Runs before the change, inside the interpreter's own dict code: it only
// counts, and so can neither run Python code nor fail.
int count_change(PyDict_WatchEvent /*event*/, PyObject* dict, PyObject* /*key*/, PyObject* /*new_value*/) {
    if (g_watched != nullptr) {
        if (auto found = g_watched->find(dict); found != g_watched->end()) {
            ++found->second.count;
        }
    }
    return 0;
}

// The watcher id, asked for again while the interpreter has had none to give
// (kNoWatcher until one is freed).
int watcher_id() {
    if (g_watcher_id == kNoWatcher) {
        if (g_watched == nullptr) {
            // Made before an id is held, so that a held id always has its
            // records. Kept for the life of the process: the interpreter may
            // still report a change while it shuts down, after static
            // destructors would run.
            // NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
            g_watched = new std::unordered_map<PyObject*, DictChanges>();
        }
        const int id = PyDict_AddWatcher(count_change);
        if (id < 0) {
            PyErr_Clear();
            return kNoWatcher;
        }
        g_watcher_id = id;
    }
    return g_watcher_id;
}

}  // namespace

void take_dict_watcher() { watcher_id(); }

void forget_dict_watcher() noexcept {
    g_watcher_id = kNoWatcher;
    if (g_watched != nullptr) {
        g_watched->clear();
    }
}

DictChanges* hold_dict_watch(PyObject* dict) {
    const int id = watcher_id();
    if (id == kNoWatcher) {
        return nullptr;
    }
    DictChanges& changes = (*g_watched)[dict];
    if (changes.holds++ == 0 && PyDict_Watch(id, dict) != 0) [[unlikely]] {
        g_watched->erase(dict);
        PyErr_Clear();
        throw_fault("could not watch a dict");
    }
    return &changes;
}

void release_dict_watch(PyObject* dict, DictChanges* changes) {
    if (--changes->holds != 0) {
        return;
    }
    g_watched->erase(dict);
    if (PyDict_Unwatch(g_watcher_id, dict) != 0) [[unlikely]] {
        PyErr_Clear();
    }
}

#endif  // Py_GIL_DISABLED

}  // namespace quillane
