// Lets the interpreter run its signal handlers now and then during a long
// walk, so that Ctrl-C or an alarm can end it as it ends a loop of the
// interpreter's own.
#pragma once

#include "runtime/container_walks.hpp"
#include "runtime/inlining.hpp"
#include "runtime/interpreter_version.hpp"

#include <cstddef>
#include <cstdint>

namespace quillane {

// Each of the calls below may ask the interpreter to run the handlers of the
// signals that arrived meanwhile, and answers true when a handler raised (its
// exception is then pending). A handler is Python code: it may change the
// data, so they are called only where the walk holds what it goes on with
// (as around an integer read); the walks under way take hold (see
// ContainerWalks) at the first poll that may run a handler. Polls come between blocks of
// kValuesBetweenPolls items of one container, and once the containers that
// ended have held that many items in all.
class SignalPoll {
public:
    // After the last of a container's `count` items, for data made of many
    // small containers.
    QUILLANE_ALWAYS_INLINE bool raised_after(size_t count, ContainerWalks& walks) {
        countdown_ -= static_cast<int64_t>(count);
        if (countdown_ > 0) [[likely]] {
            return false;
        }
        return poll(walks);
    }

    // Counts `count` values toward the next poll without polling: for a loop
    // that stops early, before its poll.
    QUILLANE_ALWAYS_INLINE void count(size_t count) noexcept { countdown_ -= static_cast<int64_t>(count); }

    // An item walked one at a time (an entry that collect reports).
    QUILLANE_ALWAYS_INLINE bool raised(ContainerWalks& walks) { return raised_after(1, walks); }

    // Short enough a stretch of walking that Ctrl-C ends a call at once,
    // long enough that the poll's cost vanishes in it.
    static constexpr size_t kValuesBetweenPolls = 8192;

private:
    QUILLANE_NOINLINE QUILLANE_COLD bool poll(ContainerWalks& walks) {
        countdown_ = kValuesBetweenPolls;
        // With nothing for the check to run, the walks need not take hold.
        if (!signal_check_may_run_python_code()) {
            return false;
        }
        walks.before_python_code();
        return PyErr_CheckSignals() != 0;
    }

    int64_t countdown_ = kValuesBetweenPolls;
};

}  // namespace quillane
