#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# pellix-device as its callers use it: a program's status, standard output
# and standard error come back exactly as the same program gives them under
# user-mode emulation, the output while the program runs; every argument
# arrives; --file and --stdin land where the program finds them; nothing
# the program writes makes its status; an interrupted or killed runner
# leaves nothing behind; the runner's own failures exit 125 and say why.
#
# runner_test.sh RUNNER EMULATOR LOADER MODULE PROBE
# (EMULATOR: the user-mode emulator's command line, split at blanks;
# PROBE: tests/probe.c, the one program of these tests)
set -eu -o pipefail
# shellcheck source=../../../checks/check.sh
. "$(dirname "$0")/../../../checks/check.sh"
runner=$1 loader=$3 module=$4 probe=$5
read -r -a emulator <<<"$2"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

run() { # run NAME COMMAND...: NAME.out, NAME.err, NAME.status in the scratch directory
    local name=$1
    shift
    local status=0
    "$@" >"$scratch/$name.out" 2>"$scratch/$name.err" </dev/null || status=$?
    echo "$status" >"$scratch/$name.status"
}
same() { cmp -s "$scratch/$1" "$scratch/$2"; }
status_is() { [ "$(cat "$scratch/$1.status")" = "$2" ]; }
says() { grep -q -- "$2" "$scratch/$1.err"; }
lacks() { ! grep -q -- "$2" "$scratch/$1"; }
# both CONDITION... -- CONDITION...: the two hold
both() {
    local first=()
    while [ "$1" != -- ]; do first+=("$1"); shift; done
    shift
    "${first[@]}" && "$@"
}
# A failure of the runner's own: 125, and the reason named.
refused() { status_is "$1" 125 && says "$1" "$2"; }
# Waits, at most SECONDS, until COMMAND... holds (a guard against a hang,
# not a measure of speed).
eventually() { # eventually SECONDS COMMAND...
    local tenths=$(($1 * 10))
    shift
    until "$@"; do
        [ $((tenths -= 1)) -gt 0 ] || return 1
        sleep 0.1
    done
}
user() { "${emulator[@]}" "$@"; }

# --- Every result of a program, passed through untouched: a usage error
# (status 2, standard error only), a failure with a message (status 1), and
# an abort after a line on standard output, which is lost on both because
# the output is not a terminal, so the line sat in stdio's buffer.
run usage.user user "$loader"
run usage.device "$runner" "$loader"
run missing.user user "$loader" ./missing.so
run missing.device "$runner" "$loader" ./missing.so
run abort.user user "$probe" abort
run abort.device "$runner" "$probe" abort
for name in usage missing abort; do
    # (qemu-arm adds its own line on standard error when a program aborts)
    parts="status out err"
    [ "$name" != abort ] || parts="status out"
    for part in $parts; do
        check "$name: $part as under user-mode emulation" "" same "$name.user.$part" "$name.device.$part"
    done
done
check "the statuses are the program's" "" \
    both status_is usage.device 2 -- both status_is missing.device 1 -- status_is abort.device 134
check "abort: no standard stream is a terminal, here as there" "" \
    both says abort.device "stdin 0, stdout 0, stderr 0" -- says abort.user "stdin 0, stdout 0, stderr 0"

# --- Output: 10 MiB of every byte value, byte for byte.
run emit.user user "$probe" emit 10485760
run emit.device "$runner" "$probe" emit 10485760
check "10 MiB of output: as under user-mode emulation" "" \
    both status_is emit.device 0 -- same emit.user.out emit.device.out

# Output nobody takes any more ends the run rather than stalling it: a
# closed pipe as it would any program (141), a full disk as a failure.
closed_pipe=$("$runner" --timeout 60 "$probe" emit 10485760 2>/dev/null | head -c 1 >/dev/null
    echo "${PIPESTATUS[0]}")
check "output into a closed pipe: 141, as for any program" "" [ "$closed_pipe" = 141 ]
status=0
"$runner" "$probe" emit 100000 >/dev/full 2>"$scratch/full.err" || status=$?
echo "$status" >"$scratch/full.status"
check "output onto a full disk: 125, named" "" refused full "output could not be passed on"

# --- Arguments: 300 of them, one of 100 KiB, empty ones, blanks, quotes,
# newlines and a leading dash, each arriving as given.
arguments=("" " " "a b" "'\"" $'two\nlines' "-x" "--" "$(head -c 102400 /dev/zero | tr '\0' x)")
for i in $(seq 1 300); do arguments+=("$i"); done
printf '%s\0' "${arguments[@]}" >"$scratch/arguments.expected"
run arguments "$runner" "$probe" args "${arguments[@]}"
check "every argument arrives as given" "" \
    both status_is arguments 0 -- same arguments.out arguments.expected
# More than the device's kernel takes (2 MiB with an 8 MiB stack): refused
# by name. The host takes them here with a larger stack limit.
big=$(head -c 60000 /dev/zero | tr '\0' y)
many=()
for _ in $(seq 1 60); do many+=("$big"); done
(
    ulimit -s unlimited 2>/dev/null || ulimit -s 65536
    run too_many "$runner" "$probe" args "${many[@]}"
)
check "arguments past the kernel's limit: 125, named" "" refused too_many "arguments.*Argument list too long"

# --- Files: names starting with a dash, a --file beside the program, and
# --stdin as the program's standard input.
cp "$loader" "$scratch/-loader"
cp "$module" "$scratch/-lumivane.so"
printf 'line one\n\0binary\377 and no newline' >"$scratch/-input"
run file "$runner" --file "$scratch/-lumivane.so" -- "$scratch/-loader" ./-lumivane.so backlight '#808080'
check "--file: the request succeeds" "" status_is file 0
check "--file: the loader reports it on standard output" "" grep -qx 'apply 0xff808080 = 0' "$scratch/file.out"
check "--file: standard error holds the log line alone" "" \
    [ "$(cat "$scratch/file.err")" = "I/lights: set_light_backlight brightness=22" ]
run stdin "$runner" --stdin "$scratch/-input" "$probe" stdin
check "--stdin: the program reads the file" "" both status_is stdin 0 -- same stdin.out -input

# --- The status is the runner's to tell: a program that writes status
# lines everywhere it can and then never ends has timed out.
run forge "$runner" --timeout 10 "$probe" forge
check "a forged status: the time-out, 125" "" refused forge "timed out after 10 s"
check "a forged status: no status port could be opened" "" lacks forge.err opened
check "a forged status: the program's output still passes" "" grep -qx "exit 0" "$scratch/forge.out"

# --- Interrupted (Ctrl-C to the whole process group, SIGTERM to the runner
# alone) or killed while the program runs: the output so far is out, the
# status says so, and neither qemu nor the scratch directory stays.
running() { pgrep -f -- "$1/" >/dev/null; } # running TMPDIR: a run's processes
nothing_left() { ! running "$1" && [ -z "$(ls -A "$1")" ]; }
set -m # each run in a process group of its own, as a shell's job is
for signal in INT TERM KILL; do
    tmp=$scratch/tmp.$signal
    mkdir "$tmp"
    TMPDIR=$tmp "$runner" "$probe" wait >"$scratch/$signal.out" 2>"$scratch/$signal.err" </dev/null &
    pid=$!
    check "$signal: the output arrives while the program runs" "" \
        eventually 120 grep -q waiting "$scratch/$signal.out"
    check "$signal: qemu runs" "" running "$tmp"
    case $signal in
    INT) kill -INT -- -"$pid" ;;
    *) kill -"$signal" "$pid" ;;
    esac
    status=0
    { wait "$pid"; } 2>/dev/null || status=$? # (no job notice from the shell)
    case $signal in
    INT) check "INT: 130" "" [ "$status" = 130 ] ;;
    TERM) check "TERM: 143" "" [ "$status" = 143 ] ;;
    esac
    check "$signal: the output so far was passed on" "" grep -qx waiting "$scratch/$signal.out"
    check "$signal: nothing left behind" "" eventually 30 nothing_left "$tmp"
done
set +m

# --- The runner's own failures, each named, before anything boots.
mkdir "$scratch/folder"
# What cannot be read even by root: reading /proc/self/mem at its start.
unreadable=$scratch/unreadable
: >"$unreadable"
chmod 000 "$unreadable"
[ ! -r "$unreadable" ] || unreadable=/proc/self/mem
while IFS='|' read -r name reason arguments; do
    eval "run $name \"\$runner\" $arguments"
    check "$name: 125, named" "" refused "$name" "$reason"
done <<'CASES'
no_program|no-such-program': no such file|"$scratch/no-such-program"
program_folder|folder' is a directory|"$scratch/folder"
program_unreadable|cannot be read|"$unreadable"
file_missing|--file '.*absent': no such file|--file "$scratch/absent" "$probe"
file_folder|--file '.*folder' is a directory|--file "$scratch/folder" "$probe"
file_unreadable|--file '.*' cannot be read|--file "$unreadable" "$probe"
stdin_missing|--stdin '.*absent': no such file|--stdin "$scratch/absent" "$probe"
two_names|two files are named 'probe'|--file "$probe" "$probe"
bad_timeout|--timeout takes a whole number|--timeout soon "$probe"
bad_option|unknown option --fast|--fast "$probe"
CASES

# --- A device that does not boot: a truncated kernel is named within the
# boot time-out, with the console's end; a missing one before booting.
device=$scratch/device
prefix=$(dirname "$(dirname "$(readlink -f "$runner")")")
mkdir -p "$device"
cp -r "$prefix/bin" "$prefix/lib" "$prefix/share" "$device/"
head -c 200000 "$prefix/share/pellix-device/zImage" >"$device/share/pellix-device/zImage"
run corrupt "$device/bin/pellix-device" --boot-timeout 5 "$probe" args
check "a corrupt kernel: 125, named within the boot time-out" "" \
    refused corrupt "first process within 5 s: its kernel, .*/zImage, is corrupt"
check "a corrupt kernel: the console is shown" "" says corrupt "device console"
rm "$device/share/pellix-device/zImage"
run no_kernel "$device/bin/pellix-device" "$probe" args
check "a missing kernel: 125, named" "" refused no_kernel "zImage is missing"

verdict pellix-device
