#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# reproducible_module.sh SOURCE_DIR
#
# Builds the module and its debug file twice for the target, from two
# copies of the tree at different paths into build folders at different
# paths, and passes when both builds give the same bytes and neither names
# the paths it was built at.
set -euo pipefail
# shellcheck source=../../checks/check.sh
. "$(dirname "$0")/../../checks/check.sh"

# copy_tree SOURCE DEST: the tree's sources, without its builds and outputs.
copy_tree() {
    mkdir -p "$2"
    tar -C "$1" --exclude=./build --exclude=./out --exclude=./dist --exclude=./.git -cf - . | tar -C "$2" -xf -
}

# build_module SOURCE BUILD: configures the target's build of the module
# alone and builds it.
build_module() {
    mkdir -p "$(dirname "$2")"
    if ! cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$1/cmake/toolchain-armv5te.cmake" \
        -DBUILD_TESTING=OFF -DBUILD_SELF_TESTS=OFF >"$2.log" 2>&1 ||
        ! cmake --build "$2" --target lumivane >>"$2.log" 2>&1; then
        cat "$2.log" >&2
        return 1
    fi
}

# names_no_path FILE PATH...: whether FILE holds none of the PATHs.
names_no_path() {
    local file=$1 path
    shift
    for path in "$@"; do
        if grep -qaF -- "$path" "$file"; then
            return 1
        fi
    done
}

scratch=""

main() {
    if [ $# -ne 1 ] || [ ! -f "$1/CMakeLists.txt" ]; then
        echo "usage: reproducible_module.sh SOURCE_DIR" >&2
        return 2
    fi
    local first second file
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/reproducible-module.XXXXXX")
    trap 'rm -rf "${scratch:?}"' EXIT
    first=$scratch/one/src
    second=$scratch/another/checkout/lights-tree
    copy_tree "$1" "$first"
    copy_tree "$1" "$second"
    build_module "$first" "$scratch/one/objects"
    build_module "$second" "$second/build/armv5te-elsewhere"
    for file in lumivane.so lumivane.so.debug; do
        check "$file is the same bytes from both builds" "" \
            cmp "$scratch/one/objects/lights/$file" "$second/build/armv5te-elsewhere/lights/$file"
        check "$file names neither checkout nor build folder" "" \
            names_no_path "$scratch/one/objects/lights/$file" "$scratch"
    done
    verdict "the module built at two paths"
}

main "$@"
