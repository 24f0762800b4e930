// Lets the interpreter run its signal handlers now and then during a long
// walk, so that Ctrl-C or an alarm can end it as it ends a loop of the
// interpreter's own.
#pragma once

#include "runtime/dict_iteration.hpp"
#include "runtime/inlining.hpp"

#include <cstdint>

namespace quillane {

class SignalPoll {
public:
    // Counts one value; every few thousand values, asks the interpreter to
    // run the handlers of the signals that arrived meanwhile. True: a handler
    // raised, and its exception is pending. A handler is Python code: it may
    // change the data, so call this only where the walk holds what it goes
    // on with (as around an integer read); the dicts of `walks` are watched
    // from the first poll on.
    QUILLANE_ALWAYS_INLINE bool raised(DictWalks& walks) {
        if (--countdown_ != 0) [[likely]] {
            return false;
        }
        return poll(walks);
    }

    // About 50 microseconds of walking at the fastest per-value cost.
    static constexpr uint32_t kValuesBetweenPolls = 8192;

private:
    QUILLANE_NOINLINE QUILLANE_COLD bool poll(DictWalks& walks) {
        countdown_ = kValuesBetweenPolls;
        walks.before_python_code();
        return PyErr_CheckSignals() != 0;
    }

    uint32_t countdown_ = kValuesBetweenPolls;
};

}  // namespace quillane
