# SPDX-License-Identifier: Apache-2.0
# The plain module (checks/samples/plain_module.c) built the ways a supplier
# builds it, each with one compiler line of the installed cross toolchain
# and none of this tree's own settings (our -Wl,--use-blx among them, which
# spares our module the linker's ARM-state veneers). No honest build may
# fail a clause: tools/tests/test_honest_builds.py qualifies them all in one
# boot, from the list written here, honest-builds.tsv:
#   NAME <TAB> PATH <TAB> WAYS (compiler, optimisation, how it exports, ...)
find_program(HONEST_CLANG NAMES clang)
if(NOT HONEST_CLANG)
  message(FATAL_ERROR "conformance tests: the honest builds need clang (scripts/install-deps installs it)")
endif()
find_program(HONEST_GOLD NAMES arm-linux-gnueabi-ld.gold)

set(plain_source ${samples}/plain_module.c)
set(plain_map ${samples}/plain_module.map)
set(honest_dir ${CMAKE_CURRENT_BINARY_DIR}/honest)
set(honest_list ${reports}/honest-builds.tsv)
# What every build shares: the target, a shared object named lumivane.so,
# the records header, and the three libraries (the log library by its
# file, so its soname is what is needed).
set(honest_common -march=armv5te -mthumb -mfloat-abi=soft -fPIC -shared -Wall -Wextra
                  -I${PROJECT_SOURCE_DIR}/lights/include -Wl,-soname,lumivane.so)
set(honest_libraries $<TARGET_FILE:kelvo_log> -l:libpthread.so.0)
set(honest_lines)

# add_plain_build(NAME gcc|clang WAYS [STRIP] [SOURCES FILE...] [FLAGS FLAG...])
# One build of the plain module, with the further sources and flags given,
# stripped of every symbol after the link with STRIP. WAYS names what the
# build shows, for the list.
function(add_plain_build name compiler ways)
  cmake_parse_arguments(build "STRIP" "" "SOURCES;FLAGS" ${ARGN})
  set(output ${honest_dir}/${name}.so)
  if(compiler STREQUAL "clang")
    set(driver ${HONEST_CLANG} --target=arm-linux-gnueabi)
  else()
    set(driver ${CMAKE_C_COMPILER})
  endif()
  set(strip_step)
  if(build_STRIP)
    set(strip_step COMMAND ${CMAKE_STRIP} --strip-all ${output})
  endif()
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${honest_dir}
    COMMAND ${driver} ${honest_common} ${build_FLAGS} -o ${output} ${plain_source} ${build_SOURCES}
      ${honest_libraries}
    ${strip_step}
    DEPENDS ${plain_source} ${plain_map} ${build_SOURCES} kelvo_log
      ${PROJECT_SOURCE_DIR}/lights/include/lumivane_records.h
    COMMENT "Building the plain module: ${name}"
    VERBATIM)
  add_custom_target(plain_${name} ALL DEPENDS ${output})
  set(plain_${name} ${output} PARENT_SCOPE)
endfunction()

# add_honest_build(NAME ...): a build of add_plain_build that keeps the
# contract, listed for the matrix.
function(add_honest_build name compiler ways)
  add_plain_build(${name} ${compiler} "${ways}" ${ARGN})
  set(honest_lines ${honest_lines} "${name}\t${honest_dir}/${name}.so\t${ways}" PARENT_SCOPE)
endfunction()

set(by_map -Wl,--version-script=${plain_map})
set(by_visibility -fvisibility=hidden)

add_honest_build(gcc-O0 gcc "gcc -O0 version-script" FLAGS -O0 ${by_map})
add_honest_build(gcc-O2 gcc "gcc -O2 version-script" FLAGS -O2 ${by_map})
add_honest_build(gcc-Os gcc "gcc -Os version-script" FLAGS -Os ${by_map})
add_honest_build(gcc-O3 gcc "gcc -O3 version-script" FLAGS -O3 ${by_map})
add_honest_build(gcc-O2-visibility gcc "gcc -O2 visibility" FLAGS -O2 ${by_visibility})
add_honest_build(gcc-O2-bsymbolic gcc "gcc -O2 version-script bsymbolic" FLAGS -O2 ${by_map} -Wl,-Bsymbolic)
add_honest_build(gcc-Os-stripped gcc "gcc -Os version-script stripped" STRIP FLAGS -Os ${by_map})
add_honest_build(gcc-O2-debug gcc "gcc -O2 version-script debug" FLAGS -O2 -g ${by_map})
add_honest_build(clang-O0 clang "clang -O0 version-script" FLAGS -O0 ${by_map})
add_honest_build(clang-O2 clang "clang -O2 version-script" FLAGS -O2 ${by_map})
add_honest_build(clang-Os clang "clang -Os version-script" FLAGS -Os ${by_map})
add_honest_build(clang-O2-visibility clang "clang -O2 visibility bsymbolic"
  FLAGS -O2 ${by_visibility} -Wl,-Bsymbolic)
add_honest_build(clang-Os-stripped clang "clang -Os visibility stripped" STRIP FLAGS -Os ${by_visibility})
add_honest_build(clang-O0-debug clang "clang -O0 version-script debug" FLAGS -O0 -g ${by_map})
# Debian's GCC links as needed, so its builds need no libpthread.so.0 (the C
# library has pthread_once from 2.34 on); Clang's need it. What else an
# honest toolchain does that ours does not: no build ID, a run path, the C
# library needed first, no unwind tables.
add_honest_build(gcc-O2-bare gcc "gcc -O2 version-script no-build-id runpath libc-first no-unwind-tables"
  FLAGS -O2 ${by_map} -Wl,--build-id=none -Wl,-rpath,/usr/lib/lights -Wl,--enable-new-dtags
    -fno-unwind-tables -fno-asynchronous-unwind-tables -Wl,--no-as-needed -lc)
# Debian's hardening flags: the stack protector makes the module need the
# dynamic linker, for __stack_chk_guard.
add_honest_build(gcc-O2-hardened gcc "gcc -O2 version-script hardened"
  FLAGS -O2 ${by_map} -fstack-protector-strong -D_FORTIFY_SOURCE=2 -Wformat -Werror=format-security
    -Wl,-z,relro -Wl,-z,now)
if(HONEST_GOLD)
  # Another linker: sections in another order, and no veneers of its own.
  add_honest_build(gcc-O2-gold gcc "gcc -O2 version-script gold" FLAGS -O2 ${by_map} -fuse-ld=gold)
endif()

string(REPLACE ";" "\n" honest_text "${honest_lines}")
file(GENERATE OUTPUT ${honest_list} CONTENT "${honest_text}\n")
