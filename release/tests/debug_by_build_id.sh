#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# debug_by_build_id.sh ARCHIVE
#
# gdb-multiarch, told only where the release's .build-id folder lies, loads
# the module's debug file without being told its name, and maps the
# backlight's apply operation to its source line; the module alone, with
# gdb's own folders, finds nothing (so the lookup is by build ID, not by the
# module's .gnu_debuglink beside it).
set -euo pipefail
# shellcheck source=../../checks/check.sh
. "$(dirname "$0")/../../checks/check.sh"

scratch=""

# What gdb loaded for the module, printed by gdb's own Python, one line
# each: "objfile FILE OWNER" (OWNER "-" for a file of its own) and
# "symbol FILE LINE" for the backlight's apply operation.
gdb_view() {
    local -a directory=()
    [ -z "$1" ] || directory=(-ex "set debug-file-directory $1")
    gdb-multiarch -nx -batch "${directory[@]}" -ex "file $scratch/device/lumivane.so" -ex 'python
for objfile in gdb.objfiles():
    print("objfile", objfile.filename, objfile.owner.filename if objfile.owner else "-")
symbol = gdb.lookup_global_symbol("set_light_backlight")
if symbol is not None and symbol.symtab is not None:
    print("symbol", symbol.symtab.filename, symbol.line)
' 2>/dev/null
}

# finds_debug_file DIRECTORY DEBUG_FILE: gdb loads DEBUG_FILE for the module
# and reads the function's line from it.
finds_debug_file() {
    local view
    view=$(gdb_view "$1")
    echo "$view"
    grep -qxF "objfile $(readlink -f "$2") $scratch/device/lumivane.so" <<<"$view" &&
        grep -qE '^symbol \./lights/backlight\.cpp [1-9][0-9]*$' <<<"$view"
}

# finds_none: without the release's folder, gdb loads no debug file.
finds_none() {
    ! gdb_view "" | grep -q '^objfile .* /'
}

main() {
    if [ $# -ne 1 ] || [ ! -f "$1" ]; then
        echo "usage: debug_by_build_id.sh ARCHIVE" >&2
        return 2
    fi
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/debug-by-build-id.XXXXXX")
    trap 'rm -rf "${scratch:?}"' EXIT
    mkdir "$scratch/release" "$scratch/device"
    tar -C "$scratch/release" -xf "$1"
    local root
    root=$(find "$scratch/release" -mindepth 1 -maxdepth 1 -type d)
    # The module as found on a device, without its debug file beside it.
    cp "$root/lib/lumivane.so" "$scratch/device/"
    check "gdb finds the debug file by build ID under lib/debug" "" \
        finds_debug_file "$root/lib/debug" "$root/lib/lumivane.so.debug"
    check "gdb finds no debug file for the module alone" "" finds_none
    verdict "the release's debug file"
}

main "$@"
