#!/usr/bin/env bash
# The primary window's whole frame, title bar and border included, in the bottom-right corner of
# the work area under a window manager with a panel at the bottom of the screen:
#   1. panel first, then the program: the frame lies inside the work area and touches its corner;
#   2. a window the user moved stays where it was put when the panel goes;
#   3. program first, then the panel: the corner follows the work area as it shrinks.
# Set ZUL_E2E_SHOTS to a folder to keep screenshots of each case there.
set -u
zul=$1
. "$(dirname "$0")/desktop.sh" Xvfb openbox trayer xdotool xwininfo xprop import

start_xvfb
start_openbox

# The work area as "x y width height", from the window manager.
work_area() { xprop -root _NET_WORKAREA | sed 's/.*= //; s/,//g' | awk '{print $1, $2, $3, $4}'; }
read -r _ _ _ full_height < <(work_area)
panel_on() { read -r _ _ _ h < <(work_area); [ "$h" -lt "$full_height" ]; }
panel_off() { read -r _ _ _ h < <(work_area); [ "$h" -eq "$full_height" ]; }
start_panel() {
  start_trayer bottom
  # trayer now and then starts without setting its strut on a busy machine: the set-up, not the
  # program under test, so it gets two more starts.
  local try
  for try in 1 2; do
    wait_for 150 panel_on && return 0
    kill "$trayer_pid" 2>/dev/null
    wait_for 50 panel_off
    start_trayer bottom
  done
  wait_for 150 panel_on || fail "the panel did not reserve the bottom of the screen"
}
stop_panel() {
  kill -TERM "$trayer_pid"
  wait_for 100 panel_off || fail "the work area did not grow back when the panel went"
}

zpid=
start_zul() {
  "$zul" >"$work/zul.log" 2>&1 &
  zpid=$!
  pids+=($zpid)
  wait_for 150 primary_window || fail "the primary window did not show"
}
stop_zul() {
  kill -TERM "$zpid"
  wait_for 150 eval "! kill -0 $zpid" || fail "the program did not end on SIGTERM"
  rm -rf "$XDG_DATA_HOME"  # the next start is a first start again
}
primary_window() { xdotool search --onlyvisible --name '^Internet & LAN$' | head -1 | grep .; }
# The frame the window manager drew around the primary window, as "left top right bottom"
# (right and bottom exclusive): the client's place widened by the frame's extents.
frame_of() {
  local w ext
  w=$(primary_window) || return 1
  ext=$(xprop -id "$w" _NET_FRAME_EXTENTS | sed -n 's/.*= //p' | tr -d ,)
  [ -n "$ext" ] || return 1
  xwininfo -id "$w" | awk -v ext="$ext" '
    /Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} /Width:/{w=$NF} /Height:/{h=$NF}
    END{split(ext, e, " "); printf "%d %d %d %d\n", x - e[1], y - e[3], x + w + e[2], y + h + e[4]}'
}
# Whether the frame lies inside the work area and touches its bottom-right corner (2 px slack).
in_corner() {
  local fl ft fr fb ax ay aw ah
  read -r fl ft fr fb < <(frame_of) || return 1
  read -r ax ay aw ah < <(work_area)
  [ "$fl" -ge "$ax" ] && [ "$ft" -ge "$ay" ] && [ "$fr" -le $((ax + aw)) ] &&
    [ "$fb" -le $((ay + ah)) ] && [ "$fr" -ge $((ax + aw - 2)) ] && [ "$fb" -ge $((ay + ah - 2)) ]
}
where() { echo "frame $(frame_of), work area $(work_area)"; }

# --- 1. Panel first ----------------------------------------------------------------------------
start_panel
start_zul
wait_for 50 in_corner || fail "the frame is not in the work area's corner: $(where)"
# Stays there: nothing takes the corner away once the window manager is done.
sleep 1
in_corner || fail "the frame left the corner: $(where)"
shot panel-first
echo "PASS: with the panel first, the frame fills the work area's corner ($(where))"

# --- 2. Moved by the user, then the panel goes -------------------------------------------------
xdotool windowmove "$(primary_window)" 300 200
moved() { read -r fl ft _ < <(frame_of); [ "$fl" -ne 1061 ] || [ "$ft" -lt 800 ]; }
wait_for 50 moved || fail "the window did not move: $(where)"
sleep 0.5
read -r l0 t0 _ < <(frame_of)
stop_panel
sleep 1
read -r l1 t1 _ < <(frame_of)
[ "$l0 $t0" = "$l1 $t1" ] || fail "a window the user moved went from $l0,$t0 to $l1,$t1"
echo "PASS: a window the user moved stays at $l1,$t1 when the work area changes"
stop_zul

# --- 3. Program first, then the panel ----------------------------------------------------------
start_zul
wait_for 50 in_corner || fail "without a panel the frame is not in the corner: $(where)"
start_panel
wait_for 50 in_corner || fail "the corner did not follow the panel: $(where)"
shot panel-later
echo "PASS: the corner follows the work area when a panel appears ($(where))"
stop_zul
