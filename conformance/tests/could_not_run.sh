#!/bin/bash
# could_not_run.sh PREFIX MODULE PROGRAM...
#
# Everything the kit must refuse with status 125 and a reason on standard
# error, before or instead of qualifying: bad usage, files that are no
# module, a report it cannot write, and a device that cannot run.
set -euo pipefail
prefix=$1 module=$2
shift 2
kit=$prefix/bin/lights-conformance
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

refused() { # refused WHAT KIT-ARGUMENT...: status 125 and a message
    local what=$1 status=0
    shift
    "$kit" "$@" >"$scratch/out" 2>"$scratch/err" || status=$?
    if [ "$status" -eq 125 ] && [ -s "$scratch/err" ] && ! grep -q passed "$scratch/out"; then
        echo "ok: $what"
    else
        echo "FAIL: $what: status $status, no reason or results given"
        failures=$((failures + 1))
    fi
}

printf 'not a module\n' >"$scratch/text.so"
: >"$scratch/empty.so"
refused "no arguments"
refused "two modules" "$module" "$module"
refused "an unknown option" --fast "$module"
refused "--junit without a file" --junit
refused "a missing file" "$scratch/missing.so"
refused "a text file" "$scratch/text.so"
refused "an empty file" "$scratch/empty.so"
for program in "$@"; do
    refused "a program, not a module: $(basename "$program")" "$program"
done
refused "a report in a missing directory" --junit "$scratch/no/such/dir/report.xml" "$module"
refused "a report where a directory is" --junit "$scratch" "$module"

# A device without its kernel: the kit's own copy, beside a runner whose
# device is incomplete. The binary clauses pass, the boot cannot happen.
mkdir -p "$scratch/prefix/bin" "$scratch/prefix/share"
cp "$kit" "$prefix/bin/pellix-device" "$scratch/prefix/bin/"
cp -r "$prefix/share/lights-conformance" "$prefix/share/pellix-device" "$scratch/prefix/share/"
rm "$scratch/prefix/share/pellix-device/zImage"
kit=$scratch/prefix/bin/lights-conformance
refused "a device that cannot boot" "$module"

exit "$failures"
