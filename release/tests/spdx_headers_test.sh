#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# spdx_headers_test.sh SCRIPT
#
# spdx-headers in a small tree of its own: --check names each source file
# without its licence line, or with another licence, and fails; --insert
# writes the line in each file's comment syntax (after a "#!" line, the
# driver's licence under platform/device/driver/, no line moved in the
# character-traits self-test), after which --check passes.
set -euo pipefail
# shellcheck source=../../checks/check.sh
. "$(dirname "$0")/../../checks/check.sh"

scratch=""

# A tree with one file of each kind, none of them with its line but the
# driver, which names the licence it had before (and the script itself,
# which has its own).
make_tree() {
    local tree=$scratch/tree
    mkdir -p "$tree/scripts" "$tree/platform/device/driver" "$tree/tests" "$tree/include" "$tree/docs"
    cp "$1" "$tree/scripts/spdx-headers"
    printf '#!/bin/sh\necho run\n' >"$tree/scripts/run"
    printf '// SPDX-License-Identifier: GPL-2.0\nint x;\n' >"$tree/platform/device/driver/driver.c"
    printf '// Self-test.\n//\n// More.\nint main() { return 0; }\n' >"$tree/tests/test_char_traits.cpp"
    printf '#pragma once\n' >"$tree/include/type_traits"
    printf 'add_test(NAME x COMMAND true)\n' >"$tree/CMakeLists.txt"
    printf '# Not a source file\n' >"$tree/docs/notes.md"
    git -C "$tree" init --quiet
    git -C "$tree" add .
}

# check_names TREE FILE...: --check fails and names exactly the FILEs.
check_names() {
    local tree=$1 status=0 named
    shift
    named=$("$tree/scripts/spdx-headers" --check | sed -n 's/^spdx-headers: \([^:]*\): .*/\1/p' | sort | paste -sd ' ') ||
        status=$?
    if [ "$status" -ne 1 ] || [ "$named" != "$*" ]; then
        echo "status $status, named: $named"
        return 1
    fi
}

# line_is FILE N TEXT: line N of FILE is TEXT.
line_is() { [ "$(sed -n "$2p" "$1")" = "$3" ]; }

main() {
    if [ $# -ne 1 ] || [ ! -f "$1" ]; then
        echo "usage: spdx_headers_test.sh SCRIPT" >&2
        return 2
    fi
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/spdx-headers-test.XXXXXX")
    trap 'rm -rf "${scratch:?}"' EXIT
    make_tree "$1"
    local tree=$scratch/tree
    check "--check names each source file without its line or with another licence" "" check_names "$tree" \
        CMakeLists.txt include/type_traits platform/device/driver/driver.c scripts/run tests/test_char_traits.cpp
    "$tree/scripts/spdx-headers" --insert >/dev/null
    check "--check passes once --insert has run" "" "$tree/scripts/spdx-headers" --check
    check "a script keeps its #! line first" "" line_is "$tree/scripts/run" 2 "# SPDX-License-Identifier: Apache-2.0"
    check "the driver is under GPL-2.0-only" "" \
        line_is "$tree/platform/device/driver/driver.c" 1 "// SPDX-License-Identifier: GPL-2.0-only"
    check "a C++ header gets a C++ comment" "" line_is "$tree/include/type_traits" 1 "// SPDX-License-Identifier: Apache-2.0"
    check "no line of the character-traits self-test moves" "" \
        line_is "$tree/tests/test_char_traits.cpp" 4 "int main() { return 0; }"
    check "a document gets no line" "" line_is "$tree/docs/notes.md" 1 "# Not a source file"
    verdict "spdx-headers"
}

main "$@"
