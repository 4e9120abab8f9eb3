#!/usr/bin/env bash
# The program on sway, headless with one 1280x800 output, on a private session bus. sway centres
# every floating X11 window whatever place it asks for, so:
#   1. with XWayland the program runs as an X11 program: its icon registers with swaybar's
#      StatusNotifierItem tray, its windows show, the README's for_window rule puts the four
#      windows of "&All Windows" apart, and "E&xit" ends it with 0;
#   2. without XWayland it runs on Wayland and says what it loses, and "E&xit" still ends it.
# sway refuses to run as root: as root, the compositor, the bus and the program run as nobody.
set -u
zul=$(readlink -f "$1")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/desktop.sh" sway swaymsg swaybar Xwayland dbus-daemon gdbus setpriv python3

as=()
if [ "$(id -u)" -eq 0 ]; then
  as=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
  chown -R nobody:nogroup "$work"
  "${as[@]}" test -x "$zul" || { echo "SKIP: nobody may not run $zul"; exit 77; }
fi
# The bus and the compositor are the session user's: every look-up runs as that user.
gdbus() { "${as[@]}" /usr/bin/gdbus "$@"; }
swaymsg() { "${as[@]}" env SWAYSOCK="$SWAYSOCK" /usr/bin/swaymsg "$@"; }

# The rule the README gives, for a 1280x800 output.
rules=$(sed -n '/^for_window \[instance="zul"/p' "$here/../../README.md")
[ -n "$rules" ] || fail "the README gives no for_window rule"

sway_pid=
more_cleanup() {
  [ -n "$sway_pid" ] || return
  swaymsg exit >/dev/null 2>&1
  for _ in $(seq 50); do kill -0 "$sway_pid" 2>/dev/null || return; sleep 0.1; done
  kill -KILL "$sway_pid" 2>/dev/null
}
# start_sway enable|disable: sway with swaybar's tray and the README's rule, XWayland as asked;
# its session's variables come into this shell.
start_sway() {
  rm -f "$work/session.env"
  unset DISPLAY WAYLAND_DISPLAY SWAYSOCK
  cat >"$work/sway.config" <<EOF
output HEADLESS-1 resolution 1280x800 position 0 0
xwayland $1
$rules
bar {
  position top
  tray_output *
  status_command true
}
exec env >$work/session.env
EOF
  "${as[@]}" env HOME="$HOME" XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" \
    DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" WLR_BACKENDS=headless \
    WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -c "$work/sway.config" \
    >"$work/sway-$1.log" 2>&1 &
  sway_pid=$!
  wait_for 200 test -s "$work/session.env" || fail "sway did not start"
  sleep 0.5
  export $(grep -E '^(WAYLAND_DISPLAY|DISPLAY|SWAYSOCK)=' "$work/session.env" | xargs)
  wait_for 100 host_ready || fail "swaybar's tray did not register as a StatusNotifierItem host"
}
stop_sway() {
  more_cleanup
  sway_pid=
}

# The session bus is the session user's too.
read -r DBUS_SESSION_BUS_ADDRESS bus_pid < <("${as[@]}" dbus-daemon --session --fork \
  --print-address=1 --print-pid=1 | paste -sd ' ')
export DBUS_SESSION_BUS_ADDRESS
pids+=("$bus_pid")

zpid=
start_zul() {
  "${as[@]}" env HOME="$HOME" XDG_DATA_HOME="$XDG_DATA_HOME" XDG_CONFIG_HOME="$XDG_CONFIG_HOME" \
    XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" \
    XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY="$WAYLAND_DISPLAY" ${DISPLAY:+DISPLAY=$DISPLAY} \
    "$zul" >"$work/zul-$1.log" 2>&1 &
  zpid=$!
  pids+=("$zpid")
  wait_for 150 has_item || fail "$1: the icon did not register with swaybar's tray"
  use_item
}
exit_zul() {
  click 'E_xit'
  for _ in $(seq 150); do kill -0 "$zpid" 2>/dev/null || break; sleep 0.1; done
  wait "$zpid" || fail "$1: the exit ended with $?"
}

# The program's graph windows in sway's tree: "shell title x y width height visible", the place
# being the container's, its decoration included.
views() {
  swaymsg -t get_tree | python3 -c '
import json, sys
names = {"Internet & LAN", "Internet", "LAN", "INTERNET (All PCs on the LAN)"}
def walk(n):
    if n.get("name") in names and n.get("shell"):
        r = n["rect"]
        print(n["shell"], repr(n["name"]), r["x"], r["y"], r["width"], r["height"], n.get("visible"))
    for c in n.get("nodes", []) + n.get("floating_nodes", []):
        walk(c)
walk(json.load(sys.stdin))'
}
shown() { [ "$(views | grep -c " True$")" -ge "$1" ]; }
# Whether the four windows lie on the output and no two overlap.
apart() {
  views | sed "s/^[a-z_]* '[^']*' //" | awk '{l[NR]=$1; t[NR]=$2; r[NR]=$1+$3; b[NR]=$2+$4}
    END{if (NR != 4) exit 1
        for (i = 1; i <= 4; i++) {
          if (l[i] < 0 || t[i] < 0 || r[i] > 1280 || b[i] > 800) exit 1
          for (j = i + 1; j <= 4; j++)
            if ((r[i] < r[j] ? r[i] : r[j]) > (l[i] > l[j] ? l[i] : l[j]) &&
                (b[i] < b[j] ? b[i] : b[j]) > (t[i] > t[j] ? t[i] : t[j])) exit 1
        }}'
}

# 1. With XWayland.
start_sway enable
[ -n "${DISPLAY:-}" ] || fail "sway gave its session no XWayland display"
start_zul xwayland
wait_for 100 shown 1 || fail "the primary window did not show: $(views)"
views | grep -q "^xwayland 'Internet & LAN'" || fail "the primary window is no X11 window: $(views)"
echo "PASS: on sway with XWayland the icon is in swaybar's tray and the primary window shows as X11"
click '_All Windows'
wait_for 100 shown 4 || fail "not all four windows showed: $(views)"
wait_for 50 apart || fail "the README's rule did not put the four windows apart: $(views | paste -sd ';')"
echo "PASS: the README's rule puts the four windows apart: $(views | paste -sd ';')"
exit_zul xwayland
echo "PASS: \"E&xit\" ends the program with 0"
stop_sway

# 2. Without XWayland.
rm -rf "$XDG_DATA_HOME"
start_sway disable
[ -z "${DISPLAY:-}" ] || fail "sway started XWayland although told not to"
if [ -z "$(find /usr/lib/*/qt6/plugins/platforms -name 'libqwayland*' 2>/dev/null)" ]; then
  "${as[@]}" env XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" XDG_SESSION_TYPE=wayland \
    WAYLAND_DISPLAY="$WAYLAND_DISPLAY" "$zul" >"$work/zul-none.log" 2>&1
  rc=$?
  [ "$rc" -eq 1 ] || fail "without XWayland and Qt's Wayland support the program ended with $rc"
  grep -q "cannot open its windows. Install XWayland" "$work/zul-none.log" ||
    fail "without XWayland and Qt's Wayland support the program did not say why"
  echo "PASS: without XWayland and Qt's Wayland support the program says what to install"
  exit 0
fi
start_zul wayland
wait_for 100 shown 1 || fail "without XWayland the primary window did not show: $(views)"
views | grep -q "^xdg_shell 'Internet & LAN'" || fail "the primary window is no Wayland window: $(views)"
grep -q 'has no XWayland, so ZUL runs as a Wayland program' "$work/zul-wayland.log" ||
  fail "without XWayland the program did not say what it loses"
grep -q 'Always on top' "$work/zul-wayland.log" || fail "the message does not name always-on-top"
echo "PASS: without XWayland the program runs on Wayland and says what it loses"
exit_zul wayland
echo "PASS: without XWayland \"E&xit\" still ends the program with 0"
