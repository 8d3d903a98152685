# Builds of one commit give the same bytes wherever they are made: the
# checkout's and the build folder's paths never reach the objects (debug
# information, __FILE__, and through the debug information the build ID).
# Sources are recorded relative to the checkout, the build folder as
# "build". GCC applies the last mapping that matches, so the build folder's
# comes second and wins where it lies inside the checkout.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)
