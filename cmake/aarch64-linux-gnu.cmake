# Cross-compiles for Linux on aarch64 with Debian's cross compiler
# (g++-aarch64-linux-gnu), against the CPython of a Debian arm64 root that
# qemu's user-mode emulation runs (scripts/provision-arm64-root makes one):
#
#   -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DTARVELLA_TARGET_ROOT=/path/to/root
#
# The root's interpreter answers FindPython's questions (headers, suffix,
# version) under the emulator; a build backend must not hint at its own
# (scikit-build-core: cmake.python-hints=false). The C and C++ runtimes still come from the
# cross compiler's own files, not from the root, so that the module asks no
# more of the target's glibc than a native build on this system would.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# try_compile projects read this file again; they must see the root too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARVELLA_TARGET_ROOT)
if(NOT IS_DIRECTORY "${TARVELLA_TARGET_ROOT}/usr/bin")
    message(FATAL_ERROR " TARVELLA_TARGET_ROOT must name a Debian arm64 root (got \"${TARVELLA_TARGET_ROOT}\")")
endif()

# -L points the emulator's loader at the root's glibc. FindPython runs the
# interpreter through the emulator; the project's own execute_process runs it
# directly, through binfmt_misc, which reads the prefix from the environment.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L "${TARVELLA_TARGET_ROOT}")
set(ENV{QEMU_LD_PREFIX} "${TARVELLA_TARGET_ROOT}")

set(Python_EXECUTABLE "${TARVELLA_TARGET_ROOT}/usr/bin/python3")
set(CMAKE_FIND_ROOT_PATH "${TARVELLA_TARGET_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's Python.h reaches the architecture's pyconfig.h as
# <aarch64-linux-gnu/python3.X/pyconfig.h>, from the root's include directory.
# Searched after the cross compiler's own directories, that directory adds
# the header without putting the root's newer C library headers before the
# compiler's. An option rather than CMAKE_CXX_FLAGS_INIT, which a build
# directory would keep after the root has moved.
add_compile_options("SHELL:-idirafter \"${TARVELLA_TARGET_ROOT}/usr/include\"")
