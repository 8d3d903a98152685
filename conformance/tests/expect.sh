#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# expect.sh [--keep-going] [--identity VERSION] KIT REPORT MODULE "CLAUSE..."
#
# Passes when the JUnit REPORT of a run of KIT holds one testsuite for
# MODULE whose failed clauses are exactly CLAUSE... (none for ""), every
# clause of KIT --list once, in its order, with its kind; no clause could
# not run; the module's sha256 is its file's; and any clause not run is one
# the kit may leave: a policy clause under --contract-only, a clause after
# the first failure without --keep-going, every device clause after a
# module that cannot be loaded. With --identity, the report also names the
# module's version note's VERSION and a SHA-1 build ID.
set -euo pipefail

keep_going=false
errors=0

problem() {
    echo "FAIL: $*"
    errors=$((errors + 1))
}

# The testcases of MODULE's testsuite, one a line: "ID KIND RESULT".
cases_of() { # cases_of REPORT MODULE
    awk -v module="$2" '
        /<testsuite / { inside = 0 }
        /<property name="module" value="/ {
            value = $0; sub(/.*value="/, "", value); sub(/".*/, "", value)
            if (value == module) inside = 1
        }
        inside && /<property name="sha256" value="/ {
            value = $0; sub(/.*value="/, "", value); sub(/".*/, "", value); print "sha256", value
        }
        inside && /<property name="(version|build_id)" value="/ {
            name = $0; sub(/.*name="/, "", name); sub(/".*/, "", name)
            value = $0; sub(/.*value="/, "", value); sub(/".*/, "", value); print name, value
        }
        inside && /<property name="contract_only" value="/ {
            value = $0; sub(/.*value="/, "", value); sub(/".*/, "", value); print "contract_only", value
        }
        inside && /<testcase / { id = $0; sub(/.*name="/, "", id); sub(/".*/, "", id); result = "pass" }
        inside && /<property name="kind"/ { kind = $0; sub(/.*name="kind" value="/, "", kind); sub(/".*/, "", kind) }
        inside && /<failure / { result = "fail" }
        inside && /<error / { result = "error" }
        inside && /<skipped / { result = "skip" }
        inside && /<\/testcase>/ { print "case", id, kind, result }
        inside && /<\/testsuite>/ { exit }' "$1"
}

main() {
    local identity=""
    if [ "$1" = --keep-going ]; then keep_going=true; shift; fi
    if [ "$1" = --identity ]; then identity=$2; shift 2; fi
    local kit=$1 report=$2 module=$3 want_failed=$4
    local listed cases id want kind failed="" first_failure="" load_failed=false
    listed=$("$kit" --list)
    cases=$(cases_of "$report" "$module")
    [ -n "$cases" ] || { problem "no testsuite for $module"; exit 1; }

    for want in $want_failed; do
        awk -F '\t' -v id="$want" '$1 == id { found = 1 } END { exit !found }' <<<"$listed" ||
            problem "the expectation names $want, which the kit does not list"
    done
    [ "$(awk '$1 == "case" { print $2, $3 }' <<<"$cases")" = "$(awk -F '\t' '{ print $1, $2 }' <<<"$listed")" ] ||
        problem "the report's clauses and kinds are not the kit's list, in its order"
    [ "$(awk '$1 == "sha256" { print $2 }' <<<"$cases")" = "$(sha256sum <"$module" | cut -d' ' -f1)" ] ||
        problem "the report's sha256 is not the module's"
    if [ -n "$identity" ]; then
        [ "$(awk '$1 == "version" { print $2 }' <<<"$cases")" = "$identity" ] ||
            problem "the report's version is not the note's $identity"
        [[ "$(awk '$1 == "build_id" { print $2 }' <<<"$cases")" =~ ^[0-9a-f]{40}$ ]] ||
            problem "the report's build_id is not the module's SHA-1 build ID"
    fi
    local contract_only
    contract_only=$(awk '$1 == "contract_only" { print $2 }' <<<"$cases")

    while read -r _ id kind result; do
        case $result in
        fail)
            failed+="$id "
            [ -n "$first_failure" ] || first_failure=$id
            [ "$id" != record.load ] || load_failed=true
            ;;
        error) problem "$id could not run" ;;
        skip)
            if [ "$contract_only" = true ] && [ "$kind" = policy ]; then
                continue
            elif $load_failed && [ "${id%%.*}" != binary ]; then
                continue
            elif ! $keep_going && [ -n "$first_failure" ]; then
                continue
            fi
            problem "$id was not run, and nothing before it allows that"
            ;;
        pass)
            if [ "$contract_only" = true ] && [ "$kind" = policy ]; then
                problem "$id, a policy clause, was judged under --contract-only"
            fi
            ;;
        esac
    done < <(grep '^case ' <<<"$cases")

    failed=$(tr ' ' '\n' <<<"$failed" | sed '/^$/d' | sort | paste -sd ' ')
    want=$(tr -s ' \n' '\n' <<<"$want_failed" | sed '/^$/d' | sort | paste -sd ' ')
    [ "$failed" = "$want" ] || problem "failed clauses [$failed], not [$want]"
    [ "$errors" -eq 0 ] && echo "ok: $(basename "$module") failed [$failed]"
    exit "$errors"
}

main "$@"
