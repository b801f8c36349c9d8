#!/usr/bin/env bash
# The Debian package: built with CPack, unpacked into a temporary root; zelk runs from there,
# the package holds what `cmake --install` puts in place (manual pages and changelog
# compressed, the copyright file), and lintian, where installed, finds no error or warning.
# $1: the build folder, $2: the source folder, $3: 1 when the build is a hardened one (not a
# Debug or sanitizer build).
set -eu
build=$1
source=$2
hardened=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$work"/*.deb)
dpkg-deb -x "$deb" "$work/root"

for f in usr/bin/zelk usr/bin/zelk-board usr/bin/flash-many usr/bin/zelk-station \
         usr/share/man/man1/zelk.1.gz usr/share/man/man1/zelk-board.1.gz \
         usr/share/man/man1/flash-many.1.gz usr/share/man/man1/zelk-station.1.gz \
         usr/share/bash-completion/completions/zelk \
         usr/share/doc/zelk/copyright usr/share/doc/zelk/changelog.gz; do
    [[ -e $work/root/$f ]] || { echo "FAIL: $f is not in the package"; exit 1; }
done
# flash-many and the station say how they are used on stdout, and succeed.
for tool in flash-many zelk-station; do
    usage=$("$work/root/usr/bin/$tool" --help 2>/dev/null) && [[ $usage == *--logs* ]] ||
        { echo "FAIL: $tool --help"; exit 1; }
done
MANPATH=$work/root/usr/share/man man -w zelk-station | grep -q 'flash-many\.1' ||
    { echo "FAIL: man zelk-station does not lead to flash-many(1)"; exit 1; }
for page in zelk.1 zelk-board.1 flash-many.1 zelk-station.1; do
    cmp -s <(gzip -dc "$work/root/usr/share/man/man1/$page.gz") "$source/doc/$page" ||
        { echo "FAIL: the packaged $page is not doc/$page"; exit 1; }
done
version=$(cd "$work" && "$work/root/usr/bin/zelk" --version 2>&1)
[[ $version == "Version ZELK 0.1.0" ]] || { echo "FAIL: zelk --version said '$version'"; exit 1; }
board_version=$("$work/root/usr/bin/zelk-board" --version 2>&1)
[[ $board_version == "zelk-board 0.1.0" ]] ||
    { echo "FAIL: zelk-board --version said '$board_version'"; exit 1; }

depends=$(dpkg-deb -f "$deb" Depends)
# What flash-many runs, beside the libraries.
for dep in "libc6 (>=" parallel jq rsync; do
    [[ $depends == *"$dep"* ]] || { echo "FAIL: Depends is '$depends'"; exit 1; }
done
maintainer=$(dpkg-deb -f "$deb" Maintainer)
[[ $maintainer != *localhost* ]] || { echo "FAIL: Maintainer is '$maintainer'"; exit 1; }

if command -v lintian >/dev/null; then
    # lintian complains on stderr when run as root; its findings go to stdout.
    if ! report=$(lintian --fail-on error,warning "$deb" 2>/dev/null) || [[ -n $report ]]; then
        echo "FAIL: lintian:"
        echo "$report"
        exit 1
    fi
    # The hardening of the packaged binaries, which lintian reports only as information.
    if [[ $hardened == 1 ]]; then
        hardening=$(lintian -I "$deb" 2>/dev/null | grep hardening- || true)
        [[ -z $hardening ]] || { echo "FAIL: $hardening"; exit 1; }
    fi
    echo "package: lintian reports nothing"
else
    echo "package: lintian is not installed, not run"
fi
echo "package: $(basename "$deb") installs and runs"
