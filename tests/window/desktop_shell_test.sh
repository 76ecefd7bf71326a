#!/usr/bin/env bash
# The window program as a desktop shell meets it on X11: its window's class (WM_CLASS) is the one
# the desktop entry's StartupWMClass names, so the shell ties the window to its launcher, and the
# window has an icon (_NET_WM_ICON). Pointed at a display that is not there, it says so in one line
# and exits 2, as without any display.
# Usage: desktop_shell_test.sh PROGRAM DESKTOP_ENTRY
set -uo pipefail
program=$1 entry=$2
for tool in Xvfb xprop; do
    command -v $tool >/dev/null 2>&1 || { echo "$tool is not installed"; exit 77; }
done
scratch=$(mktemp -d)
server=
window=
cleanup() {
    [ -n "$window" ] && kill "$window" 2>/dev/null && wait "$window" 2>/dev/null
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}
# No system bus, no recording: only the window matters here.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent LANGUAGE=en
unset ORLO_RECORD WAYLAND_DISPLAY

# Pointed at nothing, or at nothing that answers: one line on standard error, status 2.
free=$(for n in $(seq 90 140); do [ -e /tmp/.X11-unix/X$n ] || { echo $n; break; }; done)
while IFS='|' read -r display wayland says; do
    # XDG_RUNTIME_DIR as a session has it, where libwayland looks for the socket.
    out=$(env -u DISPLAY ${display:+DISPLAY=$display} ${wayland:+WAYLAND_DISPLAY=$wayland} \
        XDG_RUNTIME_DIR="$scratch" timeout 20 "$program" 2>&1 >/dev/null)
    status=$?
    echo "DISPLAY=$display WAYLAND_DISPLAY=$wayland: status $status: $out"
    [ $status -eq 2 ] || fail "exit status $status, not 2"
    [ "$(wc -l <<<"$out")" -eq 1 ] || fail "more than one line"
    [[ $out == "$says"* ]] || fail "does not begin with '$says'"
done <<EOF
||ORLOFirmwareUpdate needs a display, and neither DISPLAY nor WAYLAND_DISPLAY is set
:$free||ORLOFirmwareUpdate cannot open the display (DISPLAY=:$free)
|orlo-none|ORLOFirmwareUpdate cannot open the display (WAYLAND_DISPLAY=orlo-none)
EOF

# A real X server that answers, and the window on it. Other tests' servers (and a compositor's
# Xwayland, which may hold only the abstract socket of a number) take the lowest free display
# numbers, so this one is put well above them, on a number nobody holds in any way; when it has
# gone all the same, it is started again on the next.
first=150
for _ in 1 2 3; do
    [ -n "$window" ] && kill "$window" 2>/dev/null && wait "$window" 2>/dev/null
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    window=
    for n in $(seq $first 300); do
        [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ] ||
            grep -q "@/tmp/.X11-unix/X$n\$" /proc/net/unix || break
    done
    first=$((n + 1))
    export DISPLAY=:$n
    Xvfb "$DISPLAY" -nolisten tcp -screen 0 1024x768x24 2>"$scratch/xvfb.log" &
    server=$!
    for _ in $(seq 50); do
        xprop -root >/dev/null 2>&1 && break
        sleep 0.1
    done
    kill -0 "$server" 2>/dev/null || continue
    QT_QPA_PLATFORM=xcb "$program" 2>"$scratch/window.log" &
    window=$!
    for _ in $(seq 200); do
        xprop -name ORLOFirmwareUpdate WM_CLASS >"$scratch/class" 2>/dev/null && break 2
        kill -0 "$window" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$server" 2>/dev/null && break  # ours still runs: what failed is the window
done
xprop -root >/dev/null 2>&1 || fail "Xvfb does not answer on $DISPLAY: $(cat "$scratch/xvfb.log")"
xprop -name ORLOFirmwareUpdate WM_CLASS _NET_WM_ICON >"$scratch/properties" 2>&1 ||
    fail "no window named ORLOFirmwareUpdate: $(cat "$scratch/window.log")"

wm_class=$(sed -n 's/^WM_CLASS(STRING) = //p' "$scratch/properties")
startup=$(sed -n 's/^StartupWMClass=//p' "$entry")
echo "WM_CLASS = $wm_class; StartupWMClass=$startup"
[ -n "$startup" ] || fail "the desktop entry has no StartupWMClass"
# Instance and class: a shell matches StartupWMClass against either.
[ "$wm_class" = "\"$startup\", \"$startup\"" ] || fail "WM_CLASS does not name $startup"
# Qt renders a scalable icon at 16, 32, 64 and 128 pixels.
sizes=$(grep -o 'Icon ([0-9]* x [0-9]*)' "$scratch/properties" | tr '\n' ' ')
echo "_NET_WM_ICON: $sizes"
for size in 16 32 64 128; do
    grep -qF "Icon ($size x $size)" <<<"$sizes" || fail "no ${size}x$size icon"
done
echo "ok"
