# Cross-compiling for 32-bit ARM (ARMv7-A hard-float) with musl, through
# Zig's bundled clang, musl and libc++.  Executables are linked statically
# and run through qemu-user; the extension module is a shared object that
# needs musl's libc.so alone (Zig links libc++ in).
#
# ROWMERGE_MUSL_TOOLS: the directory holding the compiler wrappers zig-cc,
#   zig-c++, zig-ar, zig-ranlib and the emulator entry qemu-arm (default:
#   .cache/musl/bin in the checkout, as scripts/check-musl writes them).
# Python: give FindPython the musl CPython's hints (scripts/check-musl).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

if(NOT ROWMERGE_MUSL_TOOLS)
  if(DEFINED ENV{ROWMERGE_MUSL_TOOLS})
    set(ROWMERGE_MUSL_TOOLS "$ENV{ROWMERGE_MUSL_TOOLS}")
  else()
    get_filename_component(ROWMERGE_MUSL_TOOLS "${CMAKE_CURRENT_LIST_DIR}/../.cache/musl/bin" ABSOLUTE)
  endif()
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ROWMERGE_MUSL_TOOLS ROWMERGE_MUSL_EXTRA_ROOTS)

set(CMAKE_C_COMPILER "${ROWMERGE_MUSL_TOOLS}/zig-cc")
set(CMAKE_CXX_COMPILER "${ROWMERGE_MUSL_TOOLS}/zig-c++")
set(CMAKE_AR "${ROWMERGE_MUSL_TOOLS}/zig-ar" CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB "${ROWMERGE_MUSL_TOOLS}/zig-ranlib" CACHE FILEPATH "Ranlib")
# Zig marks what it links as wanting a 16 MiB stack, which makes musl raise
# the default stack of every thread to 8 MiB; size 0 keeps musl's own
# 128 KiB, as on the boards.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,-z,stack-size=0")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-z,stack-size=0")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,-z,stack-size=0")
set(CMAKE_CROSSCOMPILING_EMULATOR "${ROWMERGE_MUSL_TOOLS}/qemu-arm")

# Nothing of the host's libraries or headers may leak in.
set(CMAKE_FIND_ROOT_PATH ${ROWMERGE_MUSL_EXTRA_ROOTS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The code uses no C++20 modules, and Zig ships no clang-scan-deps to scan for
# them.
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)
