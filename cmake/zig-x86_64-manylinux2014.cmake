# The module for manylinux2014 x86-64 (glibc 2.17 or newer), built with zig.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUILLANE_ZIG_TARGET x86_64-linux-gnu.2.17)
include("${CMAKE_CURRENT_LIST_DIR}/zig.cmake")
