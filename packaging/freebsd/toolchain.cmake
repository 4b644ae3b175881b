# SPDX-License-Identifier: BSD-2-Clause
# Cross-compiles both programs for FreeBSD 14.2 on amd64 with clang and
# lld, against a FreeBSD sysroot (its usr/include, lib and usr/lib):
#
#   cmake -S . -B build-freebsd -DCMAKE_TOOLCHAIN_FILE=packaging/freebsd/toolchain.cmake \
#         -DTOLVAREN_FREEBSD_SYSROOT=/path/to/sysroot
#
# The sysroot defaults to the environment variable of the same name.  What
# is built runs on FreeBSD 14 and 15 only, not here.  FreeBSD's libc++
# headers want clang 16 or later.
set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_VERSION 14.2)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

if(NOT TOLVAREN_FREEBSD_SYSROOT)
  set(TOLVAREN_FREEBSD_SYSROOT "$ENV{TOLVAREN_FREEBSD_SYSROOT}")
endif()
set(TOLVAREN_FREEBSD_SYSROOT "${TOLVAREN_FREEBSD_SYSROOT}" CACHE PATH "FreeBSD sysroot")
# try_compile runs this file again in a project of its own.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOLVAREN_FREEBSD_SYSROOT)
if(NOT IS_DIRECTORY "${TOLVAREN_FREEBSD_SYSROOT}/usr/include")
  message(FATAL_ERROR "TOLVAREN_FREEBSD_SYSROOT ('${TOLVAREN_FREEBSD_SYSROOT}') is no FreeBSD sysroot")
endif()
set(CMAKE_SYSROOT "${TOLVAREN_FREEBSD_SYSROOT}")

find_program(TOLVAREN_FREEBSD_CLANG NAMES clang-19 clang-18 clang-17 clang-16 clang REQUIRED)
string(REGEX REPLACE "clang(-[0-9]+)?$" "clang++\\1" clangxx "${TOLVAREN_FREEBSD_CLANG}")
set(CMAKE_C_COMPILER "${TOLVAREN_FREEBSD_CLANG}")
set(CMAKE_CXX_COMPILER "${clangxx}")
set(CMAKE_C_COMPILER_TARGET x86_64-unknown-freebsd14.2)
set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-freebsd14.2)
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -stdlib=libc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -stdlib=libc++")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Test programs built this way cannot run here.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
