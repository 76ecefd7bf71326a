#!/usr/bin/env bash
# The Debian package as a user gets it: cpack builds it from this build's install rules into a
# scratch directory, then lintian checks it, and it is unpacked, inspected and run from there.
# Usage: deb_test.sh build SCRATCH CPACK CPACK_CONFIG
#        deb_test.sh lintian|contents|maintainer-scripts SCRATCH
#        deb_test.sh version SCRATCH PROGRAM EXPECTED_LINE
set -uo pipefail
step=$1 scratch=$2
shift 2

need() {
    for tool; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "$tool is not installed (scripts/install-deps installs it)"
            exit 77
        fi
    done
}
fail() {
    echo "FAIL: $*"
    exit 1
}
package() {
    local debs=("$scratch"/*.deb)
    [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb in $scratch"
    echo "${debs[0]}"
}
# The package unpacked as dpkg would lay it out, once per step that needs it.
unpack() {
    local root=$scratch/root-$step
    rm -rf "$root" && dpkg-deb -x "$(package)" "$root" || fail "dpkg-deb -x failed"
    echo "$root"
}

case $step in
build)
    cpack=$1 config=$2
    # dpkg-shlibdeps works out Depends; CPack's DEB generator finds ELF files with file(1).
    need dpkg-deb dpkg-shlibdeps file
    rm -rf "$scratch" && mkdir -p "$scratch"
    "$cpack" -G DEB --config "$config" -B "$scratch" || fail "cpack failed"
    deb=$(package) || exit 1
    dpkg-deb --info "$deb"
    dpkg-deb --contents "$deb"
    ;;

lintian)
    need lintian
    deb=$(package) || exit 1
    # Everything lintian has to say is listed; only errors fail.
    out=$(lintian --display-info --display-experimental --pedantic --tag-display-limit 0 "$deb" 2>&1)
    status=$?
    printf '%s\n' "$out"
    grep -q '^E: ' <<<"$out" && fail "lintian reports errors"
    [ $status -eq 0 ] || fail "lintian exited with $status"
    echo "ok: no lintian errors"
    ;;

contents)
    need dpkg-deb file
    deb=$(package) || exit 1
    root=$(unpack) || exit 1
    id=org.orlofirmwareupdate.ORLOFirmwareUpdate
    # What a user runs and what their desktop needs, and nothing else: no demo, test or benchmark.
    expected="usr/bin/ORLOFirmwareUpdate
usr/bin/orlo-firmware-update
usr/lib/udev/rules.d/70-orlo-firmware-update.rules
usr/share/applications/$id.desktop
usr/share/doc/orlofirmwareupdate/changelog.gz
usr/share/doc/orlofirmwareupdate/copyright
usr/share/icons/hicolor/scalable/apps/$id.svg
usr/share/man/man1/ORLOFirmwareUpdate.1.gz
usr/share/man/man1/orlo-firmware-update.1.gz
usr/share/metainfo/$id.metainfo.xml"
    actual=$(cd "$root" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
    diff <(LC_ALL=C sort <<<"$expected") <(echo "$actual") || fail "the package's files differ (- expected, + found)"

    # Owners root, directories 0755, programs 0755, everything else 0644.
    while read -r mode owner _ _ _ path; do
        case $path in
        */) want=drwxr-xr-x ;;
        ./usr/bin/*) want=-rwxr-xr-x ;;
        *) want=-rw-r--r-- ;;
        esac
        [ "$mode" = "$want" ] && [ "$owner" = root/root ] || fail "$path is $mode $owner, not $want root/root"
    done < <(dpkg-deb --contents "$deb")

    for program in "$root"/usr/bin/*; do
        file "$program" | grep -q ', stripped' || fail "$program is not stripped"
    done
    # gzip -n: no file name and no time stamp in the header (flags 0, mtime 0).
    for gz in "$root"/usr/share/man/man1/*.gz "$root"/usr/share/doc/orlofirmwareupdate/changelog.gz; do
        header=$(head -c 8 "$gz" | od -An -tx1 | tr -d ' \n')
        [ "$header" = 1f8b080000000000 ] || fail "$gz has a name or time stamp in its header ($header)"
    done

    # The desktop entry, the metadata and the icon name each other.
    desktop=$root/usr/share/applications/$id.desktop
    exec=$(sed -n 's/^Exec=//p' "$desktop")
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    [ -x "$root/usr/bin/${exec%% *}" ] || fail "Exec=$exec is not a program of the package"
    [ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no icon $icon.svg"
    launchable=$(sed -n 's/.*<launchable type="desktop-id">\(.*\)<\/launchable>.*/\1/p' \
        "$root/usr/share/metainfo/$id.metainfo.xml")
    [ "$launchable" = "$id.desktop" ] || fail "the metadata launches '$launchable', not $id.desktop"

    control=$(dpkg-deb --field "$deb")
    echo "$control"
    grep -qx 'Package: orlofirmwareupdate' <<<"$control" || fail "package name"
    grep -qx 'Section: utils' <<<"$control" || fail "section"
    grep -q '^Depends:.*libqt6widgets6.*libudev1' <<<"$control" ||
        fail "Depends lacks the libraries the programs link (dpkg-shlibdeps)"
    grep -q '^Recommends: rtkit$' <<<"$control" || fail "Recommends lacks rtkit"
    echo "ok: the package holds what it should, as it should"
    ;;

maintainer-scripts)
    need dpkg-deb
    control=$scratch/control
    rm -rf "$control" && dpkg-deb -e "$(package)" "$control" || fail "dpkg-deb -e failed"
    for script in postinst postrm; do
        [ "$(stat -c %a "$control/$script")" = 755 ] || fail "$script is not 0755"
    done
    # A udevadm that logs its arguments, and one that fails as it does without a running udev.
    fake=$scratch/fake-udevadm
    rm -rf "$fake" && mkdir -p "$fake/logging" "$fake/failing"
    printf '#!/bin/sh\necho "$*" >>"%s"\n' "$fake/calls" >"$fake/logging/udevadm"
    printf '#!/bin/sh\necho "Failed to send reload request" >&2\nexit 1\n' >"$fake/failing/udevadm"
    chmod +x "$fake/logging/udevadm" "$fake/failing/udevadm"

    for script in postinst postrm; do
        argument=configure
        [ $script = postrm ] && argument=remove
        rm -f "$fake/calls"
        PATH=$fake/logging:/usr/bin:/bin sh "$control/$script" $argument || fail "$script $argument"
        printf 'control --reload-rules\ntrigger --subsystem-match=firewire\n' |
            diff - "$fake/calls" || fail "$script $argument: udevadm calls differ"
        PATH=$fake/failing:/usr/bin:/bin sh "$control/$script" $argument ||
            fail "$script $argument fails when udevadm does"
        # Nothing on PATH: the scripts need only the shell's builtins but for udevadm.
        PATH=/nonexistent /bin/sh "$control/$script" $argument ||
            fail "$script $argument fails without udevadm"
        PATH=$fake/logging:/usr/bin:/bin sh "$control/$script" no-such-action 2>/dev/null &&
            fail "$script accepts an unknown action"
    done
    rm -f "$fake/calls"
    PATH=$fake/logging:/usr/bin:/bin sh "$control/postinst" abort-upgrade || fail "postinst abort-upgrade"
    [ ! -e "$fake/calls" ] || fail "postinst abort-upgrade calls udevadm"
    echo "ok: the maintainer scripts reload udev's rules when they can and never fail for it"
    ;;

version)
    program=$1 expected=$2
    need dpkg-deb timeout
    root=$(unpack) || exit 1
    # The window program needs a platform even to print its version; offscreen needs no display.
    # Should it not know --version, it would open its window: the timeout ends that.
    out=$(QT_QPA_PLATFORM=offscreen timeout 15 "$root/usr/bin/$program" --version 2>&1)
    status=$?
    printf '%s\n' "$out" | tail -n 20
    [ $status -eq 0 ] || fail "$program --version exited with $status"
    grep -qxF "$expected" <<<"$out" || fail "$program --version does not print '$expected'"
    echo "ok: $program from the package prints its version"
    ;;

*)
    echo "unknown step $step" >&2
    exit 2
    ;;
esac
