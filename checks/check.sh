# SPDX-License-Identifier: Apache-2.0
# shellcheck shell=bash
# What the shell tests that check the way the checkers do share (the
# checkers have the same in tools/pellix/verdict.py): one line per check,
# "pass  WHAT" or "fail  WHAT: DETAIL", and the verdict, which --expect-fail
# TEXT turns round for a sample with known faults.
#
#   check WHAT DETAIL COMMAND [ARG]...
#       runs COMMAND; the check passes when it succeeds. DETAIL, if not
#       empty, follows a failure. With check_results=true, each check is
#       also printed as "pass|fail<TAB>WHAT<TAB>DETAIL", for a program.
#   expect_fail TEXT
#       for the checker's --expect-fail TEXT (repeatable): the verdict then
#       passes only when each TEXT given is part of the WHAT of a check that
#       failed, and every check that failed has one of them in its WHAT.
#   verdict SUBJECT
#       prints the verdict on SUBJECT; returns 0 when it passes, 1 if not.

check_failures=() # the WHAT of each check that failed
check_results=false # also print each check as "pass|fail<TAB>WHAT<TAB>DETAIL"
check_expected=() # each TEXT of --expect-fail

check() {
    local what=$1 detail=$2
    shift 2
    if "$@"; then
        $check_results && printf 'pass\t%s\t\n' "$what"
        echo "pass  $what"
    else
        $check_results && printf 'fail\t%s\t%s\n' "$what" "$detail"
        echo "fail  $what${detail:+: $detail}"
        check_failures+=("$what")
    fi
}

expect_fail() {
    check_expected+=("$1")
}

# part_of_one TEXT WHAT...: whether TEXT is part of one of the WHATs.
part_of_one() {
    local text=$1 what
    shift
    for what in "$@"; do
        [[ "$what" == *"$text"* ]] && return 0
    done
    return 1
}

# has_one WHAT TEXT...: whether one of the TEXTs is part of WHAT.
has_one() {
    local what=$1 text
    shift
    for text in "$@"; do
        [[ "$what" == *"$text"* ]] && return 0
    done
    return 1
}

verdict() {
    local subject=$1 what text unexpected="" missing=""
    if [ ${#check_expected[@]} -eq 0 ]; then
        if [ ${#check_failures[@]} -eq 0 ]; then
            echo "verdict: all checks pass for $subject"
            return 0
        fi
        echo "verdict: ${#check_failures[@]} check(s) fail for $subject"
        return 1
    fi
    for what in "${check_failures[@]+"${check_failures[@]}"}"; do
        has_one "$what" "${check_expected[@]}" || unexpected+="\"$what\" "
    done
    for text in "${check_expected[@]}"; do
        part_of_one "$text" "${check_failures[@]+"${check_failures[@]}"}" || missing+="\"$text\" "
    done
    if [ -z "$unexpected$missing" ]; then
        echo "verdict: the checks reject $subject for each known fault and nothing else"
        return 0
    fi
    echo "verdict: the checks do not reject $subject as expected"
    [ -z "$missing" ] || echo "  no check failed for $missing"
    [ -z "$unexpected" ] || echo "  failed unexpectedly: $unexpected"
    return 1
}
