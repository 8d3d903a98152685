#!/bin/bash
# expect.sh KIT STATUS "CLAUSE..." [KIT OPTION]... MODULE
#
# Qualifies MODULE with the kit and passes when the kit exits with STATUS
# and the clauses its JUnit report marks failed are exactly CLAUSE... (none
# for ""; CLAUSE? for one that may pass or fail); any clause neither passed
# nor failed must be one the kit did not run after the first failure, which
# it reports as skipped.
set -euo pipefail
kit=$1 want_status=$2 want_failed=$3
shift 3
report=$(mktemp)
trap 'rm -f "$report"' EXIT

status=0
"$kit" --junit "$report" "$@" || status=$?

# The report's testcases, one per line: "ID RESULT".
results=$(tr -d '\n' <"$report" | sed 's#<testcase #\n&#g' |
    sed -n 's#^<testcase classname="[^"]*" name="\([^"]*\)">\(.*\)#\1 \2#p' |
    awk '{ result = "pass" } /<failure / { result = "fail" } /<skipped / { result = "skip" } { print $1, result }')
# A clause written CLAUSE? may go either way: its outcome on that sample
# depends on the C library the sample meets, not on the kit. It is left out
# of the comparison.
either=$(tr -s ' \n' '\n' <<<"$want_failed" | sed -n 's/?$//p' | paste -sd ' ')
failed=$(awk -v either="$either" '
    BEGIN { n = split(either, names, " "); for (i = 1; i <= n; i++) skip[names[i]] = 1 }
    $2 == "fail" && !($1 in skip) { print $1 }' <<<"$results" | sort | paste -sd ' ')
want=$(tr -s ' \n' '\n' <<<"$want_failed" | sed '/^$/d; /?$/d' | sort | paste -sd ' ')
cases=$(wc -l <<<"$results")

errors=0
if [ "$status" -ne "$want_status" ]; then
    echo "FAIL: the kit exited $status, not $want_status"
    errors=$((errors + 1))
fi
if [ "$failed" != "$want" ]; then
    echo "FAIL: failed clauses [$failed], not [$want]"
    errors=$((errors + 1))
fi
if [ "$cases" -lt 20 ]; then
    echo "FAIL: the report holds $cases clauses"
    errors=$((errors + 1))
fi
# A clause the kit did not run may only follow the first failure.
if grep -q ' skip$' <<<"$results" && [ -z "$want" ]; then
    echo "FAIL: clauses skipped although none failed"
    errors=$((errors + 1))
fi
[ "$errors" -eq 0 ] && echo "ok: status $status, failed [$failed]"
exit "$errors"
