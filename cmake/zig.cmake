# Shared by the zig toolchain files (zig-<arch>-manylinux2014.cmake), which
# set QUILLANE_ZIG_TARGET first: compiles with the clang and libc++ of zig
# (PyPI's ziglang; tools/wheel.sh passes its path in QUILLANE_ZIG) against
# glibc 2.17's symbol versions, so that the module runs on every manylinux2014
# system. libc++ is linked statically, so the module needs no C++ runtime of
# the system's.
cmake_minimum_required(VERSION 3.26)

if(NOT QUILLANE_ZIG)
    set(QUILLANE_ZIG "$ENV{QUILLANE_ZIG}")
endif()
if(NOT EXISTS "${QUILLANE_ZIG}")
    message(FATAL_ERROR "the zig toolchain needs QUILLANE_ZIG: the path of the zig executable (tools/wheel.sh sets it)")
endif()
# try_compile projects read this file again and need the same answers.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLANE_ZIG QUILLANE_ZIG_TARGET)

set(CMAKE_CXX_COMPILER "${QUILLANE_ZIG}" c++ -target ${QUILLANE_ZIG_TARGET})
set(CMAKE_C_COMPILER "${QUILLANE_ZIG}" cc -target ${QUILLANE_ZIG_TARGET})
set(CMAKE_AR "${QUILLANE_ZIG}" ar)
set(CMAKE_RANLIB "${QUILLANE_ZIG}" ranlib)
# zig has no clang-scan-deps, and the module uses no C++ modules.
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)

# A cross build (another architecture than this machine's) says so, and then
# runs the target's interpreter under QUILLANE_EMULATOR where FindPython asks
# it for its settings.
if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
    set(CMAKE_SYSTEM_NAME Linux)
    if(NOT QUILLANE_EMULATOR)
        set(QUILLANE_EMULATOR "$ENV{QUILLANE_EMULATOR}")
    endif()
    if(QUILLANE_EMULATOR)
        set(CMAKE_CROSSCOMPILING_EMULATOR "${QUILLANE_EMULATOR}")
    endif()
    list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLANE_EMULATOR)
endif()

# zig links an unwinder of its own into the module, while glibc's
# pthread_exit unwinds a thread with the system's libgcc_s: one unwind through
# frames of both crashes. Linked against a stub libgcc_s.so.1 that carries only
# the unwinder's symbol names and versions (libgcc_s.map), the module takes
# them from the system's libgcc_s at run time, and zig's unwinder stays out.
set(_quillane_stub_dir "${CMAKE_BINARY_DIR}/libgcc_s-stub")
set(_quillane_stub "${_quillane_stub_dir}/libgcc_s.so.1")
if(NOT EXISTS "${_quillane_stub}")
    file(READ "${CMAKE_CURRENT_LIST_DIR}/libgcc_s.map" _quillane_map)
    string(REGEX REPLACE "/\\*.*\\*/" "" _quillane_map "${_quillane_map}")
    string(REGEX MATCHALL "_Unwind_[A-Za-z_]+" _quillane_symbols "${_quillane_map}")
    set(_quillane_source "")
    foreach(_quillane_symbol IN LISTS _quillane_symbols)
        string(APPEND _quillane_source "void ${_quillane_symbol}(void) {}\n")
    endforeach()
    file(MAKE_DIRECTORY "${_quillane_stub_dir}")
    file(WRITE "${_quillane_stub_dir}/stub.c" "${_quillane_source}")
    execute_process(
        COMMAND "${QUILLANE_ZIG}" cc -target ${QUILLANE_ZIG_TARGET} -shared -nostdlib
                -Wl,-soname,libgcc_s.so.1 "-Wl,--version-script,${CMAKE_CURRENT_LIST_DIR}/libgcc_s.map"
                -o "${_quillane_stub}" "${_quillane_stub_dir}/stub.c"
        RESULT_VARIABLE _quillane_status
        ERROR_VARIABLE _quillane_error)
    if(NOT _quillane_status EQUAL 0)
        message(FATAL_ERROR "could not make the libgcc_s stub: ${_quillane_error}")
    endif()
endif()
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_quillane_stub}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_quillane_stub}")
