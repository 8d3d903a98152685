#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The loader stand-in, end to end: one request on the real module through
# the simulated backlight, and a clear refusal for each kind of bad module.
#
# loader_test.sh EMULATOR LOADER MODULE WRONG_MAGIC WRONG_VERSION NO_HANDLE NO_RECORD SIMULATOR
# (EMULATOR: the user-mode emulator's command line, split at blanks)
set -eu -o pipefail
read -r -a emulator <<<"$1"
loader=$2 module=$3 wrong_magic=$4 wrong_version=$5 no_handle=$6 no_record=$7 simulator=$8
failures=0
out=$(mktemp) err=$(mktemp) scratch=$(mktemp -d)
trap 'rm -rf "$out" "$err" "$scratch"' EXIT
cd "$scratch" || exit 2 # an empty directory, for the bare file name below

# expect STATUS TEXT... -- COMMAND...: the status, and each TEXT as a line
# fragment of standard output and error together.
expect() {
    local status=$1 texts=()
    shift
    while [ "$1" != -- ]; do texts+=("$1"); shift; done
    shift
    local got=0
    "$@" >"$out" 2>"$err" || got=$?
    if [ "$got" -eq 77 ]; then
        cat "$err" >&2
        exit 77
    fi
    local ok=true
    [ "$got" -eq "$status" ] || ok=false
    for text in "${texts[@]}"; do
        grep -qF -- "$text" "$out" "$err" || ok=false
    done
    if $ok; then
        echo "pass  ${*: -3}"
    else
        echo "FAIL  $* (status $got, expected $status; wanted: ${texts[*]})"
        sed 's/^/  out: /' "$out"
        sed 's/^/  err: /' "$err"
        failures=$((failures + 1))
    fi
}

run=("${emulator[@]}" "$loader")

expect 0 'ident        lights' 'title        Pellix Lights Module' 'acquire "backlight" = 0' \
    'apply 0xffffffff = 0' 'release = 0' 'I/lights: set_light_backlight brightness=45' \
    'pellix-backlight: brightness <- 45' -- "$simulator" "${run[@]}" "$module" backlight 0xFFFFFFFF
expect 0 'apply 0xff102030 = 0' 'pellix-backlight: brightness <- 5' \
    -- "$simulator" "${run[@]}" "$module" backlight '#102030'
expect 0 'acquire "attention" = 0' 'pellix-backlight: brightness <- 0' \
    -- "$simulator" "${run[@]}" "$module" --all 0x00000000
expect 1 'acquire "Backlight" = -22 (Invalid argument)' \
    -- "$simulator" "${run[@]}" "$module" Backlight
expect 1 'cannot open module /nonexistent/lumivane.so' -- "${run[@]}" /nonexistent/lumivane.so
# A bare file name is a file here, never a search along the library path.
expect 1 'cannot open module ./lumivane.so' -- "${run[@]}" lumivane.so
expect 1 'is not a loadable module' -- "${run[@]}" "$0"
expect 1 'missing symbol HMI' -- "${run[@]}" "$no_record"
expect 1 'wrong magic 0x12345678 (expected 0x48574d54)' -- "${run[@]}" "$wrong_magic"
expect 1 'unsupported module API 2.0' -- "${run[@]}" "$wrong_version"
expect 1 'the module returned an unusable handle for "backlight"' -- "${run[@]}" "$no_handle"
expect 2 'not a colour: #12345' -- "${run[@]}" "$module" backlight '#12345'
expect 2 'usage: lights-loader' -- "${run[@]}"
expect 0 'usage: lights-loader' -- "${run[@]}" --help
# A long name comes back whole; a colour in the name's place gets a hint.
long_name=$(printf 'light%.0s' {1..40})
expect 1 "acquire \"$long_name\" = -22" -- "${run[@]}" "$module" "$long_name"
expect 1 'is a colour; the light'"'"'s name comes first' -- "${run[@]}" "$module" '#808080'

echo "$((16 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
