#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# news_test.sh RELEASE-SCRIPT
#
# The release script, alone beside a VERSION and a NEWS: it refuses a NEWS
# that does not open with the version's entry, naming the entry it wants,
# and goes past that check when the entry is there.
set -euo pipefail

# release_with VERSION NEWS-HEADING: the script's status and its message.
release_with() {
    echo "$1" >"$tree/VERSION"
    printf '%s\n=====\n' "$2" >"$tree/NEWS"
    status=0
    "$tree/scripts/release" >/dev/null 2>"$tree/err" || status=$?
}

main() {
    local failures=0
    tree=$(mktemp -d)
    trap 'rm -rf "$tree"' EXIT
    mkdir "$tree/scripts"
    cp "$1" "$tree/scripts/release"

    release_with 1.0.1 "lumivane 1.0.0"
    if [ "$status" -eq 1 ] && grep -qF "'lumivane 1.0.1'" "$tree/err"; then
        echo "ok: a NEWS without this version's entry is refused"
    else
        echo "FAIL: a NEWS without this version's entry: status $status: $(cat "$tree/err")"
        failures=$((failures + 1))
    fi

    # With the entry, the script goes on to the commit, which this tree
    # lacks: it fails there, not at NEWS.
    release_with 1.0.1 "lumivane 1.0.1"
    if ! grep -q NEWS "$tree/err"; then
        echo "ok: a NEWS with this version's entry passes its check"
    else
        echo "FAIL: a NEWS with this version's entry was refused: $(cat "$tree/err")"
        failures=$((failures + 1))
    fi
    exit "$failures"
}

main "$@"
