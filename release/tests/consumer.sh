#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# consumer.sh BUILD_DIR C_COMPILER TOOLCHAIN_FILE VERSION
#
# Installs BUILD_DIR into a scratch prefix, as the release lays it out, and
# passes when a small consumer finds the records header there through the
# pkg-config file, and the records header and the traits library through
# the CMake package configuration; pkg-config reports VERSION.
set -euo pipefail
# shellcheck source=../../checks/check.sh
. "$(dirname "$0")/../../checks/check.sh"

here=$(cd "$(dirname "$0")" && pwd)
scratch=""

# through_pkg_config PREFIX COMPILER: the consumer compiles with the flags
# pkg-config gives for lumivane, and no others.
through_pkg_config() {
    local flags
    flags=$(PKG_CONFIG_PATH="" PKG_CONFIG_LIBDIR="$1/lib/pkgconfig" pkg-config --cflags lumivane) || return 1
    # shellcheck disable=SC2086 # the flags are meant to split into words
    "$2" $flags -fsyntax-only -Werror "$here/consumer/consumer.c"
}

# pkg_config_version PREFIX VERSION: pkg-config reports the release's version.
pkg_config_version() {
    [ "$(PKG_CONFIG_PATH="" PKG_CONFIG_LIBDIR="$1/lib/pkgconfig" pkg-config --modversion lumivane)" = "$2" ]
}

# through_cmake PREFIX TOOLCHAIN: the consumer project configures with
# find_package(lumivane) and builds.
through_cmake() {
    if ! cmake -S "$here/consumer" -B "$scratch/consumer" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$2" \
        -DCMAKE_PREFIX_PATH="$1" >"$scratch/consumer.log" 2>&1 ||
        ! cmake --build "$scratch/consumer" >>"$scratch/consumer.log" 2>&1; then
        cat "$scratch/consumer.log"
        return 1
    fi
}

main() {
    if [ $# -ne 4 ]; then
        echo "usage: consumer.sh BUILD_DIR C_COMPILER TOOLCHAIN_FILE VERSION" >&2
        return 2
    fi
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/release-consumer.XXXXXX")
    trap 'rm -rf "${scratch:?}"' EXIT
    cmake --install "$1" --prefix "$scratch/prefix" >/dev/null
    check "the records header is found through pkg-config" "" through_pkg_config "$scratch/prefix" "$2"
    check "pkg-config reports version $4" "" pkg_config_version "$scratch/prefix" "$4"
    check "the records header and the traits library are found through find_package" "" \
        through_cmake "$scratch/prefix" "$3"
    verdict "the release's headers"
}

main "$@"
