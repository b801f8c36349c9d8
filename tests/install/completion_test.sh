#!/usr/bin/env bash
# The bash completion, driven as bash drives it: COMP_WORDS/COMP_CWORD set, _zelk called.
# $1: the zelk binary, $2: the completion script.
set -u
zelk=$(realpath "$1")
source "$2"
fails=0

complete_words()  # words typed; the last one is the word being completed
{
    COMP_WORDS=("$zelk" "$@")
    COMP_CWORD=$#
    _zelk
    ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}

expect()  # expected (sorted, space-separated), then the words
{
    local want=$1
    shift
    local got
    got=$(complete_words "$@")
    if [[ $got != "$want" ]]; then
        echo "FAIL: '$*' completed to '$got', expected '$want'"
        fails=$((fails + 1))
    fi
}

expect "dram " dr
expect "byte half test word " dram ""
expect "half " dram ha
expect "word " dram half w
expect "test " dram half word t
expect "echo " ec
expect "terminal test " echo t      # "echo" is an option: a new one may follow
expect "sector " erase se
expect "size " block ""
[[ -e /dev/ttyS0 ]] && expect "/dev/ttyS0 " read /dev/ttyS0
expect "" erase sector ""
expect "" speed ""
expect "" write speed ""
expect "" block size ""
expect "speed " write sp
expect "verify " ver
expect "--help --version " --
dir=$(mktemp -d)
touch "$dir/image.bin" "$dir/other.txt"
expect "$dir/image.bin " input "$dir/im"
expect "$dir/other.txt " protocol "$dir/ot"
rm -rf "$dir"

[[ $fails -eq 0 ]] && echo "completion: all cases passed"
exit $((fails > 0))
