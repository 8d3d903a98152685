#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# qualify.sh STATUS OUT [--expect MODULE "CLAUSE..."]... -- KIT [OPTION]... MODULE...
#
# Runs KIT once on every MODULE, keeping its text report in OUT.txt and its
# JUnit report in OUT.xml, and passes when it exited with STATUS and every
# --expect holds for its module (expect.sh, with the run's --keep-going).
# OUT.xml is a link the kit must write through, as it must write through
# /dev/null, never replace it.
set -euo pipefail

main() {
    local want_status=$1 out=$2 status=0 errors=0 keep_going=()
    shift 2
    local -a expectations=()
    while [ "$1" != -- ]; do
        [ "$1" = --expect ] || { echo "qualify.sh: unknown argument $1" >&2; exit 2; }
        expectations+=("$2" "$3")
        shift 3
    done
    shift
    local kit=$1
    for argument in "$@"; do
        if [ "$argument" = --keep-going ]; then keep_going=(--keep-going); fi
    done
    rm -f "$out.xml" "$out.txt" "$out.target.xml"
    ln -s "$(basename "$out").target.xml" "$out.xml"
    "$kit" --junit "$out.xml" "${@:2}" >"$out.txt" || status=$?
    cat "$out.txt"
    if [ ! -L "$out.xml" ] || [ ! -s "$out.target.xml" ]; then
        echo "FAIL: the kit replaced the link it was given for its report, not wrote through it"
        errors=$((errors + 1))
    fi
    if [ "$status" -ne "$want_status" ]; then
        echo "FAIL: the kit exited $status, not $want_status"
        errors=$((errors + 1))
    fi
    for ((i = 0; i < ${#expectations[@]}; i += 2)); do
        bash "$(dirname "$0")/expect.sh" "${keep_going[@]}" "$kit" "$out.xml" "${expectations[i]}" \
            "${expectations[i + 1]}" || errors=$((errors + 1))
    done
    exit "$errors"
}

main "$@"
