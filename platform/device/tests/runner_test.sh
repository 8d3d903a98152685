#!/bin/bash
# pellix-device as its callers use it: a program's status, standard output
# and standard error come back exactly as the same program gives them under
# user-mode emulation; --file lands beside the program, in its working
# directory; the runner's own failures exit 125 and say why.
#
# runner_test.sh RUNNER EMULATOR LOADER MODULE ENDLESS_PROGRAM
# (EMULATOR: the user-mode emulator's command line, split at blanks;
# ENDLESS_PROGRAM: a program that never ends by itself)
set -eu -o pipefail
# shellcheck source=../../../checks/check.sh
. "$(dirname "$0")/../../../checks/check.sh"
runner=$1 loader=$3 module=$4 endless=$5
read -r -a emulator <<<"$2"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

run() { # run NAME COMMAND...: NAME.out, NAME.err, NAME.status in the scratch directory
    local name=$1 status=0
    shift
    "$@" >"$scratch/$name.out" 2>"$scratch/$name.err" || status=$?
    echo "$status" >"$scratch/$name.status"
}
same() { cmp -s "$scratch/$1" "$scratch/$2"; }
status_is() { [ "$(cat "$scratch/$1.status")" = "$2" ]; } # status_is NAME STATUS

# Every result of the program, passed through untouched: a usage error
# (status 2, standard error only) and a failure with a message (status 1).
run usage.user "${emulator[@]}" "$loader"
run usage.device "$runner" "$loader"
run missing.user "${emulator[@]}" "$loader" ./missing.so
run missing.device "$runner" "$loader" ./missing.so
for name in usage missing; do
    for part in status out err; do
        check "$name: $part as under user-mode emulation" "" same "$name.user.$part" "$name.device.$part"
    done
done
check "a usage error: 2" "" status_is usage.device 2
check "a missing module: 1" "" status_is missing.device 1

# A --file sits in the program's working directory; the module's log line
# goes to standard error alone.
run file "$runner" --file "$module" -- "$loader" ./lumivane.so backlight '#808080'
check "--file: the request succeeds" "" status_is file 0
check "--file: the loader reports it on standard output" "" grep -qx 'apply 0xff808080 = 0' "$scratch/file.out"
check "--file: standard error holds the log line alone" "$(cat "$scratch/file.err")" \
    [ "$(cat "$scratch/file.err")" = "I/lights: set_light_backlight brightness=22" ]

# The runner's own failures: 125, with a reason, and the device not booted.
run nothing "$runner" "$scratch/no-such-program"
check "a missing program: 125" "" status_is nothing 125
check "a missing program: says which" "" grep -q "no such file: .*no-such-program" "$scratch/nothing.err"
run bad_timeout "$runner" --timeout soon "$loader"
check "a bad time-out: 125" "" status_is bad_timeout 125
run timeout "$runner" --timeout 5 "$endless"
check "a program that never ends: 125" "" status_is timeout 125
check "a program that never ends: says it timed out" "" grep -q "timed out after 5 s" "$scratch/timeout.err"

verdict pellix-device
