#!/usr/bin/env bash
# The last lines of make test: what did not run on this machine, or ran as a
# sample. Each sample says so when it runs, in a line beginning "REDUCED:";
# this gathers those lines from the ctest log of each tree given, and adds
# each tree that did not run at all (--not-run "TREE: WHY").
#
#   scripts/test-summary.sh [--not-run "TREE: WHY"]... TREE...
set -euo pipefail

not_run=()
trees=()
while [ $# -gt 0 ]; do
    case "$1" in
        --not-run) not_run+=("$2"); shift 2 ;;
        *) trees+=("$1"); shift ;;
    esac
done

lines=()
for tree in "${trees[@]}"; do
    log=$tree/Testing/Temporary/LastTest.log
    if [ ! -f "$log" ]; then
        lines+=("$tree: no ctest log, its tests did not run")
        continue
    fi
    while IFS= read -r line; do
        lines+=("$tree: ${line#REDUCED: }")
    done < <(grep -o 'REDUCED: .*' "$log" | sort -u)
done
for entry in ${not_run[@]+"${not_run[@]}"}; do lines+=("$entry"); done

if [ ${#lines[@]} -eq 0 ]; then
    echo "make test: every test ran, and ran in full, on this machine"
else
    echo "make test: not run or reduced on this machine:"
    printf '  %s\n' "${lines[@]}"
fi
