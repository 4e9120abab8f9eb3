#!/usr/bin/env bash
# The program on a GNOME Wayland session: mutter, headless with one 1280x800 monitor, on a private
# session bus, with the XWayland it starts. The program asks for X11 there, so its windows are X11
# windows that mutter frames: the primary window's frame sits in the work area's bottom-right
# corner, "&All Windows" (clicked through a StatusNotifierItem host) adds the other three beside
# it without an overlap, and "E&xit" ends the program with 0.
# Set ZUL_E2E_SHOTS to a folder to keep a screenshot there.
set -u
zul=$1
. "$(dirname "$0")/desktop.sh" mutter Xwayland dbus-daemon gdbus gtk-sni-tray-standalone xdotool \
  xwininfo xprop
start_session_bus

mutter --wayland --headless --virtual-monitor 1280x800 >"$work/mutter.log" 2>&1 &
mutter_pid=$!
# Asked to end, so that XWayland's socket and lock go with it.
more_cleanup() {
  kill -TERM "$mutter_pid" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$mutter_pid" 2>/dev/null || return; sleep 0.1; done
  kill -KILL "$mutter_pid" 2>/dev/null
}
# mutter's XWayland: its display and the -auth file that is the session's XAUTHORITY.
xwayland_args() { ps -o args= --ppid "$mutter_pid" | grep -m1 '^/usr/bin/Xwayland '; }
wait_for 300 xwayland_args || fail "mutter did not start XWayland"
args=$(xwayland_args)
export DISPLAY=$(echo "$args" | grep -o ' :[0-9]*' | tr -d ' ')
export XAUTHORITY=$(echo "$args" | sed -n 's/.* -auth \([^ ]*\).*/\1/p')
wayland_socket() { find "$XDG_RUNTIME_DIR" -maxdepth 1 -type s -name 'wayland-*' | head -1 | grep .; }
wait_for 100 wayland_socket || fail "mutter made no Wayland socket"
export WAYLAND_DISPLAY=$(basename "$(wayland_socket)") XDG_SESSION_TYPE=wayland
x_ready() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
wait_for 300 x_ready || fail "mutter did not take the XWayland screen"
# The host is an X11 panel of its own; the program finds it over the bus alone.
export GDK_BACKEND=x11
start_host

"$zul" >"$work/zul.log" 2>&1 &
zpid=$!
pids+=("$zpid")
wait_for 150 has_item || fail "the icon did not register with the host"
use_item

names=('^Internet & LAN$' '^Internet$' '^LAN$' '^INTERNET \(All PCs on the LAN\)$')
work_area() { xprop -root _NET_WORKAREA | sed 's/.*= //; s/,//g' | awk '{print $1, $2, $3, $4}'; }
# The frame mutter drew around the X11 window titled $1, as "left top right bottom" (exclusive).
frame_of() {
  local w ext
  w=$(xdotool search --onlyvisible --name "$1" | head -1)
  [ -n "$w" ] || return 1
  ext=$(xprop -id "$w" _NET_FRAME_EXTENTS | sed -n 's/.*= //p' | tr -d ,)
  [ -n "$ext" ] || return 1
  xwininfo -id "$w" | awk -v ext="$ext" '
    /Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} /Width:/{w=$NF} /Height:/{h=$NF}
    END{split(ext, e, " "); printf "%d %d %d %d\n", x - e[1], y - e[3], x + w + e[2], y + h + e[4]}'
}
frames() { local n; for n in "${names[@]}"; do frame_of "$n"; done; }
# Whether the primary window's frame touches the work area's bottom-right corner (2 px slack).
in_corner() {
  local fl ft fr fb ax ay aw ah
  read -r fl ft fr fb < <(frame_of "${names[0]}") || return 1
  read -r ax ay aw ah < <(work_area)
  [ "$fr" -le $((ax + aw)) ] && [ "$fb" -le $((ay + ah)) ] && [ "$fr" -ge $((ax + aw - 2)) ] &&
    [ "$fb" -ge $((ay + ah - 2)) ]
}
# Whether the four frames lie in the work area and no two overlap.
apart() {
  frames | awk -v area="$(work_area)" '{l[NR]=$1; t[NR]=$2; r[NR]=$3; b[NR]=$4}
    END{split(area, a, " "); if (NR != 4) exit 1
        for (i = 1; i <= 4; i++) {
          if (l[i] < a[1] || t[i] < a[2] || r[i] > a[1] + a[3] || b[i] > a[2] + a[4]) exit 1
          for (j = i + 1; j <= 4; j++)
            if ((r[i] < r[j] ? r[i] : r[j]) > (l[i] > l[j] ? l[i] : l[j]) &&
                (b[i] < b[j] ? b[i] : b[j]) > (t[i] > t[j] ? t[i] : t[j])) exit 1
        }}'
}

wait_for 150 in_corner ||
  fail "the primary window is not in the corner: frame $(frame_of "${names[0]}"), work area $(work_area)"
echo "PASS: under mutter the primary window is an X11 window in the bottom-right corner ($(frame_of "${names[0]}"))"

click '_All Windows'
wait_for 100 eval '[ "$(frames | grep -c .)" -eq 4 ]' || fail "not all four windows showed: $(frames)"
wait_for 50 apart || fail "the four frames overlap or leave the work area: $(frames | paste -sd ';')"
in_corner || fail "the primary window left its corner: $(frame_of "${names[0]}")"
if [ -n "${ZUL_E2E_SHOTS:-}" ] && command -v import >/dev/null; then
  mkdir -p "$ZUL_E2E_SHOTS" && import -window root "$ZUL_E2E_SHOTS/mutter.png"
fi
echo "PASS: \"&All Windows\" adds the other three beside it: $(frames | paste -sd ';')"

click 'E_xit'
for _ in $(seq 150); do kill -0 "$zpid" 2>/dev/null || break; sleep 0.1; done
wait "$zpid" || fail "the exit ended with $?"
echo "PASS: \"E&xit\" ends the program with 0"
