#!/usr/bin/env bash
# The display going away (a crashed X server, a dropped remote display) ends the program the way
# an exit does: the running hour's four records reach the traffic log and the window set, with
# the place the user last gave the primary window, reaches ZUL.cfg. The program ends on its own,
# in time and not by a signal.
set -u
zul=$1
. "$(dirname "$0")/desktop.sh" Xvfb xdotool sqlite3 od
data=$XDG_DATA_HOME/Halvane/ZUL
db=$data/db/bw.DB

# Keep the run inside one hour of the clock, so that only the exit can have written the hour.
if [ "$((10#$(date +%M)))" -eq 59 ] && [ "$((10#$(date +%S)))" -ge 30 ]; then
  sleep $((62 - 10#$(date +%S)))
fi

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
pids+=($xvfb)
exec 3>&-
wait_for 100 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=:$(head -1 "$work/display")

"$zul" >"$work/zul.log" 2>&1 &
zpid=$!
pids+=($zpid)
primary_window() { xdotool search --onlyvisible --name '^Internet & LAN$' | head -1 | grep .; }
wait_for 150 primary_window || fail "the primary window did not show"
# The user puts the window somewhere; no window manager frames it here.
xdotool windowmove "$(primary_window)" 300 200
at_place() { xdotool getwindowgeometry "$(primary_window)" | grep -q 'Position: 300,200'; }
wait_for 50 at_place || fail "the window did not move: $(xdotool getwindowgeometry "$(primary_window)")"

# A little traffic where the program may see it (datagrams to the discard port of the default
# gateway), still flowing when the display goes, so that the readers are handing frames over
# while capture stops; the hour's records come without it as well.
gateway=$(ip route show default 2>/dev/null | awk '{print $3; exit}')
if [ -n "$gateway" ]; then
  for _ in $(seq 80); do echo "zul e2e" 2>/dev/null >"/dev/udp/$gateway/9"; sleep 0.05; done &
  pids+=($!)
  disown
fi
sleep 1.5

# The X server dies.
kill -KILL "$xvfb"
wait "$xvfb" 2>/dev/null
for _ in $(seq 150); do kill -0 "$zpid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$zpid" 2>/dev/null && fail "the program did not end within 15 s of losing its display"
wait "$zpid"
rc=$?
[ "$rc" -ne 3 ] || fail "the exit steps ran out of time"
[ "$rc" -lt 128 ] || fail "the program died of signal $((rc - 128)) when the display went"

[ -f "$db" ] || fail "no log table at $db"
today=$(date +%F)
hour=$(date +%-H)
q() { sqlite3 "$db" "$1"; }
n=$(q "select count(*) from bw where CDate='$today' and Hour=$hour and Flag between 0 and 3")
[ "$n" -eq 4 ] || fail "the running hour's four records are missing: $(q 'select * from bw')"
echo "PASS: the running hour reached the log when the display went (exit code $rc)"

cfg=$data/ZUL.cfg
[ -f "$cfg" ] || fail "no settings file at $cfg: the window set was not recorded"
read -r v0 v1 v2 v3 < <(od -A n -t u1 -j 274 -N 4 "$cfg")
[ "$v0 $v1 $v2 $v3" = "1 0 0 0" ] || fail "stored visibility $v0 $v1 $v2 $v3, expected 1 0 0 0"
read -r left top right bottom < <(od -A n -t d4 -j 278 -N 16 "$cfg")
[ "$left $top $((right - left)) $((bottom - top))" = "300 200 217 111" ] ||
  fail "stored rectangle $left $top $right $bottom, expected the window's 300,200 217x111"
echo "PASS: the window set reached ZUL.cfg: visible 1 0 0 0, rectangle $left $top $right $bottom"
