// SPDX-License-Identifier: Apache-2.0
// Compiles only against the release's traits library: the toolchain's C++
// headers are out of reach (-nostdinc++).
#include <type_traits>

static_assert(std::is_integral<int>::value, "the traits library answers");
static_assert(!std::is_pointer<int>::value, "the traits library answers");
