#!/usr/bin/env bash
# The real program in a desktop's tray under a virtual X server: its meter shows in the tray, a
# right click opens the menu, "&Window" -> "LAN" shows that window, and "E&xit" ends the program
# with exit code 0 after writing the running hour. Then, on a desktop without a tray, the program
# says so and closing the "Internet & LAN" window ends it.
# Set ZUL_E2E_SHOTS to a folder to keep screenshots of the tray and the open menu there.
set -u
zul=$1
. "$(dirname "$0")/desktop.sh" Xvfb openbox trayer xdotool xwininfo xprop sqlite3 import convert
db=$XDG_DATA_HOME/Halvane/ZUL/db/bw.DB

start_xvfb
start_openbox
start_trayer
wait_for 100 has_tray || fail "trayer did not start"
# The panel stays unmapped until something docks; give it the moment it needs to own the tray.
sleep 1

# --- With a tray -------------------------------------------------------------------------------
"$zul" >"$work/zul.log" 2>&1 &
zpid=$!
pids+=($zpid)

has_icon() { [ -n "$(icon_window)" ]; }
wait_for 150 has_icon || fail "no icon of the program in the tray"
icon=$(icon_window)
geometry() { xwininfo -id "$1" | awk -F: '/Absolute upper-left X/{x=$2} /Absolute upper-left Y/{y=$2}
  /Width/{w=$2} /Height/{h=$2} END{printf "%d %d %d %d\n", x, y, w, h}'; }
read -r ix iy iw ih < <(geometry "$icon")
[ "$iw" -gt 0 ] && [ "$ih" -gt 0 ] || fail "the icon has no size: ${iw}x${ih}"
wait_for 100 visible '^Internet & LAN$' || fail "the primary window did not show"

# The meter is drawn: its unlit segments are dark green.
sleep 0.5
import -window root -crop "${iw}x${ih}+${ix}+${iy}" "$work/icon.png"
convert "$work/icon.png" -format %c histogram:info:- >"$work/icon.txt"
grep -qi '#005000' "$work/icon.txt" || fail "the icon shows no meter: $(head -5 "$work/icon.txt")"
shot tray

open_menu() {
  xdotool mousemove $((ix + iw / 2)) $((iy + ih / 2)) sleep 0.2 click 3
  has_menu() { [ -n "$(menu_window)" ]; }
  wait_for 50 has_menu
}
open_menu || fail "a right click on the icon opened no menu"
shot menu

# "&Window" opens the submenu on its first item; "LAN" is the third.
xdotool key --delay 150 w Down Down Return
wait_for 50 visible '^LAN$' || fail '"&Window" -> "LAN" did not show the LAN window'

# "&Statistics" and "&Options" open their windows; closing them only hides them. "&Open Monitor"
# shares the O, so the second press reaches "&Options".
for item in "s:^Statistics$" "o o Return:^Bandwidth Monitor Options$"; do
  open_menu || fail "the menu did not open again"
  # shellcheck disable=SC2086
  xdotool key --delay 150 ${item%%:*}
  wait_for 50 visible "${item#*:}" || fail "the menu did not open the window ${item#*:}"
  shot "window-${item:0:1}"
  w=$(xdotool search --onlyvisible --name "${item#*:}" | head -1)
  xdotool windowactivate --sync "$w" key Escape
  gone() { ! visible "${item#*:}"; }
  wait_for 50 gone || fail "Escape did not close ${item#*:}"
  kill -0 "$zpid" 2>/dev/null || fail "closing ${item#*:} ended the program"
done

open_menu || fail "the menu did not open a second time"
xdotool key x
for _ in $(seq 150); do kill -0 "$zpid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$zpid" 2>/dev/null && fail '"E&xit" did not end the program within 15 s'
wait "$zpid"
rc=$?
[ "$rc" -eq 0 ] || fail "the program ended with $rc after \"E&xit\""

[ -f "$db" ] || fail "no log table at $db"
today=$(date +%F)
q() { sqlite3 "$db" "$1"; }
[ "$(q "select count(*) from bw where CDate='$today' and Flag between 0 and 3")" -ge 4 ] ||
  fail "the running hour's four hourly records are missing: $(q 'select * from bw')"
echo "PASS: icon in the tray, menu, LAN window, exit with 0 and the hour written"

# --- Without a tray ----------------------------------------------------------------------------
kill -TERM "$trayer_pid"
wait_for 50 eval '! has_tray' || fail "trayer did not end"
"$zul" >"$work/notray.log" 2>&1 &
zpid=$!
pids+=($zpid)
wait_for 150 visible '^Internet & LAN$' || fail "without a tray the primary window did not show"
sleep 0.5
[ "$(grep -c 'no notification area' "$work/notray.log")" -eq 1 ] ||
  fail "the missing tray was not told once on standard error"
primary=$(xdotool search --onlyvisible --name '^Internet & LAN$' | head -1)
xdotool windowactivate --sync "$primary" key alt+F4
for _ in $(seq 150); do kill -0 "$zpid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$zpid" 2>/dev/null && fail "closing the primary window without a tray did not end the program"
wait "$zpid"
rc=$?
[ "$rc" -eq 0 ] || fail "without a tray the program ended with $rc"
echo "PASS: without a tray, told once, and closing the primary window ends the program"
