#!/usr/bin/env bash
# The manual pages render without warnings, have their sections, and name every option of
# `zelk --help`, `zelk-board --help`, `flash-many --help` and `zelk-station --help`.
# $1: the zelk binary, $2: the folder of the pages, $3: the zelk-board binary, $4: flash-many,
# $5: the zelk-station binary.
set -u
zelk=$(realpath "$1")
pages=$2
board=$(realpath "$3")
fails=0

has_sections()  # page, then section headings
{
    local page=$1
    shift
    local headings
    headings=$(MANWIDTH=200 man -l "$page" 2>/dev/null | col -b | grep -E '^[A-Z]')
    local section
    for section in "$@"; do
        if ! grep -qxF -- "$section" <<<"$headings"; then
            echo "FAIL: $page has no section '$section'"
            fails=$((fails + 1))
        fi
    done
}
has_sections "$pages/zelk.1" NAME SYNOPSIS DESCRIPTION OPTIONS KEYS "WRITE SPEEDS" TIMINGS \
    "THE CHECK VALUE AND WHAT IT PROVES" FILES "THE OPTIONS FILE" "SERIAL PORTS" "EXIT STATUS" \
    EXAMPLES BUGS AUTHOR "SEE ALSO"
has_sections "$pages/zelk-board.1" NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES \
    "SEE ALSO"
has_sections "$pages/flash-many.1" NAME SYNOPSIS DESCRIPTION OPTIONS "BOARDS ON OTHER HOSTS" \
    STATION EVENTS "EXIT STATUS" EXAMPLES "SEE ALSO"

# The timing table is filled in: three figures on each of its rows.
rows=$(MANWIDTH=200 man -l "$pages/zelk.1" 2>/dev/null | col -b |
    sed -n '/^TIMINGS/,/^THE CHECK/p' | grep -cE '  [0-9]+\.[0-9] +[0-9]+\.[0-9] +[0-9]+\.[0-9]$')
if ((rows < 8)); then
    echo "FAIL: the timing table has $rows rows of figures"
    fails=$((fails + 1))
fi

has_options() # page, then the program whose --help lists the options
{
    local text name
    text=$(MANWIDTH=200 man -l "$1" 2>/dev/null | col -b)
    while IFS= read -r name; do
        if ! grep -qE -- "(^|[ ,])$name([ ,]|$)" <<<"$text"; then
            echo "FAIL: option '$name' of $2 is not in $1"
            fails=$((fails + 1))
        fi
    done < <("$2" --help | grep -oE -- '(^|[ ,])--?[a-z-]+' | tr -d ' ,')
}
has_options "$pages/zelk-board.1" "$board"
has_options "$pages/flash-many.1" "$4"
has_options "$pages/flash-many.1" "$5"

for page in "$pages"/zelk.1 "$pages"/zelk-board.1 "$pages"/flash-many.1; do
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
