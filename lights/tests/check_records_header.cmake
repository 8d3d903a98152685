# SPDX-License-Identifier: Apache-2.0
# Proves that the records header is a contract a C or C++ client can compile
# against by itself, and that its layout checks bite. Used as a test command:
#
#   cmake -DC_COMPILER=<cc> -DCXX_COMPILER=<c++> -DFLAGS=<flag|flag|...>
#         -DINCLUDE=<dir> -DSOURCE=<records_client.c> -DPOINTER_BYTES=<4|8>
#         -P check_records_header.cmake
#
# SOURCE is compiled, with only INCLUDE added to the search path, as C99,
# C11 and C17 and as C++11, C++17 and C++20, every warning an error. On a
# 32-bit target (POINTER_BYTES 4) it is compiled again with the record's
# layout broken, and each compilation must fail on the layout check.

cmake_minimum_required(VERSION 3.25)

foreach(required C_COMPILER CXX_COMPILER FLAGS INCLUDE SOURCE POINTER_BYTES)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "check_records_header: ${required} is not set")
  endif()
endforeach()
string(REPLACE "|" ";" flags "${FLAGS}")

set(failures 0)
function(compile compiler language standard expect_success)
  execute_process(
    COMMAND "${compiler}" ${flags} -x ${language} -std=${standard} -Wall -Wextra -Werror
            -pedantic-errors -I${INCLUDE} ${ARGN} -c "${SOURCE}" -o /dev/null
    RESULT_VARIABLE status
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
  if(expect_success)
    set(what "${standard}")
    if(status EQUAL 0)
      set(ok TRUE)
    else()
      set(ok FALSE)
    endif()
  else()
    set(what "${standard}, layout broken: rejected by the layout check")
    if(NOT status EQUAL 0 AND output MATCHES "module_record_api_minor")
      set(ok TRUE)
    else()
      set(ok FALSE)
    endif()
  endif()
  if(ok)
    message("pass  ${what}")
  else()
    message("fail  ${what}\n${output}")
    math(EXPR count "${failures} + 1")
    set(failures ${count} PARENT_SCOPE)
  endif()
endfunction()

foreach(standard c99 c11 c17)
  compile("${C_COMPILER}" c ${standard} TRUE)
endforeach()
foreach(standard c++11 c++17 c++20)
  compile("${CXX_COMPILER}" c++ ${standard} TRUE)
endforeach()
if(POINTER_BYTES EQUAL 4)
  compile("${C_COMPILER}" c c99 FALSE -DCLIENT_WRONG_LAYOUT)
  compile("${C_COMPILER}" c c11 FALSE -DCLIENT_WRONG_LAYOUT)
  compile("${CXX_COMPILER}" c++ c++17 FALSE -DCLIENT_WRONG_LAYOUT)
endif()

if(failures GREATER 0)
  message(FATAL_ERROR "check_records_header: ${failures} check(s) failed")
endif()
