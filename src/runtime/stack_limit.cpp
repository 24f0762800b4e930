// The calling thread's stack extent, asked of the platform once per thread.
#include "runtime/stack_limit.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#elif defined(__APPLE__) || defined(__linux__)
#include <pthread.h>
#endif
#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace quillane {
namespace {

// What is kept free below the deepest recursive step: enough for the
// interpreter to run a short Python method and raise an exception, and at
// most a quarter of a small thread stack.
constexpr size_t kMaxReserve = size_t{256} * 1024;

struct StackExtent {
    const char* low = nullptr;
    size_t size = 0;
};

#if defined(__linux__)
// The main thread's stack grows on demand up to the stack rlimit, and musl's
// pthread_getattr_np reports only the part mapped so far (132 KiB of an 8 MiB
// limit), which would put the floor near the top of a stack that has room for
// thousands of levels. Where the reported size is smaller than the limit, the
// limit counts, below the same top. glibc reports the limit itself, cut where
// another mapping lies in the way, so its answer is kept.
// Used only where the C library is not glibc (and by tests/native/stack_extent.cpp).
[[maybe_unused]] StackExtent main_thread_extent(StackExtent reported, rlim_t limit) noexcept {
    if (limit == RLIM_INFINITY || limit <= reported.size) {
        return reported;
    }
    const char* high = reported.low + reported.size;
    const auto size = static_cast<size_t>(limit);
    return StackExtent{high - size, size};
}
#endif

StackExtent query_stack_extent() noexcept {
    StackExtent extent;
#if defined(_WIN32)
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    extent.low = reinterpret_cast<const char*>(low);
    extent.size = static_cast<size_t>(high - low);
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    auto* high = static_cast<const char*>(pthread_get_stackaddr_np(self));
    extent.size = pthread_get_stacksize_np(self);
    extent.low = high - extent.size;
#elif defined(__linux__)
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        void* low = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
            extent.low = static_cast<const char*>(low);
            extent.size = size;
        }
        pthread_attr_destroy(&attributes);
    }
#if !defined(__GLIBC__)
    rlimit limit{};
    if (extent.low != nullptr && getpid() == static_cast<pid_t>(syscall(SYS_gettid)) &&
        getrlimit(RLIMIT_STACK, &limit) == 0) {
        extent = main_thread_extent(extent, limit.rlim_cur);
    }
#endif
#endif
    return extent;
}

const char* compute_floor() noexcept {
    StackExtent extent = query_stack_extent();
    if (extent.low == nullptr || extent.size == 0) {
        return nullptr;
    }
    return extent.low + std::min(kMaxReserve, extent.size / 4);
}

}  // namespace

const char* stack_floor() noexcept {
    // One query per thread: the first recursive call on a thread pays for it.
    thread_local const char* const floor = compute_floor();
    return floor;
}

}  // namespace quillane
