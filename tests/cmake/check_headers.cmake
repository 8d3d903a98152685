# SPDX-License-Identifier: Apache-2.0
# Proves that a source file compiles against the traits library and the C library headers only,
# and never reaches a header of the toolchain's C++ library. Used as a test command:
#
#   cmake -DCOMPILER=<c++ compiler> -DFLAGS=<flag|flag|...> -DSOURCE=<file>
#         -DALLOWED=<dir|dir|...> -DLIBRARY=<dir> -P check_headers.cmake
#
# FLAGS are the flags the program is compiled with. The compiler lists every header the source
# includes (-M). Each must lie in one of the ALLOWED directories or in a directory the compiler
# searches for C headers, and none may lie in a directory it searches only for C++ headers; at
# least one must come from LIBRARY, the traits library itself. Both sets of directories come
# from the compiler: those it searches for C, and those it searches for C++ without -nostdinc++.

cmake_minimum_required(VERSION 3.25)

foreach(required COMPILER FLAGS SOURCE ALLOWED LIBRARY)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "check_headers: ${required} is not set")
  endif()
endforeach()

string(REPLACE "|" ";" flags "${FLAGS}")
string(REPLACE "|" ";" allowed "${ALLOWED}")

# The flags that choose the target, without those that choose headers or the language standard.
set(target_flags "")
foreach(flag IN LISTS flags)
  if(NOT flag MATCHES "^(-I|-std=|-nostdinc)")
    list(APPEND target_flags "${flag}")
  endif()
endforeach()

# The directories the compiler searches for <...> headers in the given language.
function(search_dirs language out_var)
  execute_process(
    COMMAND "${COMPILER}" ${target_flags} -x ${language} -E -v -
    INPUT_FILE /dev/null
    OUTPUT_QUIET
    ERROR_VARIABLE verbose
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "check_headers: ${COMPILER} -x ${language} -E -v failed:\n${verbose}")
  endif()
  string(REGEX MATCH "#include <...> search starts here:\n(.*)\nEnd of search list." _ "${verbose}")
  string(REGEX REPLACE "\n" ";" lines "${CMAKE_MATCH_1}")
  set(dirs "")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" dir)
    file(REAL_PATH "${dir}" dir)
    list(APPEND dirs "${dir}")
  endforeach()
  set(${out_var} "${dirs}" PARENT_SCOPE)
endfunction()

function(is_under path dirs out_var)
  foreach(dir IN LISTS dirs)
    cmake_path(IS_PREFIX dir "${path}" NORMALIZE under)
    if(under)
      set(${out_var} TRUE PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out_var} FALSE PARENT_SCOPE)
endfunction()

search_dirs(c c_dirs)
search_dirs(c++ all_cxx_dirs)
set(cxx_only_dirs ${all_cxx_dirs})
list(REMOVE_ITEM cxx_only_dirs ${c_dirs})
if(cxx_only_dirs STREQUAL "")
  message(FATAL_ERROR "check_headers: found no C++ header directory of ${COMPILER} to rule out")
endif()

set(allowed_dirs "")
foreach(dir IN LISTS allowed LIBRARY)
  file(REAL_PATH "${dir}" dir)
  list(APPEND allowed_dirs "${dir}")
endforeach()
file(REAL_PATH "${LIBRARY}" library_dir)

execute_process(
  COMMAND "${COMPILER}" ${flags} -M "${SOURCE}"
  OUTPUT_VARIABLE dependencies
  ERROR_VARIABLE errors
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "check_headers: ${COMPILER} -M ${SOURCE} failed:\n${errors}")
endif()

# "object.o: source header header \<newline> header ..." -> the headers. A blank
# inside a path stands escaped as "\ ": it is kept through the split.
string(REGEX REPLACE "^[^:]*:" "" dependencies "${dependencies}")
string(REPLACE "\\\n" " " dependencies "${dependencies}")
string(REPLACE "\\ " "<blank>" dependencies "${dependencies}")
string(REGEX REPLACE "[ \n]+" ";" dependencies "${dependencies}")
list(TRANSFORM dependencies REPLACE "<blank>" " ")
list(REMOVE_ITEM dependencies "" "${SOURCE}")

set(problems "")
set(from_library FALSE)
foreach(header IN LISTS dependencies)
  file(REAL_PATH "${header}" path)
  is_under("${path}" "${cxx_only_dirs}" in_cxx)
  is_under("${path}" "${allowed_dirs}" in_allowed)
  is_under("${path}" "${c_dirs}" in_c)
  is_under("${path}" "${library_dir}" in_library)
  if(in_cxx)
    string(APPEND problems "  ${path}: a header of the toolchain's C++ library\n")
  elseif(NOT in_allowed AND NOT in_c)
    string(APPEND problems "  ${path}: neither the traits library, the tests nor a C header\n")
  endif()
  if(in_library)
    set(from_library TRUE)
  endif()
endforeach()

if(NOT from_library)
  string(APPEND problems "  no header came from the traits library in ${library_dir}\n")
endif()
if(NOT problems STREQUAL "")
  message(FATAL_ERROR "check_headers: ${SOURCE}:\n${problems}")
endif()
