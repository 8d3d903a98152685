# SPDX-License-Identifier: Apache-2.0
# Warnings for the project's own code. They stop the build only where we
# choose (CMAKE_COMPILE_WARNING_AS_ERROR: the check configurations and CI),
# so that a user's newer compiler, with a warning of its own, still builds.
function(project_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion)
endfunction()
