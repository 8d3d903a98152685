# SPDX-License-Identifier: Apache-2.0
# Builds of one commit give the same bytes wherever they are made: the
# checkout's and the build folder's paths never reach the objects (debug
# information, __FILE__, and through the debug information the build ID).
# Both are recorded as ".": the compilation folder is ".", a source is
# "./lights/backlight.cpp", so a debugger started at the top of a checkout
# of the commit finds every source. GCC applies the last mapping that
# matches; either gives "." where the build folder lies inside the checkout.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)
