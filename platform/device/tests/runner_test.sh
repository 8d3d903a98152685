#!/bin/bash
# pellix-device as its callers use it: a program's status, standard output
# and standard error come back exactly as the same program gives them under
# user-mode emulation; --file lands beside the program, in its working
# directory; the runner's own failures exit 125 and say why.
#
# runner_test.sh RUNNER EMULATOR LOADER MODULE ENDLESS_PROGRAM
# (ENDLESS_PROGRAM: a program that never ends by itself)
set -u
runner=$1 emulator=$2 loader=$3 module=$4 endless=$5
failures=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

check() { # check WHAT CONDITION...
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}

run() { # run NAME COMMAND...: NAME.out, NAME.err, NAME.status in the scratch directory
    local name=$1
    shift
    "$@" >"$scratch/$name.out" 2>"$scratch/$name.err"
    echo $? >"$scratch/$name.status"
}
same() { cmp -s "$scratch/$1" "$scratch/$2"; }

# Every result of the program, passed through untouched: a usage error
# (status 2, standard error only) and a failure with a message (status 1).
run usage.user $emulator "$loader"
run usage.device "$runner" "$loader"
run missing.user $emulator "$loader" ./missing.so
run missing.device "$runner" "$loader" ./missing.so
for name in usage missing; do
    for part in status out err; do
        check "$name: $part as under user-mode emulation" same "$name.user.$part" "$name.device.$part"
    done
done
check "the statuses differ from each other and from success" \
    [ "$(cat "$scratch/usage.device.status")" = 2 -a "$(cat "$scratch/missing.device.status")" = 1 ]

# A --file sits in the program's working directory; the module's log line
# goes to standard error alone.
run file "$runner" --file "$module" -- "$loader" ./lumivane.so backlight '#808080'
check "--file: the request succeeds" [ "$(cat "$scratch/file.status")" = 0 ]
check "--file: the loader reports it on standard output" grep -qx 'apply 0xff808080 = 0' "$scratch/file.out"
check "--file: standard error holds the log line alone" \
    [ "$(cat "$scratch/file.err")" = "I/lights: set_light_backlight brightness=22" ]

# The runner's own failures: 125, with a reason, and the device not booted.
run nothing "$runner" "$scratch/no-such-program"
check "a missing program: 125" [ "$(cat "$scratch/nothing.status")" = 125 ]
check "a missing program: says which" grep -q "no such file: .*no-such-program" "$scratch/nothing.err"
run bad_timeout "$runner" --timeout soon "$loader"
check "a bad time-out: 125" [ "$(cat "$scratch/bad_timeout.status")" = 125 ]
run timeout "$runner" --timeout 5 "$endless"
check "a program that never ends: 125" [ "$(cat "$scratch/timeout.status")" = 125 ]
check "a program that never ends: says it timed out" grep -q "timed out after 5 s" "$scratch/timeout.err"

echo "$failures failed"
[ "$failures" = 0 ]
