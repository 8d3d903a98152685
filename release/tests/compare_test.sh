#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# compare_test.sh ARCHIVE
#
# check-reproducible's judgement: a copy of the release ARCHIVE (with its
# .sha256) is identical; of two repacked copies, one with a member changed,
# the comparison fails, and diffoscope's report names that member and not
# one far from it that is the same in both.
set -euo pipefail
# shellcheck source=../../checks/check.sh
. "$(dirname "$0")/../../checks/check.sh"

here=$(cd "$(dirname "$0")" && pwd)
compare=("$here/../../scripts/check-reproducible" --compare)
scratch=""

# differs_naming FIRST SECOND MEMBER SAME: the comparison fails, naming
# MEMBER and not SAME.
differs_naming() {
    local status=0
    "${compare[@]}" "$1" "$2" >"$scratch/out" 2>&1 || status=$?
    if [ "$status" -ne 1 ] || ! grep -qF -- "$3" "$scratch/out" || grep -qF -- "$4" "$scratch/out"; then
        cat "$scratch/out"
        echo "exit status $status"
        return 1
    fi
}

main() {
    if [ $# -ne 1 ] || [ ! -f "$1" ]; then
        echo "usage: compare_test.sh ARCHIVE" >&2
        return 2
    fi
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/compare-test.XXXXXX")
    trap 'rm -rf "${scratch:?}"' EXIT
    local name
    name=$(basename "$1")
    mkdir "$scratch/copy" "$scratch/repacked" "$scratch/changed"
    cp "$1" "$1.sha256" "$scratch/copy/"
    python3 "$here/tamper.py" "$1" "$scratch/repacked/$name" none
    python3 "$here/tamper.py" "$1" "$scratch/changed/$name" member
    check "a copy of the archive is identical" "" "${compare[@]}" "$1" "$scratch/copy/$name"
    check "an archive with a member changed differs, the report naming it" "" \
        differs_naming "$scratch/repacked/$name" "$scratch/changed/$name" bin/test_char_traits lib/lumivane.so
    verdict "check-reproducible's comparison"
}

main "$@"
