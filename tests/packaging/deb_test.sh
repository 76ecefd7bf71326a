#!/usr/bin/env bash
# The Debian packages as a user gets them: cpack builds both (the command line's and the window's)
# from this build's install rules into a scratch directory, then lintian checks them, and they are
# unpacked, inspected and run from there.
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
cli=orlo-firmware-update window=orlofirmwareupdate
# The .deb of package $1.
package() {
    local debs=("$scratch/$1"_*.deb)
    [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one $1_*.deb in $scratch"
    echo "${debs[0]}"
}
# Both packages unpacked into one tree, as dpkg would lay them out, once per step that needs it.
unpack() {
    local root=$scratch/root-$step
    rm -rf "$root" || exit 1
    for name in $cli $window; do
        dpkg-deb -x "$(package $name)" "$root" || fail "dpkg-deb -x $name failed"
    done
    echo "$root"
}

case $step in
build)
    cpack=$1 config=$2
    # dpkg-shlibdeps works out Depends; CPack's DEB generator finds ELF files with file(1).
    need dpkg-deb dpkg-shlibdeps file
    rm -rf "$scratch" && mkdir -p "$scratch"
    "$cpack" -G DEB --config "$config" -B "$scratch" || fail "cpack failed"
    for name in $cli $window; do
        deb=$(package $name) || exit 1
        dpkg-deb --info "$deb"
        dpkg-deb --contents "$deb"
        echo "$(basename "$deb"): $(stat -c %s "$deb") bytes," \
            "$(dpkg-deb --field "$deb" Installed-Size) KiB installed"
    done
    ;;

lintian)
    need lintian
    # Everything lintian has to say is listed. Errors fail, and so do the tags of programs built
    # without Debian's hardening or stripped of less than Debian strips, whatever their level.
    hardening='hardening-no-(bindnow|fortify-functions|relro|pie)|binary-has-unneeded-section'
    for name in $cli $window; do
        deb=$(package $name) || exit 1
        out=$(lintian --display-info --display-experimental --pedantic --tag-display-limit 0 \
            "$deb" 2>&1)
        status=$?
        printf '%s\n' "$out"
        grep -q '^E: ' <<<"$out" && fail "lintian reports errors in $name"
        grep -Eq ": ($hardening)( |$)" <<<"$out" &&
            fail "$name is not built or stripped as Debian builds"
        [ $status -eq 0 ] || fail "lintian exited with $status on $name"
    done
    echo "ok: no lintian errors, no hardening or unneeded-section tags"
    ;;

contents)
    need dpkg-deb file
    root=$(unpack) || exit 1
    id=org.orlofirmwareupdate.ORLOFirmwareUpdate
    # What a user runs and what their desktop needs, each in its package, and nothing else: no
    # demo, test or benchmark.
    declare -A expected=(
        [$cli]="usr/bin/orlo-firmware-update
usr/lib/udev/rules.d/70-orlo-firmware-update.rules
usr/share/doc/$cli/changelog.gz
usr/share/doc/$cli/copyright
usr/share/man/man1/orlo-firmware-update.1.gz"
        [$window]="usr/bin/ORLOFirmwareUpdate
usr/share/applications/$id.desktop
usr/share/doc/$window/changelog.gz
usr/share/doc/$window/copyright
usr/share/icons/hicolor/scalable/apps/$id.svg
usr/share/man/man1/ORLOFirmwareUpdate.1.gz
usr/share/metainfo/$id.metainfo.xml"
    )
    for name in $cli $window; do
        deb=$(package $name) || exit 1
        actual=$(dpkg-deb --contents "$deb" | awk '$NF !~ /\/$/ {print substr($NF, 3)}' |
            LC_ALL=C sort)
        diff <(LC_ALL=C sort <<<"${expected[$name]}") <(echo "$actual") ||
            fail "the files of $name differ (- expected, + found)"
        # Owners root, directories 0755, programs 0755, everything else 0644.
        while read -r mode owner _ _ _ path; do
            case $path in
            */) want=drwxr-xr-x ;;
            ./usr/bin/*) want=-rwxr-xr-x ;;
            *) want=-rw-r--r-- ;;
            esac
            [ "$mode" = "$want" ] && [ "$owner" = root/root ] ||
                fail "$path is $mode $owner, not $want root/root"
        done < <(dpkg-deb --contents "$deb")
    done

    for program in "$root"/usr/bin/*; do
        file "$program" | grep -q ', stripped' || fail "$program is not stripped"
    done
    # gzip -n: no file name and no time stamp in the header (flags 0, mtime 0).
    for gz in "$root"/usr/share/man/man1/*.gz "$root"/usr/share/doc/*/changelog.gz; do
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

    # The command line needs Qt Core and D-Bus, not the toolkit's GUI; the window needs the
    # command line's package of the same version (its udev rule) and the SVG plug-ins that draw
    # its icon. Package|field|what it must match|what it must not.
    version=$(dpkg-deb --field "$(package $cli)" Version)
    while IFS='|' read -r name field pattern absent; do
        value=$(dpkg-deb --field "$(package $name)" "$field")
        echo "$name $field: $value"
        grep -Eq "$pattern" <<<"$value" || fail "$name: $field does not match $pattern"
        [ -z "$absent" ] || ! grep -Eq "$absent" <<<"$value" || fail "$name: $field matches $absent"
    done <<ROWS
$cli|Section|^utils$|
$cli|Source|^$window$|
$cli|Depends|libqt6core6.*libqt6dbus6.*libudev1|libqt6gui6|libqt6widgets6
$cli|Recommends|^rtkit$|
$window|Depends|^$cli \(= $version\), .*libqt6svg6.*libqt6widgets6|
$window|Source|^$window$|
ROWS
    echo "ok: the packages hold what they should, as they should"
    ;;

maintainer-scripts)
    need dpkg-deb
    control=$scratch/control
    rm -rf "$control" && dpkg-deb -e "$(package $cli)" "$control" || fail "dpkg-deb -e failed"
    for script in postinst postrm; do
        [ "$(stat -c %a "$control/$script")" = 755 ] || fail "$script is not 0755"
    done
    # The window's package has no maintainer scripts: the udev rule is the command line's.
    dpkg-deb --ctrl-tarfile "$(package $window)" | tar -t | grep -Eq 'post|pre' &&
        fail "$window has maintainer scripts"
    # Fakes: a udevadm that logs its arguments and one that fails as it does without a running
    # udev; an ischroot that says "in a chroot" and one that says "not".
    fake=$scratch/fake
    rm -rf "$fake" && mkdir -p "$fake/logging" "$fake/failing" "$fake/chroot" "$fake/host"
    printf '#!/bin/sh\necho "$*" >>"%s"\n' "$fake/calls" >"$fake/logging/udevadm"
    printf '#!/bin/sh\necho "Failed to send reload request" >&2\nexit 1\n' >"$fake/failing/udevadm"
    printf '#!/bin/sh\nexit 0\n' >"$fake/chroot/ischroot"
    printf '#!/bin/sh\nexit 1\n' >"$fake/host/ischroot"
    chmod +x "$fake"/*/*
    applied='control --reload-rules\ntrigger --subsystem-match=firewire'

    for script in postinst postrm; do
        argument=configure
        [ $script = postrm ] && argument=remove
        # The fakes on PATH|the calls udevadm gets.
        while IFS='|' read -r path calls; do
            rm -f "$fake/calls"
            PATH=$path:/usr/bin:/bin sh "$control/$script" $argument ||
                fail "$script $argument fails with $path"
            got=$(cat "$fake/calls" 2>/dev/null)
            [ "$got" = "$(printf '%b' "$calls")" ] ||
                fail "$script $argument with $path: udevadm got '$got'"
        done <<ROWS
$fake/logging:$fake/host|$applied
$fake/logging:$fake/chroot|
$fake/failing:$fake/host|
ROWS
        # Nothing on PATH: the scripts need only the shell's builtins but for udevadm.
        PATH=/nonexistent /bin/sh "$control/$script" $argument ||
            fail "$script $argument fails without udevadm"
        PATH=$fake/logging:$fake/host:/usr/bin:/bin \
            sh "$control/$script" no-such-action 2>/dev/null &&
            fail "$script accepts an unknown action"
    done
    rm -f "$fake/calls"
    PATH=$fake/logging:$fake/host:/usr/bin:/bin sh "$control/postinst" abort-upgrade ||
        fail "postinst abort-upgrade"
    [ ! -e "$fake/calls" ] || fail "postinst abort-upgrade calls udevadm"
    echo "ok: the maintainer scripts apply udev's rules outside a chroot, and never fail for it"
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
