# Cross-compiling for 32-bit ARM (ARMv7-A, hard-float, glibc) with Debian's
# arm-linux-gnueabihf toolchain.  Target binaries run through qemu-user.
#
# ROWMERGE_ARMHF_SYSROOT: the unpacked armhf root holding Python, NumPy and
#   the target's shared libraries (default: .cache/armhf/sysroot in the
#   checkout, as scripts/check-armhf sets it up).
# ROWMERGE_ARMHF_EMULATOR: the command that runs a target executable
#   (default: the qemu wrapper scripts/check-armhf writes beside the sysroot).
#
# The compiler brings its own glibc headers and libraries
# (/usr/arm-linux-gnueabihf), so CMAKE_SYSROOT stays unset: the unpacked root
# has no C library headers, only what the target needs at run time.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

get_filename_component(_rowmerge_checkout "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(NOT ROWMERGE_ARMHF_SYSROOT)
  if(DEFINED ENV{ROWMERGE_ARMHF_SYSROOT})
    set(ROWMERGE_ARMHF_SYSROOT "$ENV{ROWMERGE_ARMHF_SYSROOT}")
  else()
    set(ROWMERGE_ARMHF_SYSROOT "${_rowmerge_checkout}/.cache/armhf/sysroot")
  endif()
endif()
if(NOT ROWMERGE_ARMHF_EMULATOR)
  if(DEFINED ENV{ROWMERGE_ARMHF_EMULATOR})
    set(ROWMERGE_ARMHF_EMULATOR "$ENV{ROWMERGE_ARMHF_EMULATOR}")
  else()
    get_filename_component(_rowmerge_cache "${ROWMERGE_ARMHF_SYSROOT}/.." ABSOLUTE)
    set(ROWMERGE_ARMHF_EMULATOR "${_rowmerge_cache}/bin/qemu-arm")
  endif()
endif()
# try_compile and try_run projects read this file again: hand them the values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ROWMERGE_ARMHF_SYSROOT ROWMERGE_ARMHF_EMULATOR)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# GCC notes every by-value pair and struct whose passing changed in GCC 10.1
# on ARM; everything here is built by one compiler, so the notes are noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CROSSCOMPILING_EMULATOR "${ROWMERGE_ARMHF_EMULATOR}")

# Libraries, headers and CMake packages come only from the target's trees;
# programs (code generators, python-config) from the host.
set(CMAKE_FIND_ROOT_PATH "${ROWMERGE_ARMHF_SYSROOT}" ${ROWMERGE_ARMHF_EXTRA_ROOTS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ROWMERGE_ARMHF_EXTRA_ROOTS)
