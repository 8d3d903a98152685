# SPDX-License-Identifier: Apache-2.0
# Where the i686 programs run. An x86-64 kernel normally runs them directly,
# but one built or booted without 32-bit support refuses them ("Exec format
# error"); there they run under user-mode emulation, qemu-i386. Decided once,
# when the build is configured, and handed to CMake as the emulator of every
# program of this configuration (ctest and the demonstration use it):
#
#   I686_RUN=AUTO      natively if this kernel runs a 32-bit program, else emulated (default)
#   I686_RUN=EMULATED  always under qemu-i386, to try that path on any machine
#   I686_RUN=NATIVE    always directly
#
# The decision is kept in the cache as I686_EMULATOR (empty: natively) and
# I686_RUN_REASON, which says why.

set(I686_RUN AUTO CACHE STRING "How the i686 programs run: AUTO, EMULATED or NATIVE")
set_property(CACHE I686_RUN PROPERTY STRINGS AUTO EMULATED NATIVE)
set(I686_QEMU qemu-i386 CACHE STRING "The user-mode emulator for i686 programs")

# Builds a trivial program the way the self-tests are built (dynamic, the
# 32-bit loader and C library) and tells whether it runs here.
function(i686_probe_runs out_var)
  set(probe_dir ${CMAKE_BINARY_DIR}/i686_probe)
  file(WRITE ${probe_dir}/probe.c "int main(void) { return 0; }\n")
  try_compile(built ${probe_dir}/build ${probe_dir}/probe.c
              COPY_FILE ${probe_dir}/probe OUTPUT_VARIABLE log)
  if(NOT built)
    message(FATAL_ERROR "i686: cannot build a trivial program:\n${log}")
  endif()
  execute_process(COMMAND ${probe_dir}/probe RESULT_VARIABLE status
                  OUTPUT_QUIET ERROR_QUIET)
  if(status STREQUAL "0")
    set(${out_var} TRUE PARENT_SCOPE)
  else()
    set(${out_var} FALSE PARENT_SCOPE)
  endif()
endfunction()

if(NOT DEFINED CACHE{I686_EMULATOR} OR NOT I686_RUN STREQUAL "${I686_RUN_DECIDED_FOR}")
  if(I686_RUN STREQUAL "EMULATED")
    set(emulate TRUE)
    set(reason "I686_RUN=EMULATED")
  elseif(I686_RUN STREQUAL "NATIVE")
    set(emulate FALSE)
    set(reason "I686_RUN=NATIVE")
  elseif(I686_RUN STREQUAL "AUTO")
    i686_probe_runs(runs)
    if(runs)
      set(emulate FALSE)
      set(reason "this kernel runs 32-bit programs")
    else()
      set(emulate TRUE)
      set(reason "this kernel does not run 32-bit programs")
    endif()
  else()
    message(FATAL_ERROR "I686_RUN is AUTO, EMULATED or NATIVE, not '${I686_RUN}'")
  endif()
  if(emulate)
    set(chosen ${I686_QEMU})
  else()
    set(chosen "")
  endif()
  set(I686_EMULATOR "${chosen}" CACHE STRING "What runs the i686 programs (empty: directly)" FORCE)
  set(I686_RUN_REASON "${reason}" CACHE INTERNAL "")
  set(I686_RUN_DECIDED_FOR "${I686_RUN}" CACHE INTERNAL "")
endif()

if(I686_EMULATOR)
  message(STATUS "i686 programs run under ${I686_EMULATOR}: ${I686_RUN_REASON}")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${I686_EMULATOR})
else()
  message(STATUS "i686 programs run directly: ${I686_RUN_REASON}")
endif()
# The same decision for the demonstration, one fact a file.
file(WRITE ${CMAKE_BINARY_DIR}/i686-emulator "${I686_EMULATOR}")
file(WRITE ${CMAKE_BINARY_DIR}/i686-run-reason "${I686_RUN_REASON}")
