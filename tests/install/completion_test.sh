#!/usr/bin/env bash
# The bash completion, driven as bash drives it: COMP_WORDS/COMP_CWORD set, _zelk called.
# $1: the zelk binary, $2: the completion script, $3: the zelk-board binary.
set -u
zelk=$(realpath "$1")
source "$2"
board=$(realpath "$3")
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
expect "byte half test timeout word " dram ""
expect "half " dram ha
expect "word " dram half w
expect "test " dram half word t
expect "echo " ec
expect "sector " erase se
expect "size " block ""
[[ -e /dev/ttyS0 ]] && expect "/dev/ttyS0 " read /dev/ttyS0
expect "" erase sector ""
speeds="110 115200 1200 134 150 1800 19200 200 230400 2400 300 38400 460800 4800 50 57600 600 75 9600 "
expect "$speeds" speed ""
expect "$speeds" write speed ""
expect "115200 " speed 115
expect "19200 " write speed 19
expect "" idle ""
expect "" block size ""
expect "speed " write sp
expect "speed " read sp
expect "$speeds" read speed ""
expect "verify " ver
expect "--help --version " --
dir=$(mktemp -d)
touch "$dir/image.bin" "$dir/other.txt"
expect "$dir/image.bin " input "$dir/im"
expect "$dir/other.txt " protocol "$dir/ot"
rm -rf "$dir"

expect "ports " po
expect "bin elf hex srec " format ""
expect "srec " format s
expect "" flash base ""
expect "base " flash ""
expect "needed " erase ne
expect "plan " pl
expect "retries " ret
expect "trace " tra
expect "resume " resu
expect "" retries ""                # a number
expect "ports " --version po         # a new option after an option

# Devices of every kind, on a fake /dev: serial ports, pseudo-terminals (not ptmx), by-id links,
# and short names for a word that does not start with "/".
dev=$(mktemp -d)
mkdir -p "$dev/pts" "$dev/serial/by-id"
touch "$dev/ttyS0" "$dev/ttyS1" "$dev/ttyUSB0" "$dev/ttyACM2" "$dev/tty0" "$dev/pts/4" \
      "$dev/pts/ptmx" "$dev/null"
ln -s ../../ttyUSB0 "$dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZ1-if00-port0"
_zelk_dev_root=$dev
expect "$dev/pts/4 $dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZ1-if00-port0 $dev/ttyACM2 $dev/ttyS0 $dev/ttyS1 $dev/ttyUSB0 " erase "$dev/"
expect "$dev/ttyS0 $dev/ttyS1 " read "$dev/ttyS"
expect "$dev/pts/4 " terminal "$dev/pts/"
expect "$dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZ1-if00-port0 " read "$dev/serial/"
expect "ttyACM2 ttyS0 ttyS1 ttyUSB0 " manufactory tty
expect "ttyUSB0 " manufactory ttyU
expect "terminal test timestamps trace ttyACM2 ttyS0 ttyS1 ttyUSB0 " echo t
# The user's own terminal is the console, never a device to offer.
touch "$dev/pts/5"
_zelk_own_tty=$dev/pts/4
expect "$dev/pts/5 " terminal "$dev/pts/"
_zelk_own_tty=$dev/ttyS1
expect "ttyS0 " read ttyS
unset _zelk_own_tty
rm -rf "$dev"
_zelk_dev_root=/dev

# The real /dev: a running simulated board's pseudo-terminal is offered.
board_dev=$("$board" --detach 2>"${TMPDIR:-/tmp}/zelk-completion-board.$$")
board_pid=$(grep -o '[0-9]*' "${TMPDIR:-/tmp}/zelk-completion-board.$$")
rm -f "${TMPDIR:-/tmp}/zelk-completion-board.$$"
got=$(complete_words read /dev/pts/)
[[ " $got" == *" $board_dev "* ]] ||
    { echo "FAIL: 'read /dev/pts/' completed to '$got', without $board_dev"; fails=$((fails + 1)); }
[[ $got != *ptmx* ]] || { echo "FAIL: ptmx offered"; fails=$((fails + 1)); }
kill "$board_pid"

[[ $fails -eq 0 ]] && echo "completion: all cases passed"
exit $((fails > 0))
