#!/usr/bin/env bash
# The manual pages render without warnings, and zelk(1) names every option of `zelk --help`.
# $1: the zelk binary, $2: the folder of the pages.
set -u
zelk=$(realpath "$1")
pages=$2
fails=0

for page in "$pages"/zelk.1 "$pages"/zelk-board.1; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    if [[ -n $warnings ]]; then
        echo "FAIL: $page renders with warnings:"
        echo "$warnings"
        fails=$((fails + 1))
    fi
done

text=$(MANWIDTH=200 man -l "$pages/zelk.1" 2>/dev/null | col -b)
while IFS= read -r name; do
    if ! grep -qF -- "$name" <<<"$text"; then
        echo "FAIL: option '$name' is not in zelk(1)"
        fails=$((fails + 1))
    fi
done < <(cd "$(mktemp -d)" && "$zelk" --help | awk 'seen && substr($0, 1, 1) != " " && NF { n = substr($0, 1, 20); sub(/ +$/, "", n); print n } /^Option name/ { seen = 1 }')

[[ $fails -eq 0 ]] && echo "manual pages: all checks passed"
exit $((fails > 0))
