#!/usr/bin/env bash
# Two builds of one commit give the same packages, byte for byte: each .deb in FIRST has its twin
# of the same name in SECOND, and they are equal. When they are not, what differs inside is shown.
# Usage: same_packages.sh FIRST_DIR SECOND_DIR
set -uo pipefail
first=$1 second=$2
debs=("$first"/*.deb)
[ -f "${debs[0]}" ] || { echo "FAIL: no packages in $first"; exit 1; }
failed=0
for deb in "${debs[@]}"; do
    twin=$second/$(basename "$deb")
    if [ ! -f "$twin" ]; then
        echo "FAIL: $(basename "$deb") is not in $second"
        failed=1
    elif cmp -s "$deb" "$twin"; then
        echo "same: $(basename "$deb") ($(stat -c %s "$deb") bytes)"
    else
        echo "FAIL: $(basename "$deb") differs between $first and $second"
        unpacked=$(mktemp -d)
        for side in first second; do
            file=$deb
            [ $side = second ] && file=$twin
            mkdir -p "$unpacked/$side"
            dpkg-deb -R "$file" "$unpacked/$side"
            dpkg-deb --contents "$file" >"$unpacked/$side.contents"
        done
        diff "$unpacked/first.contents" "$unpacked/second.contents"
        diff -rq "$unpacked/first" "$unpacked/second"
        rm -rf "$unpacked"
        failed=1
    fi
done
exit $failed
