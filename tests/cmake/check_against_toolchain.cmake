# SPDX-License-Identifier: Apache-2.0
# Where the standard leaves an answer to the implementation, the traits library gives the one
# the toolchain's own library gives. Used as a test command:
#
#   cmake -DCOMPILER=<c++> -DFLAGS=<flag|flag|...> -DLIBRARY=<include dir>
#         -DSOURCE=<toolchain_answers.cpp> -P check_against_toolchain.cmake
#
# For every edition, C++11 to C++20, in its strict and its GNU dialect, SOURCE is compiled
# against the toolchain's library and against LIBRARY (with -nostdinc++), and both must agree on:
#   - whether is_integral holds for the 128-bit integers and their cv forms;
#   - whether a use of is_pod, and from C++17 of is_pod_v, is reported as deprecated.

cmake_minimum_required(VERSION 3.25)

foreach(required COMPILER FLAGS LIBRARY SOURCE)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "check_against_toolchain: ${required} is not set")
  endif()
endforeach()
string(REPLACE "|" ";" flags "${FLAGS}")

# compile(<status> <output> <std> <library> <option>...): compiles SOURCE, every warning shown.
function(compile status_var output_var std library)
  if(library STREQUAL "ours")
    set(library_options -nostdinc++ -I${LIBRARY})
  else()
    set(library_options "")
  endif()
  execute_process(
    COMMAND "${COMPILER}" ${flags} -std=${std} -Wall -Wextra ${library_options} ${ARGN}
            -fsyntax-only "${SOURCE}"
    RESULT_VARIABLE status
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
  set(${status_var} ${status} PARENT_SCOPE)
  set(${output_var} "${output}" PARENT_SCOPE)
endfunction()

# The library's answers in one dialect of one edition, as one line of text.
function(answers out_var std library)
  set(int128 "no answer")
  foreach(value 1 0 -1)
    compile(status output ${std} ${library} -DINT128_INTEGRAL=${value})
    if(status EQUAL 0)
      set(int128 ${value})
      break()
    endif()
  endforeach()
  set(line "is_integral<__int128>: ${int128}")
  set(uses USE_IS_POD)
  if(NOT std MATCHES "\\+\\+1[14]$")
    list(APPEND uses USE_IS_POD_V)
  endif()
  foreach(use IN LISTS uses)
    compile(status output ${std} ${library} -DINT128_INTEGRAL=${int128} -D${use})
    if(NOT status EQUAL 0)
      set(verdict "does not compile")
    elseif(output MATCHES "deprecated")
      set(verdict "deprecated")
    else()
      set(verdict "quiet")
    endif()
    string(APPEND line ", ${use}: ${verdict}")
  endforeach()
  set(${out_var} "${line}" PARENT_SCOPE)
endfunction()

set(failures 0)
foreach(edition 11 14 17 20)
  foreach(dialect c++ gnu++)
    answers(toolchain ${dialect}${edition} toolchain)
    answers(ours ${dialect}${edition} ours)
    if(ours STREQUAL toolchain AND NOT ours MATCHES "no answer|does not compile")
      message("pass  -std=${dialect}${edition}: ${ours}")
    else()
      message("fail  -std=${dialect}${edition}:\n  toolchain: ${toolchain}\n  ours:      ${ours}")
      math(EXPR failures "${failures} + 1")
    endif()
  endforeach()
endforeach()

if(failures GREATER 0)
  message(FATAL_ERROR "check_against_toolchain: ${failures} dialect(s) disagree")
endif()
