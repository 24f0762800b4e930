// A replacement for the global operator new, preloaded into a test
// interpreter, that fails (with std::bad_alloc) the n-th allocation after it
// is armed. Only C++ code allocates through it; the interpreter does not.
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {
long long g_countdown = -1;  // -1: disarmed
long long g_seen = 0;        // allocations since arming
}  // namespace

extern "C" void failing_new_arm(long long n) {
    g_countdown = n;
    g_seen = 0;
}

extern "C" long long failing_new_seen() { return g_seen; }

void* operator new(std::size_t size) {
    if (g_countdown >= 0) {
        ++g_seen;
        if (g_countdown-- == 0) {
            throw std::bad_alloc();
        }
    }
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
