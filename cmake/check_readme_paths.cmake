# SPDX-License-Identifier: Apache-2.0
# Every path of the tree that the README names, in backquotes or as a link,
# exists, so the map of where to change what cannot drift from the tree.
# Used as a test command:
#
#   cmake -DSOURCE_DIR=<the tree> [-DREADME=<file>] -P check_readme_paths.cmake
#
# README is the tree's README.md unless given (a sample, to prove the check).
#
# A path is a quoted word without blanks that has a slash in it or ends in a
# source file's extension; what the build writes (out/, build/) and paths on
# the device (starting with /) are not the tree's, and <placeholders> and *
# patterns name no one file.

cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED SOURCE_DIR)
  message(FATAL_ERROR "check_readme_paths: SOURCE_DIR is not set")
endif()
if(NOT DEFINED README)
  set(README "${SOURCE_DIR}/README.md")
endif()
file(READ "${README}" readme)

# Code blocks hold commands, not the map; their fences would pair with the
# quotes around them.
string(REGEX REPLACE "```[a-z]*\n[^`]*```" "" readme "${readme}")
# A link's target becomes one more quoted word. Brackets go: a CMake list
# does not split within them.
string(REGEX REPLACE "\\]\\(([^)]+)\\)" "`\\1`" readme "${readme}")
string(REPLACE "[" "" readme "${readme}")
string(REPLACE "]" "" readme "${readme}")
string(REGEX MATCHALL "`[^`]+`" quoted "${readme}")
set(names "")
foreach(word IN LISTS quoted)
  string(REPLACE "`" "" word "${word}")
  list(APPEND names "${word}")
endforeach()

set(checked 0)
set(missing "")
foreach(name IN LISTS names)
  if(name MATCHES "[ <>*]|^/|^(out|build)/|^https?:")
    continue()
  endif()
  if(NOT name MATCHES "/" AND NOT name MATCHES "\\.(c|cpp|h|md|json|txt|cmake)$"
     AND NOT name STREQUAL "Makefile")
    continue()
  endif()
  math(EXPR checked "${checked} + 1")
  if(NOT EXISTS "${SOURCE_DIR}/${name}")
    list(APPEND missing "${name}")
  endif()
endforeach()

if(missing)
  list(JOIN missing ", " missing)
  message(FATAL_ERROR "the README names paths the tree does not have: ${missing}")
endif()
if(checked EQUAL 0)
  message(FATAL_ERROR "the README names no path of the tree: is this the README?")
endif()
message(STATUS "the README's ${checked} paths of the tree exist")
