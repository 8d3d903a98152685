// SPDX-License-Identifier: Apache-2.0
// Asks a type_traits header what the toolchain's own library decides for itself, compiled once
// with the toolchain's library and once with ours by check_against_toolchain.cmake, which
// compares the answers. Never linked.
//
//   -DINT128_INTEGRAL=<1|0|-1>  compiles only if is_integral answers that for the 128-bit
//                               integers and their cv forms (-1: the compiler has none)
//   -DUSE_IS_POD, -DUSE_IS_POD_V  uses the trait, so that a deprecation is reported

#include <type_traits>

#if defined(__SIZEOF_INT128__)
__extension__ typedef __int128 int128;
__extension__ typedef unsigned __int128 uint128;
static_assert(std::is_integral<int128>::value == (INT128_INTEGRAL == 1) &&
                  std::is_integral<uint128>::value == (INT128_INTEGRAL == 1) &&
                  std::is_integral<const int128>::value == (INT128_INTEGRAL == 1) &&
                  std::is_integral<volatile uint128>::value == (INT128_INTEGRAL == 1) &&
                  std::is_integral<const volatile int128>::value == (INT128_INTEGRAL == 1) &&
                  INT128_INTEGRAL != -1,
              "is_integral of the 128-bit integers");
#else
static_assert(INT128_INTEGRAL == -1, "no 128-bit integers");
#endif

#ifdef USE_IS_POD
bool podInt = std::is_pod<int>::value;
#endif
#ifdef USE_IS_POD_V
bool podIntV = std::is_pod_v<int>;
#endif
