// Prints the main thread's stack extent that runtime/stack_limit.cpp makes of
// a reported extent and a stack rlimit, each given in KiB on the command line:
// stack_extent REPORTED_KIB LIMIT_KIB|unlimited prints "SIZE_KIB TOP_KEPT".
#include "runtime/stack_limit.cpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    const size_t reported = std::strtoull(argv[1], nullptr, 10) * 1024;
    const rlim_t limit = std::strcmp(argv[2], "unlimited") == 0 ? RLIM_INFINITY
                                                                : std::strtoull(argv[2], nullptr, 10) * 1024;
    // A top address well inside any address space; nothing is read there.
    const char* high = reinterpret_cast<const char*>(std::uintptr_t{1} << 40);
    const quillane::StackExtent extent = quillane::main_thread_extent({high - reported, reported}, limit);
    std::printf("%zu %s\n", extent.size / 1024, extent.low + extent.size == high ? "top-kept" : "top-moved");
    return 0;
}
