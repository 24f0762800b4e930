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
