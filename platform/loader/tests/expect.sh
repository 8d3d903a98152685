#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# expect.sh STATUS TEXT... -- COMMAND [ARG]...
#
# One case of the loader's tests (platform/loader/CMakeLists.txt): runs
# COMMAND in an empty folder, so that a bare file name finds nothing there,
# and passes when it exits with STATUS and each TEXT is part of a line of
# its output or its errors. Exits 77 (skipped) when COMMAND does: the
# simulated backlight is unavailable here.
set -eu -o pipefail

main() {
    local status=$1 got=0 text first=2 scratch out err
    shift
    for text in "$@"; do
        [ "$text" != -- ] || break
        first=$((first + 1))
    done
    [ "$first" -le $# ] || { echo "usage: expect.sh STATUS TEXT... -- COMMAND [ARG]..." >&2; exit 2; }
    scratch=$(mktemp -d)
    out=$(mktemp)
    err=$(mktemp)
    # shellcheck disable=SC2064 # the paths are fixed now
    trap "rm -rf '$scratch' '$out' '$err'" EXIT
    (cd "$scratch" && exec "${@:first}") >"$out" 2>"$err" || got=$?
    if [ "$got" -eq 77 ]; then
        cat "$err" >&2
        exit 77
    fi
    local ok=true
    if [ "$got" -ne "$status" ]; then
        echo "FAIL: exit status $got, expected $status"
        ok=false
    fi
    for text in "$@"; do
        [ "$text" != -- ] || break
        grep -qF -- "$text" "$out" "$err" || { echo "FAIL: no line holds: $text"; ok=false; }
    done
    if ! $ok; then
        echo "-- command: ${*:first}"
        echo "-- standard output:"
        cat "$out"
        echo "-- standard error:"
        cat "$err"
        exit 1
    fi
}

main "$@"
