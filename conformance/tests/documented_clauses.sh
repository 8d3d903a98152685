#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# documented_clauses.sh KIT DOC
#
# Passes when DOC's table of clauses (the rows whose first cell is a clause
# id in backquotes) lists exactly the clauses of KIT --list, in its order,
# each with its kind and title.
set -euo pipefail

main() {
    local kit=$1 doc=$2 listed documented
    listed=$("$kit" --list | awk -F '\t' '{ print $1 "|" $2 "|" $4 }')
    # shellcheck disable=SC2016 # the backquotes are the table's, not a command
    documented=$(sed -n 's/^| `\([a-z0-9.-]*\)` | \([a-z]*\) | \(.*\) |$/\1|\2|\3/p' "$doc")
    if [ "$listed" = "$documented" ]; then
        echo "ok: $(wc -l <<<"$listed") clauses documented as listed"
        exit 0
    fi
    echo "FAIL: the documented clauses are not the kit's list:"
    diff <(echo "$listed") <(echo "$documented") || true
    exit 1
}

main "$@"
