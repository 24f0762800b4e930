# The module for manylinux2014 aarch64 (glibc 2.17 or newer), built with zig:
# a cross build on any other machine, whose FindPython runs the target's
# interpreter under QUILLANE_EMULATOR (tools/wheel.sh --arch aarch64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUILLANE_ZIG_TARGET aarch64-linux-gnu.2.17)
include("${CMAKE_CURRENT_LIST_DIR}/zig.cmake")
