#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Debugging on the emulated device, as its users do it: a crash in the
# module, in a process the program started, gives a crash report naming the
# function, file and line of each frame and comes back as a core that
# gdb-multiarch reads to the same frames; a gdb-multiarch session through
# --gdb stops in the module, shows its request, steps and lets the program
# end.
#
# debug_test.sh RUNNER MODULE_FAULT LOADER LIBDIR
# (MODULE_FAULT: tests/module_fault.c; LOADER: lights-loader with its
# symbols; LIBDIR: the installed module, with its debug file beside it)
set -eu -o pipefail
# shellcheck source=../../../checks/check.sh
. "$(dirname "$0")/../../../checks/check.sh"
runner=$1 module_fault=$2 loader=$3 libdir=$4
installed=$(dirname "$(dirname "$(readlink -f "$runner")")")
sysroot=/usr/arm-linux-gnueabi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# shellcheck source=../pellix-device
scaled() { (. "$runner" && read_scale && echo $(($(scaled_ms "$1") / 1000))); }
says() { grep -Eq -- "$2" "$scratch/$1"; }
same_frames() { [ -s "$scratch/$1" ] && cmp -s "$scratch/$1" "$scratch/$2"; }
# gdb-multiarch on the target's binaries, quiet, with COMMAND...
target_gdb() {
    gdb-multiarch -nx -batch -ex "set pagination off" -ex "set sysroot $sysroot" \
        -ex "set solib-search-path $libdir" "$@"
}

# --- A crash in the module, in a process of the run that is not PROGRAM:
# backlight-report runs module-fault, which applies a request that points
# nowhere. The status is the program's; the report names the process, its
# signal and fault address, the registers, and each frame with binary and
# offset, function, file and line: the module's through its debug file,
# module-fault's through its own.
status=0
"$runner" --cores "$scratch/cores" --file "$module_fault" -- "$installed/share/pellix-device/backlight-report" \
    module-fault >"$scratch/crash.out" 2>"$scratch/crash.err" </dev/null || status=$?
check "a crash in a process of the run: the program's status, 128+11" "status $status" [ "$status" = 139 ]
check "the report names the process and its signal" "" \
    says crash.err '^pellix-device: crash: process [0-9]+ \(module-fault\) died of SIGSEGV \(signal 11\)$'
check "the report gives the fault address, the request's" "" says crash.err '^  fault address 0x00000010$'
check "the report gives the registers" "" says crash.err '^    r12  0x[0-9a-f]{8}  sp   0x[0-9a-f]{8}  lr   0x[0-9a-f]{8}  pc   0x[0-9a-f]{8}$'
check "frame 0: set_light_backlight in lumivane.so, with file and line" "" \
    says crash.err '^    #0  lumivane\.so\+0x[0-9a-f]+  set_light_backlight  [^ ]*lights/backlight\.cpp:[0-9]+$'
check "frame 1: its caller, apply_to_nowhere in module-fault, with file and line" "" \
    says crash.err '^    #1  module-fault\+0x[0-9a-f]+  apply_to_nowhere  [^ ]*module_fault\.c:[0-9]+$'
build_id=$(readelf -n "$libdir/lumivane.so" | sed -n 's/^ *Build ID: *//p')
check "the report gives the module's build ID, which names its debug file" "module's: $build_id" \
    says crash.err "^    lumivane\.so +$build_id\$"
check "the program's own output still passes" "" says crash.out 'brightness'

# --- The core came back, named by program and process, and gdb-multiarch
# reads it (its machine interface) to the frames of the report.
pid=$(sed -En 's/^pellix-device: crash: process ([0-9]+) .*/\1/p' "$scratch/crash.err")
cores=$(cd "$scratch/cores" 2>/dev/null && ls)
check "--cores: the one core, module-fault.PID.core" "found: ${cores:-none}" [ "$cores" = "module-fault.$pid.core" ]
# "FUNCTION FILE:LINE" of a frame, from the report or from gdb's frames
sed -En 's/^    #[0-9]+ +[^ ]+  ([^ ]+)  [^ ]*\/([^/ ]+:[0-9]+)$/\1 \2/p' "$scratch/crash.err" >"$scratch/report.frames"
target_gdb -ex "file $module_fault" -ex "core-file $scratch/cores/$cores" \
    -ex 'interpreter-exec mi "-stack-list-frames"' 2>/dev/null >"$scratch/gdb.out" || true
grep '^\^done,stack=' "$scratch/gdb.out" | grep -o 'frame={[^}]*}' |
    sed -En 's/.*func="([^"]+)",file="([^"]+)",.*line="([0-9]+)".*/\1 \2:\3/p' |
    sed -E 's/ [^ ]*\/([^/]+:[0-9]+)$/ \1/' >"$scratch/gdb.frames" || true
check "gdb-multiarch reads the core to the report's frames" "report: $(tr '\n' ';' <"$scratch/report.frames") gdb: $(tr '\n' ';' <"$scratch/gdb.frames")" \
    same_frames report.frames gdb.frames

# The module's debug file is found by build ID too, in a .build-id folder
# (the release's layout), with no copy beside the module; without it the
# module's frame has no name.
by_id=$scratch/by-id
mkdir -p "$by_id"
cp "$libdir/lumivane.so" "$libdir/liblog.so" "$by_id/"
build_id=$(eu-unstrip -n -e "$by_id/lumivane.so" | sed -En 's/^[^ ]+ ([0-9a-f]+)@.*/\1/p')
report_frame0() { "$installed/bin/pellix-crash-report" --program "$module_fault" --search "$by_id" "$scratch/cores/$cores" | grep '^    #0 '; }
mkdir -p "$by_id/debug/.build-id/${build_id:0:2}"
cp "$libdir/lumivane.so.debug" "$by_id/debug/.build-id/${build_id:0:2}/${build_id:2}.debug"
check "the debug file found by build ID names the module's frame" "" \
    grep -q '  set_light_backlight  .*backlight\.cpp:[0-9]*$' <<<"$(report_frame0)"
rm "$by_id/debug/.build-id/${build_id:0:2}/${build_id:2}.debug"
check "without a debug file the module's frame has no name" "" grep -q '  ??$' <<<"$(report_frame0)"

# --- A gdb-multiarch session through --gdb: it stops at the module's
# set_light_backlight, prints the request's colour, steps a line, and lets
# the program end, which then exits 0 through the runner.
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port)
"$runner" --gdb "$port" -- "$loader" /usr/lib/lumivane.so backlight >"$scratch/gdb-run.out" 2>"$scratch/gdb-run.err" </dev/null &
runner_pid=$!
status=0
# shellcheck disable=SC2016 # $_exitcode is gdb's
timeout "$(scaled 300)" gdb-multiarch -nx -batch -ex "set pagination off" -ex "set sysroot $sysroot" \
    -ex "set solib-search-path $libdir" -ex "set breakpoint pending on" \
    -ex "set tcp auto-retry on" -ex "set tcp connect-timeout $(scaled 60)" -ex "set remotetimeout $(scaled 30)" \
    -ex "file $loader" -ex "target remote 127.0.0.1:$port" -ex "break set_light_backlight" -ex continue \
    -ex 'python print("stopped in " + gdb.selected_frame().name())' \
    -ex 'printf "argb=%#x\n", request->argb' \
    -ex 'python print("line %d" % gdb.selected_frame().find_sal().line)' -ex next \
    -ex 'python print("line %d" % gdb.selected_frame().find_sal().line)' \
    -ex continue -ex 'printf "exit code %d\n", $_exitcode' \
    >"$scratch/session.out" 2>"$scratch/session.err" || status=$?
runner_status=0
wait "$runner_pid" || runner_status=$?
lines=$(sed -n 's/^line //p' "$scratch/session.out" | tr '\n' ' ')
check "gdb: the session ends well" "status $status: $(tail -n 3 "$scratch/session.err" | tr '\n' ' ')" [ "$status" = 0 ]
check "gdb: stopped in set_light_backlight" "" says session.out '^stopped in set_light_backlight$'
check "gdb: the request's argb is 0xffffffff" "" says session.out '^argb=0xffffffff$'
check "gdb: next steps to a later line" "lines $lines" [ "$(echo "$lines" | awk '{ print ($2 > $1) }')" = 1 ]
check "gdb: the program exits 0" "" says session.out '^exit code 0$'
check "gdb: the runner exits 0" "status $runner_status: $(tail -n 3 "$scratch/gdb-run.err" | tr '\n' ' ')" [ "$runner_status" = 0 ]
check "gdb: the program's output passes" "" says gdb-run.out '^apply 0xffffffff = 0$'

verdict "pellix-device debugging"
