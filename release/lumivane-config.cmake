# SPDX-License-Identifier: Apache-2.0
# find_package(lumivane): the records header of the lights module, as the
# target lumivane::records, and the traits library's headers, as
# lumivane::traits (they stand in for the toolchain's C++ headers, hence
# -nostdinc++), where they are installed beside it (the release holds them;
# the Debian package of the header alone does not). Relocatable: the prefix
# is three levels above this file.
get_filename_component(_lumivane_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(NOT TARGET lumivane::records)
  add_library(lumivane::records INTERFACE IMPORTED)
  set_target_properties(lumivane::records PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_lumivane_prefix}/include")
endif()
if(NOT TARGET lumivane::traits AND EXISTS "${_lumivane_prefix}/include/traits")
  add_library(lumivane::traits INTERFACE IMPORTED)
  set_target_properties(lumivane::traits PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_lumivane_prefix}/include/traits"
    INTERFACE_COMPILE_OPTIONS "$<$<COMPILE_LANGUAGE:CXX>:-nostdinc++>")
endif()
set(lumivane_INCLUDE_DIR "${_lumivane_prefix}/include")
unset(_lumivane_prefix)
