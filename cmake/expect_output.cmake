# SPDX-License-Identifier: Apache-2.0
# Runs a program and compares its exit status, standard output and standard error with what is
# expected, exactly. Used as a test command:
#
#   cmake -DPROGRAM=<path> [-DEMULATOR=<command|arg|...>] -DEXIT_CODE=<status>
#         [-DSTDERR=<one line, without its newline>]
#         [-DSOURCE=<file> -DFUNCTION=<name> -DCHECK=<expression>]
#         -P expect_output.cmake
#
# STDERR gives the expected standard error as a line of text. SOURCE, FUNCTION and CHECK give it
# as the failure line of a check instead, "<line>: <expression>", with the line number looked up
# in SOURCE: that of the first "CHECK_TRUE(<CHECK>);" in the body of "bool <FUNCTION>()". With
# neither, standard error must be empty. Standard output must always be empty.
#
# EMULATOR, when set, is the command that runs programs of the target, its words separated by |.

cmake_minimum_required(VERSION 3.25)

foreach(required PROGRAM EXIT_CODE)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "expect_output: ${required} is not set")
  endif()
endforeach()

# The line number of CHECK_TRUE(<check>); in the body of function in the file source.
function(check_line source function check out_var)
  file(READ "${source}" text)
  string(FIND "${text}" "\nbool ${function}()\n" function_at)
  if(function_at EQUAL -1)
    message(FATAL_ERROR "expect_output: no function bool ${function}() in ${source}")
  endif()
  string(SUBSTRING "${text}" ${function_at} -1 from_function)
  string(FIND "${from_function}" "\n}" body_end)
  string(FIND "${from_function}" "CHECK_TRUE(${check});" check_at)
  if(check_at EQUAL -1 OR check_at GREATER body_end)
    message(FATAL_ERROR "expect_output: no CHECK_TRUE(${check}); in ${function} of ${source}")
  endif()
  math(EXPR check_at "${function_at} + ${check_at}")
  string(SUBSTRING "${text}" 0 ${check_at} before_check)
  string(REGEX MATCHALL "\n" newlines "${before_check}")
  list(LENGTH newlines newline_count)
  math(EXPR line "${newline_count} + 1")
  set(${out_var} ${line} PARENT_SCOPE)
endfunction()

if(DEFINED CHECK)
  check_line("${SOURCE}" "${FUNCTION}" "${CHECK}" line)
  set(expected_stderr "${line}: ${CHECK}\n")
elseif(DEFINED STDERR)
  set(expected_stderr "${STDERR}\n")
else()
  set(expected_stderr "")
endif()

string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(
  COMMAND ${emulator} "${PROGRAM}"
  RESULT_VARIABLE status
  OUTPUT_VARIABLE stdout
  ERROR_VARIABLE stderr)

set(failures "")
if(NOT status STREQUAL EXIT_CODE)
  string(APPEND failures "exit status: expected ${EXIT_CODE}, got ${status}\n")
endif()
if(NOT stdout STREQUAL "")
  string(APPEND failures "standard output: expected nothing, got [${stdout}]\n")
endif()
if(NOT stderr STREQUAL expected_stderr)
  string(APPEND failures "standard error: expected [${expected_stderr}], got [${stderr}]\n")
endif()
if(NOT failures STREQUAL "")
  message(FATAL_ERROR "${PROGRAM}:\n${failures}")
endif()
