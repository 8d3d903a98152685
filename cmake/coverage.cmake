# SPDX-License-Identifier: Apache-2.0
# COVERAGE=ON instruments every target for gcov; make coverage runs the
# tests of such a build and reads the counts with gcovr. Like the sanitizers,
# it changes the binaries, so the checks of built binaries and the benchmarks
# are not registered in it.
option(COVERAGE "Instrument every target for coverage (gcov)" OFF)
if(COVERAGE)
  # The tests run the module on many threads at once: counters updated
  # atomically, or racing increments are lost and counts come out wrong.
  add_compile_options(--coverage -fprofile-update=atomic)
  add_link_options(--coverage)
endif()
