#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# every_clause_can_fail.sh KIT EXPECTATIONS
#
# Passes when every clause KIT --list names is, for some sample, the one
# clause that sample fails. EXPECTATIONS: one sample a line,
# "NAME|CLAUSE...", the clauses it fails exactly.
set -euo pipefail

main() {
    local kit=$1 expectations=$2 id missing=0
    while IFS=$'\t' read -r id _; do
        if ! awk -F '|' -v id="$id" '$2 == id { found = 1 } END { exit !found }' "$expectations"; then
            echo "FAIL: no sample fails $id alone"
            missing=$((missing + 1))
        fi
    done < <("$kit" --list)
    [ "$missing" -eq 0 ] && echo "ok: every clause has a sample that fails it alone"
    exit "$missing"
}

main "$@"
