# SPDX-License-Identifier: Apache-2.0
# The 32-bit Linux host of the self-test programs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)

set(TARGET_SYSROOT /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# An x86-64 kernel runs i686 programs directly: the dynamic loader and the
# libraries come from Debian's libc6-i386, lib32stdc++6 and lib32gcc-s1
# (/lib/ld-linux.so.2, /usr/lib32), which scripts/install-deps installs. A
# kernel without 32-bit support runs them under qemu-i386, with the same
# libraries: cmake/i686_runner.cmake decides which.
