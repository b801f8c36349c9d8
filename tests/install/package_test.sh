#!/usr/bin/env bash
# The Debian package: built with CPack, unpacked into a temporary root, zelk runs from there and
# the package holds the same files that `cmake --install` puts in place.
# $1: the build folder.
set -eu
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$work"/*.deb)
dpkg-deb -x "$deb" "$work/root"

for f in usr/bin/zelk usr/bin/zelk-board usr/share/man/man1/zelk.1 usr/share/man/man1/zelk-board.1 \
         usr/share/bash-completion/completions/zelk; do
    [[ -e $work/root/$f ]] || { echo "FAIL: $f is not in the package"; exit 1; }
done
version=$(cd "$work" && "$work/root/usr/bin/zelk" --version 2>&1)
[[ $version == "Version ZELK 0.1.0" ]] || { echo "FAIL: zelk --version said '$version'"; exit 1; }
echo "package: $(basename "$deb") installs and runs"
