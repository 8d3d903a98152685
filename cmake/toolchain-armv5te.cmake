# SPDX-License-Identifier: Apache-2.0
# The Pellix target: 32-bit ARMv5TE, Thumb code, soft-float EABI, glibc.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv5te)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)

set(arch_flags "-march=armv5te -mthumb -mfloat-abi=soft")
set(CMAKE_C_FLAGS_INIT "${arch_flags}")
# -Wno-psabi: GCC notes that passing some standard-library types changed in
# GCC 7.1; no interface of ours passes them, and nothing older links to us.
set(CMAKE_CXX_FLAGS_INIT "${arch_flags} -Wno-psabi")
# Interworking stubs use BLX (ARMv5TE has it), so exported functions keep
# their Thumb entry points instead of gaining ARM-mode veneers. Segments are
# aligned for the device's 4 KiB pages: newer linkers default to 64 KiB on
# ARM, which pads a 5 KB module to 64 KB.
set(link_flags "-Wl,--use-blx -Wl,-z,max-page-size=4096 -Wl,-z,common-page-size=4096")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${link_flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${link_flags}")

set(TARGET_SYSROOT /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH ${TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test programs run under user-mode emulation, so ctest treats them like native
# ones. The CPU is pinned to the device's ARM926EJ-S: the emulator's default
# accepts ARMv6/ARMv7 instructions the device would fault on.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu arm926 -L ${TARGET_SYSROOT})
