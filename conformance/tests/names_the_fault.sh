#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# names_the_fault.sh MODULE CLAUSE FUNCTION REPORT...
#
# Passes when, in the text REPORTs of the kit, MODULE's CLAUSE failed with
# evidence that names the place of its crash: "the fault: in FUNCTION".
set -euo pipefail

main() {
    local module=$1 clause=$2 function=$3 line
    shift 3
    line=$(awk -v module="$module" -v clause=" $clause: " '
        /^lights-conformance: / { inside = index($0, "lights-conformance: " module) == 1 }
        inside && /^fail / && index($0, clause) { print; exit }' "$@")
    echo "${line:-no failed $clause for $module}"
    [[ $line == *"the fault: in $function"* ]]
}

main "$@"
