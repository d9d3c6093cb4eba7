# Cross-compiles for 32-bit ARM Linux (ARMv7, hard-float, glibc) with Debian's
# arm-linux-gnueabihf toolchain.
#
# TOLV_ARMHF_SYSROOT names a Debian 12 armhf root with its CPython and headers
# (usr/include/python3.11, usr/include/arm-linux-gnueabihf/...), made by
# scripts/target_python.sh; it only supplies the Python headers, libc and libstdc++
# come from the cross toolchain. scripts/armhf_tests.sh makes it and passes it in.
#
# CMAKE_SYSTEM_NAME stays unset on purpose: host and target are both Linux, and
# marking the build as cross-compiling makes FindPython stop asking the
# interpreter for its settings, so the module would lose its
# .cpython-311-arm-linux-gnueabihf suffix. The interpreter handed in as
# Python_EXECUTABLE is the armhf one run through qemu-arm, so what it answers is
# right for the target.

set(TOLV_ARMHF_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${TOLV_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TOLV_ARMHF_TRIPLE}-g++)

if(NOT TOLV_ARMHF_SYSROOT AND DEFINED ENV{TOLV_ARMHF_SYSROOT})
  set(TOLV_ARMHF_SYSROOT "$ENV{TOLV_ARMHF_SYSROOT}")
endif()
if(NOT TOLV_ARMHF_SYSROOT)
  set(TOLV_ARMHF_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/roots/armhf-bookworm")
endif()
get_filename_component(TOLV_ARMHF_SYSROOT "${TOLV_ARMHF_SYSROOT}" ABSOLUTE)
# Compile checks re-read this file in a fresh project; hand the folder on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOLV_ARMHF_SYSROOT)

# The unpacked usr/include/python3.11/pyconfig.h picks the per-architecture
# header as <arm-linux-gnueabihf/python3.11/pyconfig.h>, so the folder's
# usr/include has to be searched too; after the toolchain's own headers, so it
# never shadows the cross libc.
# -Wno-psabi: silences GCC's note that the passing of some std::map iterators
# changed in GCC 7.1; everything here is built by the same compiler.
set(CMAKE_C_FLAGS_INIT "-idirafter ${TOLV_ARMHF_SYSROOT}/usr/include -Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${TOLV_ARMHF_SYSROOT}/usr/include -Wno-psabi")

# Libraries and headers from the target folder first, programs from the host.
set(CMAKE_FIND_ROOT_PATH "${TOLV_ARMHF_SYSROOT}" /usr/${TOLV_ARMHF_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
