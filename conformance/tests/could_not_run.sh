#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# could_not_run.sh PREFIX MODULE PROGRAM...
#
# Everything the kit must refuse with status 125 and a reason on standard
# error, before or instead of qualifying: bad usage, files that are no
# module, a report it cannot write, a kit whose device half is broken, and
# a device that cannot run.
set -euo pipefail

failures=0

refused() { # refused WHAT KIT-ARGUMENT...: status 125 and a message
    local what=$1 status=0
    shift
    "$kit" "$@" >"$scratch/out" 2>"$scratch/err" || status=$?
    if [ "$status" -eq 125 ] && [ -s "$scratch/err" ] && ! grep -q '^pass ' "$scratch/out"; then
        echo "ok: $what"
    else
        echo "FAIL: $what: status $status, no reason given, or verdicts given"
        failures=$((failures + 1))
    fi
}

# A copy of the installed kit in the scratch directory, to break.
copy_kit() {
    rm -rf "$scratch/prefix"
    mkdir -p "$scratch/prefix/bin" "$scratch/prefix/share"
    cp "$prefix/bin/lights-conformance" "$prefix/bin/pellix-device" "$scratch/prefix/bin/"
    cp -r "$prefix/share/lights-conformance" "$prefix/share/pellix-device" "$scratch/prefix/share/"
    kit=$scratch/prefix/bin/lights-conformance
}

main() {
    prefix=$1 module=$2
    shift 2
    kit=$prefix/bin/lights-conformance
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT

    printf 'not a module\n' >"$scratch/text.so"
    : >"$scratch/empty.so"
    refused "no arguments"
    refused "an unknown option" --fast "$module"
    refused "--junit without a file" --junit
    refused "--list with a module" --list "$module"
    refused "a missing file" "$scratch/missing.so"
    refused "a missing file beside a module" "$module" "$scratch/missing.so"
    refused "a text file" "$scratch/text.so"
    refused "an empty file" "$scratch/empty.so"
    for program in "$@"; do
        refused "a program, not a module: $(basename "$program")" "$program"
    done
    refused "a report in a missing directory" --junit "$scratch/no/such/dir/report.xml" "$module"
    refused "a report where a directory is" --junit "$scratch" "$module"
    PELLIX_TIMEOUT_SCALE=0 refused "a time scale of 0" "$module"
    PELLIX_TIMEOUT_SCALE=fast refused "a time scale that is no number" "$module"

    # The kit's own set-up broken: a judge that is no program of the
    # device is the kit's failure, not the module's.
    copy_kit
    cp "$module" "$scratch/prefix/share/lights-conformance/lights-conformance-judge"
    refused "a judge the device cannot run" "$module"

    # A device without its kernel: the binary clauses pass, the boot
    # cannot happen.
    copy_kit
    rm "$scratch/prefix/share/pellix-device/zImage"
    refused "a device that cannot boot" "$module"
    exit "$failures"
}

main "$@"
