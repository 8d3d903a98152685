#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# pellix-device as its callers use it: a program's status, standard output
# and standard error come back exactly as the same program gives them under
# user-mode emulation, the output while the program runs; every argument
# arrives; --file and --stdin land where the program finds them; nothing
# the program writes makes its status; an interrupted or killed runner
# leaves nothing behind; the runner's own failures exit 125 and say why.
#
# runner_test.sh RUNNER EMULATOR LOADER MODULE TEST_PROGRAM
# (EMULATOR: the user-mode emulator's command line, split at blanks;
# TEST_PROGRAM: tests/runner_test_program.c, the one program of these tests)
set -eu -o pipefail
# shellcheck source=../../../checks/check.sh
. "$(dirname "$0")/../../../checks/check.sh"
runner=$1 loader=$3 module=$4 test_program=$5
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
# SECONDS as the runner scales its time-outs (PELLIX_TIMEOUT_SCALE).
# shellcheck source=../pellix-device
scaled() { (. "$runner" && read_scale && echo $(($(scaled_ms "$1") / 1000))); }
# Waits, at most SECONDS (scaled), until COMMAND... holds (a guard against a
# hang, not a measure of speed).
eventually() { # eventually SECONDS COMMAND...
    local tenths=$(($(scaled "$1") * 10))
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
run abort.user user "$test_program" abort
run abort.device "$runner" "$test_program" abort
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
# comes_after NAME FIRST SECOND: a line with SECOND follows one with FIRST
comes_after() { awk -v first="$2" -v second="$3" 'index($0, first) { seen = 1 } seen && index($0, second) { found = 1 } END { exit !found }' "$scratch/$1"; }
check "abort: a crash report follows the program's output" "" \
    comes_after abort.device.err "stdin 0, stdout 0" "crash: process"
check "abort: the report names SIGABRT and abort's frame" "" \
    both says abort.device "died of SIGABRT (signal 6)" -- \
    grep -Eq '^    #[0-9]+ +libc\.so\.6\+0x[0-9a-f]+  abort$' "$scratch/abort.device.err"

# --- Output: 10 MiB of every byte value, byte for byte.
run emit.user user "$test_program" emit 10485760
run emit.device "$runner" "$test_program" emit 10485760
check "10 MiB of output: as under user-mode emulation" "" \
    both status_is emit.device 0 -- same emit.user.out emit.device.out

# Output nobody takes any more ends the run rather than stalling it: a
# closed pipe as it would any program (141), a full disk as a failure.
closed_pipe=$("$runner" --timeout 60 "$test_program" emit 10485760 2>/dev/null | head -c 1 >/dev/null
    echo "${PIPESTATUS[0]}")
check "output into a closed pipe: 141, as for any program" "" [ "$closed_pipe" = 141 ]
status=0
"$runner" "$test_program" emit 100000 >/dev/full 2>"$scratch/full.err" || status=$?
echo "$status" >"$scratch/full.status"
check "output onto a full disk: 125, named" "" refused full "output could not be passed on"

# --- Arguments: 300 of them, one of 100 KiB, empty ones, blanks, quotes,
# newlines and a leading dash, each arriving as given.
arguments=("" " " "a b" "'\"" $'two\nlines' "-x" "--" "$(head -c 102400 /dev/zero | tr '\0' x)")
for i in $(seq 1 300); do arguments+=("$i"); done
printf '%s\0' "${arguments[@]}" >"$scratch/arguments.expected"
run arguments "$runner" "$test_program" args "${arguments[@]}"
check "every argument arrives as given" "" \
    both status_is arguments 0 -- same arguments.out arguments.expected
# More than the device's kernel takes (2 MiB with an 8 MiB stack): refused
# by name. The host takes them here with a larger stack limit.
big=$(head -c 60000 /dev/zero | tr '\0' y)
many=()
for _ in $(seq 1 60); do many+=("$big"); done
(
    ulimit -s unlimited 2>/dev/null || ulimit -s 65536
    run too_many "$runner" "$test_program" args "${many[@]}"
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
run stdin "$runner" --stdin "$scratch/-input" "$test_program" stdin
check "--stdin: the program reads the file" "" both status_is stdin 0 -- same stdin.out -input

# Relative names that start with a dash, given without ./ from their own
# folder: taken as names, not options.
(cd "$scratch" && run relative "$runner" --file -lumivane.so --stdin -input -- -loader ./-lumivane.so backlight)
check "relative names starting with a dash: PROGRAM, --file and --stdin" "" \
    both status_is relative 0 -- grep -qx 'apply 0xffffffff = 0' "$scratch/relative.out"

# --- What a program starts with: exactly the documented environment, in
# /work, as root. A program the kernel cannot start because its dynamic
# linker is missing ends with 127, as a shell gives, and says why.
run env "$runner" --verbose "$test_program" env
printf '%s\0' PATH=/work:/usr/bin:/bin HOME=/work PWD=/work cwd=/work uid=0 >"$scratch/env.expected"
check "the environment, working directory and user are the documented ones" "" \
    both status_is env 0 -- same env.out env.expected
check "--verbose: the qemu command line and each phase's time" "" \
    both grep -q '^pellix-device: qemu: qemu-system-arm ' "$scratch/env.err" -- \
    grep -Eq '^pellix-device: run +[0-9]+\.[0-9]{3} s$' "$scratch/env.err"
LC_ALL=C sed 's|/lib/ld-linux\.so\.3|/lib/ld-absent.so3|' "$test_program" >"$scratch/no-linker"
run no_linker "$runner" "$scratch/no-linker" args
check "a program whose dynamic linker is missing: 127, named" "" \
    both status_is no_linker 127 -- says no_linker "cannot run /work/no-linker"

# --- The time-out counts from the program's start, within its own time:
# not before, and not after the boot time-out as well.
started=$SECONDS
run own_time "$runner" --timeout 3 --boot-timeout 60 "$test_program" wait
elapsed=$((SECONDS - started))
check "--timeout 3: the time-out, 125" "" refused own_time "timed out after 3 s"
check "--timeout 3: not before 3 s, nor after the boot time-out too" "took $elapsed s" \
    both [ "$elapsed" -ge "$(scaled 3)" ] -- [ "$elapsed" -lt "$(scaled 60)" ]

# PELLIX_TIMEOUT_SCALE multiplies the time-outs given, and takes only a
# positive number.
started=$SECONDS
run scaled_time env PELLIX_TIMEOUT_SCALE=1.5 "$runner" --timeout 2 "$test_program" wait
elapsed=$((SECONDS - started))
check "PELLIX_TIMEOUT_SCALE 1.5: --timeout 2 gives up after 3 s, and says so" "took $elapsed s" \
    both refused scaled_time "timed out after 2 s (PELLIX_TIMEOUT_SCALE 1.5: 3 s)" -- [ "$elapsed" -ge 3 ]
run zero_scale env PELLIX_TIMEOUT_SCALE=0 "$runner" "$test_program" args
run word_scale env PELLIX_TIMEOUT_SCALE=slow "$runner" "$test_program" args
check "PELLIX_TIMEOUT_SCALE 0 or a word: 125, named" "" \
    both refused zero_scale "PELLIX_TIMEOUT_SCALE must be above 0" -- refused word_scale "PELLIX_TIMEOUT_SCALE takes a positive number"

# --- The image's size: one at the limit is refused, by name, before boot.
truncate -s 96M "$scratch/large"
run too_large "$runner" --file "$scratch/large" "$test_program" args
check "an image past 96 MiB: 125, named" "" refused too_large "the image is [0-9]* MiB.*at most 96 MiB"
rm "$scratch/large"

# --- A status line that reaches this side in two pieces is read whole: the
# runner's own reading of the status port, fed "ex", then "it 3" a while
# after (ten of its looks at the port later).
split_status() ( # split_status FIFO
    # shellcheck source=../pellix-device
    . "$runner"
    read_scale
    STATUS_PATIENCE=0.1 qemu=$BASHPID
    exec {status}<>"$1"
    { printf ex; sleep 1; printf 'it 3\n'; } >"$1" &
    await_status run "$(scaled_ms 60)"
    echo "$outcome"
)
mkfifo "$scratch/status"
check "a status line in two pieces: read whole" "" [ "$(split_status "$scratch/status")" = "exit 3" ]

# --- The status is the runner's to tell: a program that writes status
# lines everywhere it can and then never ends has timed out.
run forge "$runner" --timeout 10 "$test_program" forge
check "a forged status: the time-out, 125" "" refused forge "timed out after 10 s"
check "a forged status: no status port could be opened" "" lacks forge.err opened
check "a forged status: the program inherited no descriptor of the device's" "" lacks forge.err inherited
check "a forged status: the program's output still passes" "" grep -qx "exit 0" "$scratch/forge.out"

# --- Interrupted (Ctrl-C to the whole process group, SIGTERM to the runner
# alone) or killed while the program runs: the output so far is out, the
# status says so, and neither qemu nor the scratch directory stays.
running() { pgrep -f -- "$1/" >/dev/null; } # running TMPDIR: a run's processes
nothing_left() { ! running "$1" && [ -z "$(ls -A "$1")" ]; }
# nothing_left_now PID TMPDIR: no process of the run's group, no scratch
nothing_left_now() { ! pgrep -g "$1" >/dev/null && [ -z "$(ls -A "$2")" ]; }
set -m # each run in a process group of its own, as a shell's job is
mkdir "$scratch/tmp.done"
TMPDIR=$scratch/tmp.done "$runner" "$test_program" args >/dev/null 2>&1 </dev/null &
pid=$!
wait "$pid"
check "a finished run: nothing of it runs or stays once it has returned" "" \
    nothing_left_now "$pid" "$scratch/tmp.done"
for signal in INT TERM KILL; do
    tmp=$scratch/tmp.$signal
    mkdir "$tmp"
    TMPDIR=$tmp "$runner" "$test_program" wait >"$scratch/$signal.out" 2>"$scratch/$signal.err" </dev/null &
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
    [ "$signal" = KILL ] ||
        check "$signal: nothing of the run runs or stays once it has returned" "" nothing_left_now "$pid" "$tmp"
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
file_missing|--file '.*absent': no such file|--file "$scratch/absent" "$test_program"
file_folder|--file '.*folder' is a directory|--file "$scratch/folder" "$test_program"
file_unreadable|--file '.*' cannot be read|--file "$unreadable" "$test_program"
stdin_missing|--stdin '.*absent': no such file|--stdin "$scratch/absent" "$test_program"
stdin_device|--stdin '/dev/null' is not a regular file|--stdin /dev/null "$test_program" stdin
two_names|two files are named 'runner-test-program'|--file "$test_program" "$test_program"
bad_timeout|--timeout takes a whole number|--timeout soon "$test_program"
bad_option|unknown option --fast|--fast "$test_program"
cores_file|--cores '.*runner-test-program' is not a folder|--cores "$test_program" "$test_program"
bad_gdb_port|--gdb takes a TCP port|--gdb 65536 "$test_program"
CASES

# A FIFO is refused by its type before anything opens it, which would wait
# for a writer. (The time-out only guards against that wait.)
mkfifo "$scratch/fifo"
run stdin_fifo timeout "$(scaled 120)" "$runner" --stdin "$scratch/fifo" "$test_program" stdin
run file_fifo timeout "$(scaled 120)" "$runner" --file "$scratch/fifo" "$test_program" args
check "--stdin a FIFO: 125, named" "" refused stdin_fifo "--stdin '.*fifo' is not a regular file"
check "--file a FIFO: 125, named" "" refused file_fifo "--file '.*fifo' is not a regular file"

# --- A device that does not boot: a truncated kernel is named within the
# boot time-out, with the console's end; a missing one before booting.
device=$scratch/device
prefix=$(dirname "$(dirname "$(readlink -f "$runner")")")
mkdir -p "$device"
cp -r "$prefix/bin" "$prefix/lib" "$prefix/share" "$device/"
head -c 200000 "$prefix/share/pellix-device/zImage" >"$device/share/pellix-device/zImage"
run corrupt "$device/bin/pellix-device" --boot-timeout 5 "$test_program" args
check "a corrupt kernel: 125, named within the boot time-out" "" \
    refused corrupt "first process within 5 s: its kernel, .*/zImage, is corrupt"
check "a corrupt kernel: the console is shown" "" says corrupt "device console"
rm "$device/share/pellix-device/zImage"
run no_kernel "$device/bin/pellix-device" "$test_program" args
check "a missing kernel: 125, named" "" refused no_kernel "zImage is missing"

verdict pellix-device
