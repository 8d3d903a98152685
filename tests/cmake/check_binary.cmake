# SPDX-License-Identifier: Apache-2.0
# Checks a linked program. Used as a test command:
#
#   cmake -DMODE=<mode> -DPROGRAM=<path> -DTOOL=<readelf>
#         [-DLIBC_REFERENCE=<path> -DRUNTIME_REFERENCE=<path>] -P check_binary.cmake
#
# MODE is one of
#   NEEDED          the program needs libc, and nothing beyond libc and the C++ language
#                   runtime (readelf). Which libraries those are comes from two reference
#                   programs linked the same way: LIBC_REFERENCE, a C program that needs libc
#                   only, and RUNTIME_REFERENCE, which needs the language runtime as well
#   RUNPATH         the program looks for libraries in $ORIGIN/../lib and nowhere else: one
#                   RUNPATH entry with exactly that path, and no RPATH entry (readelf)

cmake_minimum_required(VERSION 3.25)

foreach(required MODE PROGRAM TOOL)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "check_binary: ${required} is not set")
  endif()
endforeach()

function(run_tool out_var)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PROGRAM" "")
  if(NOT arg_PROGRAM)
    set(arg_PROGRAM "${PROGRAM}")
  endif()
  execute_process(
    COMMAND "${TOOL}" ${arg_UNPARSED_ARGUMENTS} "${arg_PROGRAM}"
    OUTPUT_VARIABLE output
    ERROR_VARIABLE errors
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "check_binary: ${TOOL} ${arg_UNPARSED_ARGUMENTS} ${arg_PROGRAM} failed:\n"
                        "${errors}")
  endif()
  set(${out_var} "${output}" PARENT_SCOPE)
endfunction()

# The values of the dynamic section's entries of one tag, as readelf -d shows them: "[value]".
function(dynamic_entries tag out_var)
  run_tool(dynamic -d ${ARGN})
  string(REGEX MATCHALL "\\(${tag}\\)[^\n]*\\[[^]\n]*\\]" entries "${dynamic}")
  set(values "")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE ".*\\[(.*)\\]$" "\\1" value "${entry}")
    list(APPEND values "${value}")
  endforeach()
  set(${out_var} "${values}" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "NEEDED")
  dynamic_entries(NEEDED needed)
  dynamic_entries(NEEDED libc PROGRAM "${LIBC_REFERENCE}")
  dynamic_entries(NEEDED allowed PROGRAM "${RUNTIME_REFERENCE}")
  if(libc STREQUAL "")
    message(FATAL_ERROR "check_binary: ${LIBC_REFERENCE} needs no library; cannot tell libc")
  endif()
  set(missing ${libc})
  list(REMOVE_ITEM missing ${needed})
  set(extra ${needed})
  list(REMOVE_ITEM extra ${allowed} ${libc})
  if(NOT missing STREQUAL "" OR NOT extra STREQUAL "")
    message(FATAL_ERROR "check_binary: ${PROGRAM} needs [${needed}]; expected libc [${libc}] and "
                        "at most the language runtime [${allowed}]")
  endif()
elseif(MODE STREQUAL "RUNPATH")
  dynamic_entries(RUNPATH runpath)
  dynamic_entries(RPATH rpath)
  if(NOT runpath STREQUAL "$ORIGIN/../lib" OR NOT rpath STREQUAL "")
    message(FATAL_ERROR "check_binary: ${PROGRAM} has RUNPATH [${runpath}] and RPATH [${rpath}]; "
                        "expected RUNPATH [$ORIGIN/../lib] and no RPATH")
  endif()
else()
  message(FATAL_ERROR "check_binary: unknown MODE ${MODE}")
endif()
