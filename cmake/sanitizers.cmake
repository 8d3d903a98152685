# SPDX-License-Identifier: Apache-2.0
# SANITIZER selects an instrumented host build:
#   address  AddressSanitizer with UndefinedBehaviorSanitizer, no recovery
#   thread   ThreadSanitizer
#   fuzzer   libFuzzer with AddressSanitizer (clang): only the fuzz targets
#            need libFuzzer's main; everything else gets the address checks
set(SANITIZER "" CACHE STRING "address, thread, fuzzer or empty")

if(SANITIZER STREQUAL "address")
  set(sanitizer_flags -fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(SANITIZER STREQUAL "fuzzer")
  # Coverage instrumentation everywhere, so the module under test guides the
  # fuzzer; only the fuzz targets link libFuzzer's main.
  set(sanitizer_flags -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all)
elseif(SANITIZER STREQUAL "thread")
  set(sanitizer_flags -fsanitize=thread)
elseif(NOT SANITIZER STREQUAL "")
  message(FATAL_ERROR "unknown SANITIZER '${SANITIZER}'")
endif()

if(sanitizer_flags)
  add_compile_options(${sanitizer_flags} -fno-omit-frame-pointer -g)
  add_link_options(${sanitizer_flags})
endif()
