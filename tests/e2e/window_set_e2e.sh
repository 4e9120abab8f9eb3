#!/usr/bin/env bash
# "&All Windows" under a window manager at the scales 1, 1.5 and 2 (QT_SCALE_FACTOR): the four
# frames, title bars included, are disjoint and lie on the screen; a window hidden and shown again
# from "&Window" lands where it was planned; what the exit saves is where the windows are. The
# menu is clicked through a StatusNotifierItem host on a private session bus.
# Set ZUL_E2E_SHOTS to a folder to keep a screenshot of each scale there.
set -u
zul=$1
. "$(dirname "$0")/desktop.sh" Xvfb openbox dbus-daemon gdbus gtk-sni-tray-standalone xdotool \
  xwininfo xprop import

start_xvfb
start_openbox
start_session_bus
start_host

names=('^Internet & LAN$' '^Internet$' '^LAN$' '^INTERNET \(All PCs on the LAN\)$')
# The frame of the window titled $1 in screen pixels, as "left top right bottom" (exclusive).
frame_of() {
  local w ext
  w=$(xdotool search --onlyvisible --name "$1" | head -1) || return 1
  [ -n "$w" ] || return 1
  ext=$(xprop -id "$w" _NET_FRAME_EXTENTS | sed -n 's/.*= //p' | tr -d ,)
  [ -n "$ext" ] || return 1
  xwininfo -id "$w" | awk -v ext="$ext" '
    /Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} /Width:/{w=$NF} /Height:/{h=$NF}
    END{split(ext, e, " "); printf "%d %d %d %d\n", x - e[1], y - e[3], x + w + e[2], y + h + e[4]}'
}
frames() { local n; for n in "${names[@]}"; do echo "$(frame_of "$n")"; done; }
all_framed() { [ "$(frames | grep -c .)" -eq 4 ]; }
# Whether no two of the four frames overlap and each lies on the 1280 x 1024 screen.
disjoint() {
  frames | awk '{l[NR]=$1; t[NR]=$2; r[NR]=$3; b[NR]=$4}
    END{if (NR != 4) exit 1
        for (i = 1; i <= 4; i++) {
          if (l[i] < 0 || t[i] < 0 || r[i] > 1280 || b[i] > 1024) exit 1
          for (j = i + 1; j <= 4; j++)
            if ((r[i] < r[j] ? r[i] : r[j]) > (l[i] > l[j] ? l[i] : l[j]) &&
                (b[i] < b[j] ? b[i] : b[j]) > (t[i] > t[j] ? t[i] : t[j])) exit 1
        }}'
}

# Whether two lists of frames agree to a screen pixel: places count in device-independent pixels,
# which at a fractional scale, or with a frame border of an odd width, fall between screen pixels.
same_place() {
  paste -d ' ' <(echo "$1") <(echo "$2") | awk '{for (i = 1; i <= 4; i++) {d = $i - $(i + 4)
    if (d > 1 || d < -1) exit 1}} END{if (NR == 0) exit 1}'
}

for scale in ${ZUL_E2E_SCALES:-1 1.5 2}; do
  rm -rf "$XDG_DATA_HOME"
  QT_SCALE_FACTOR=$scale "$zul" >"$work/zul-$scale.log" 2>&1 &
  zpid=$!
  pids+=("$zpid")
  wait_for 150 has_item || fail "scale $scale: the icon did not register"
  use_item
  wait_for 100 visible "${names[0]}" || fail "scale $scale: the primary window did not show"
  click '_All Windows'
  wait_for 100 all_framed || fail "scale $scale: not all four windows showed: $(frames)"
  sleep 1
  disjoint || fail "scale $scale: the frames of \"&All Windows\" overlap: $(frames | paste -sd ';')"
  shot "all-windows-$scale"
  echo "PASS: scale $scale: four disjoint frames $(frames | paste -sd ';')"

  # "LAN" hidden and shown again from "&Window" comes back to its place.
  before=$(frame_of "${names[2]}")
  click LAN
  wait_for 50 eval '! visible "${names[2]}"' || fail "scale $scale: \"LAN\" did not hide"
  click LAN
  wait_for 50 eval '[ -n "$(frame_of "${names[2]}")" ]' || fail "scale $scale: \"LAN\" did not show"
  sleep 1
  after=$(frame_of "${names[2]}")
  same_place "$before" "$after" || fail "scale $scale: \"LAN\" came back at $after, not $before"
  disjoint || fail "scale $scale: the frames overlap after \"LAN\" came back: $(frames | paste -sd ';')"
  echo "PASS: scale $scale: a window shown again lands where it was ($after)"

  # What the exit saves is where the windows are: a second start puts them back there.
  placed=$(frames)
  click 'E_xit'
  for _ in $(seq 150); do kill -0 "$zpid" 2>/dev/null || break; sleep 0.1; done
  wait "$zpid" || fail "scale $scale: the exit ended with $?"
  QT_SCALE_FACTOR=$scale "$zul" >"$work/zul-$scale-again.log" 2>&1 &
  zpid=$!
  pids+=("$zpid")
  wait_for 100 all_framed || fail "scale $scale: the saved windows did not come back: $(frames)"
  sleep 1
  same_place "$(frames)" "$placed" ||
    fail "scale $scale: restored at $(frames | paste -sd ';'), saved from $(echo "$placed" | paste -sd ';')"
  echo "PASS: scale $scale: the saved window set comes back where it was"
  kill -TERM "$zpid"
  wait "$zpid"
done
