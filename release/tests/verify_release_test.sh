#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# verify_release_test.sh ARCHIVE KIT
#
# verify-release passes the good release ARCHIVE, qualifying it again with
# KIT, and fails a copy with each fault, naming the check that sees it;
# an archive with an unsafe member is refused before anything of it is
# extracted.
set -euo pipefail
# shellcheck source=../../checks/check.sh
. "$(dirname "$0")/../../checks/check.sh"

here=$(cd "$(dirname "$0")" && pwd)
verify=$here/../../scripts/verify-release
scratch=""
archive="" kit=""

# passes ARCHIVE: verify-release exits 0 on it.
passes() {
    "$verify" --kit "$kit" "$1" >"$scratch/out" 2>&1 || { cat "$scratch/out"; return 1; }
}

# fails_at ARCHIVE CHECK [DETAIL]: verify-release exits 1, and the first
# check that fails, the last it reports, is CHECK, its detail holding DETAIL.
fails_at() {
    local status=0 failed
    "$verify" --kit "$kit" "$1" >"$scratch/out" 2>&1 || status=$?
    failed=$(sed -n 's/^fail  //p' "$scratch/out")
    if [ "$status" -ne 1 ] || [[ "$failed" != "$2"* ]] || [[ "$failed" != *"${3:-}"* ]] ||
        [ "$(tail -n 2 "$scratch/out" | head -n 1)" != "fail  $failed" ]; then
        cat "$scratch/out"
        echo "exit status $status, the failed check: ${failed:-none}"
        return 1
    fi
}

# nothing_escaped: no file of a refused archive was extracted anywhere
# near the fresh folder verify-release makes.
nothing_escaped() {
    [ -z "$(find "$scratch" -name 'escaped*' -print -quit)" ] &&
        [ -z "$(find "$scratch/tmp" -mindepth 1 -print -quit)" ]
}

# rejects KIND CHECK [DETAIL]: a copy of the archive with the fault KIND
# fails at CHECK, for DETAIL.
rejects() {
    local variant=$scratch/variants/$1/lumivane.tar.xz
    mkdir -p "$(dirname "$variant")"
    python3 "$here/tamper.py" "$archive" "$variant" "$1" "$scratch/escaped-absolute"
    check "refuses an archive with fault '$1' at: $2${3:+ ($3)}" "" fails_at "$variant" "$2" "${3:-}"
}

main() {
    if [ $# -ne 2 ] || [ ! -f "$1" ]; then
        echo "usage: verify_release_test.sh ARCHIVE KIT" >&2
        return 2
    fi
    archive=$1 kit=$2
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/verify-release-test.XXXXXX")
    trap 'rm -rf "${scratch:?}"' EXIT
    mkdir "$scratch/tmp"
    export TMPDIR=$scratch/tmp

    check "passes the good archive, its module qualified again" "" passes "$archive"

    local unsafe="no member with an absolute path or '..', a link leading outside, a device or a FIFO"
    rejects dotdot "$unsafe" "a path with '..'"
    rejects absolute "$unsafe" "an absolute path"
    rejects outside-link "$unsafe" "a link leading outside the archive"
    rejects fifo "$unsafe" "a FIFO"
    rejects device "$unsafe" "a device"
    check "extracts nothing of a refused archive" "" nothing_escaped
    rejects member "every file matches SHA256SUMS"
    rejects unlisted "SHA256SUMS lists every file"
    rejects debug "the debug file matches the module's build ID"
    rejects report "the report names this module's SHA-256"

    rejects report-build-id "the report names this module's build ID"
    rejects report-version "the module and the report carry the archive's version"
    rejects report-failed "the report passes every clause"

    # The qualification's verdict is the kit's: one that finds a failing
    # clause, and one whose device does not run.
    local good_kit=$kit status
    for status in 1 125; do
        kit=$scratch/kit-$status
        printf '#!/bin/sh\necho "fail  a clause: as this kit says"\nexit %s\n' "$status" >"$kit"
        chmod +x "$kit"
        check "fails when the kit exits $status on the module" "" \
            fails_at "$archive" "the module qualifies again on the emulated device"
    done
    kit=$good_kit

    mkdir "$scratch/not-an-archive"
    head -c 4096 "$archive" >"$scratch/not-an-archive/lumivane.tar.xz"
    check "refuses a truncated archive" "" \
        fails_at "$scratch/not-an-archive/lumivane.tar.xz" "the archive reads as a tar archive"

    mkdir "$scratch/wrong-sha256"
    cp "$archive" "$scratch/wrong-sha256/lumivane.tar.xz"
    echo "$(printf '0%.0s' {1..64})  lumivane.tar.xz" >"$scratch/wrong-sha256/lumivane.tar.xz.sha256"
    check "refuses an archive its .sha256 does not match" "" \
        fails_at "$scratch/wrong-sha256/lumivane.tar.xz" "the archive matches its .sha256"

    verdict "verify-release"
}

main "$@"
