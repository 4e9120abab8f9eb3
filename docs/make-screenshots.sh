#!/usr/bin/env bash
# Makes the README's screenshots from the real program on a virtual desktop (Xvfb, openbox and a
# trayer panel with a tray), with frames injected into a network namespace of its own so that
# the graphs have something to show and a week of traffic in its log for the statistics window:
#   screenshot.png   the four graph windows
#   tray-menu.png    the tray icon's menu
#   statistics.png   the statistics window, daily records of "Internet & LAN"
#   options.png      the options dialog
#   sni-tray.png     the icon's menu in a StatusNotifierItem tray (gtk-sni-tray-standalone's panel)
#   dark.png         the graph windows and the statistics window under a dark theme (GTK's
#                    Adwaita dark through Qt's GTK platform theme)
#
#   sudo docs/make-screenshots.sh BUILD_DIR
#
# Needs root (network namespaces, packet capture) and the targets zul and zul_inject_frames.
# ZUL_SHOT_SECONDS sets how many seconds of traffic the graphs get (150).
set -u
build=${1:?usage: make-screenshots.sh BUILD_DIR}
docs=$(cd "$(dirname "$0")" && pwd)
e2e=$docs/../tests/e2e
zul=$build/src/zul
inject=$build/tests/capture/zul_inject_frames
seconds=${ZUL_SHOT_SECONDS:-150}
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces, packet capture)" >&2; exit 1; }
for f in "$zul" "$inject"; do
  [ -x "$f" ] || { echo "missing $f: build the targets zul and zul_inject_frames" >&2; exit 1; }
done
. "$e2e/desktop.sh" Xvfb openbox trayer xdotool xwininfo xprop sqlite3 import convert ip \
  dbus-daemon gdbus gtk-sni-tray-standalone
ls /usr/lib/*/qt6/plugins/platformthemes/libqgtk3.so >/dev/null 2>&1 ||
  { echo "missing Qt's GTK platform theme (package qt6-gtk-platformtheme) for the dark theme" >&2; exit 1; }
. "$e2e/netns.sh" zulshot "$inject"
. "$e2e/settings_record.sh"
more_cleanup() { netns_cleanup; }
data=$XDG_DATA_HOME/Halvane/ZUL
db=$data/db/bw.DB
width=1280  # the screen start_xvfb makes
height=1024

# --- The desktop, white behind the windows --------------------------------------------------------
start_xvfb -wr
start_openbox
start_trayer
wait_for 100 has_tray || fail "trayer did not start"
sleep 1

make_netns
make_veth 192.0.2.20/24
me=$(inA cat /sys/class/net/ze0/address)
gw=02:00:5e:10:00:01
pc=02:00:5e:10:00:77

# Wide enough for the longest title; the block of four sits in the bottom-right corner.
write_cfg "$data/ZUL.cfg" 560 740 340 110 352 142
# A week of daily "Internet & LAN" records in the log, in kilobytes.
mkdir -p "$data/db"
{
  echo "CREATE TABLE bw (CDate TEXT NOT NULL, Flag INTEGER NOT NULL, Hour INTEGER NOT NULL,
    Up REAL NOT NULL, Dn REAL NOT NULL, PRIMARY KEY (CDate, Flag, Hour)) WITHOUT ROWID;"
  for d in 6 5 4 3 2 1 0; do
    day=$(date -d "-$d day" +%F)
    key=$((10#$(date -d "$day" +%d) * 8 + $(date -d "$day" +%w) + 1))
    echo "INSERT INTO bw VALUES ('$day', 16, $key, $((90000 + d * 23117 % 70000)).0,
      $((900000 + d * 377291 % 1400000)).0);"
  done
} | sqlite3 "$db" || fail "cannot write the log"
chmod 600 "$db"

start_zul() {
  ip netns exec "$nsA" "$@" "$zul" >>"$work/zul.log" 2>&1 &
  zpid=$!
  pids+=($zpid)
}
start_zul env
titles=('Internet & LAN' 'Internet' 'LAN' 'INTERNET (All PCs on the LAN)')
visible() {
  xdotool search --onlyvisible --name "^$(sed 's/[][()\.*+?^$|{}]/\\&/g' <<<"$1")\$" | head -1 | grep .
}
wait_for 200 capturing || fail "the program did not start capturing on ze0"
for t in "${titles[@]}"; do wait_for 100 visible "$t" || fail "the window \"$t\" did not show"; done

# --- Traffic: waves of downloads, bursts of uploads, the LAN now and then ----------------------------
# It runs on behind the pictures, so that the readouts and the tray's meter show it too.
traffic() {
  local s wave next rest
  RANDOM=7
  next=$(date +%s%N)
  for ((s = 0; s < seconds + 40; s++)); do
    wave=$((s % 40 < 20 ? s % 20 : 20 - s % 20))
    send "$me" "$gw" 0x0800 198.51.100.7 192.0.2.20 1400 $((6 + wave * 4 + RANDOM % 12))
    send "$gw" "$me" 0x0800 192.0.2.20 203.0.113.9 600 $((4 + RANDOM % 8 + (s % 27 < 4 ? 50 : 0)))
    [ $((RANDOM % 10)) -lt 5 ] && send "$me" "$pc" 0x0800 192.0.2.7 192.0.2.20 1200 $((10 + RANDOM % 30))
    [ $((RANDOM % 10)) -lt 3 ] && send "$pc" "$me" 0x0800 192.0.2.20 192.0.2.7 900 $((5 + RANDOM % 20))
    # Another computer's downloads swell while this one's ebb.
    send "$pc" "$gw" 0x0800 203.0.113.9 192.0.2.7 1400 $((10 + (20 - wave) * 2 + RANDOM % 20))
    send "$gw" "$pc" 0x0800 192.0.2.7 198.51.100.7 800 $((RANDOM % 10))
    next=$((next + 1000000000))
    rest=$((next - $(date +%s%N)))
    [ "$rest" -gt 0 ] && sleep "$(printf '%d.%09d' $((rest / 1000000000)) $((rest % 1000000000)))"
  done
}
echo "injecting $seconds seconds of traffic"
traffic >"$work/traffic.log" 2>&1 &
tpid=$!
pids+=($tpid)
disown
sleep "$seconds"

# --- Pictures -------------------------------------------------------------------------------------
# rect WINDOW: x y w h of the window with its frame (none for a menu).
rect() {
  local x y w h l=0 r=0 t=0 b=0
  read -r x y w h < <(xwininfo -id "$1" | awk -F: '/Absolute upper-left X/{x=$2}
    /Absolute upper-left Y/{y=$2} /Width/{w=$2} /Height/{h=$2} END{print x, y, w, h}')
  read -r l r t b < <(xprop -id "$1" _NET_FRAME_EXTENTS | sed -n 's/.*= //p' | tr -d ,)
  echo $((x - ${l:-0})) $((y - ${t:-0})) $((w + ${l:-0} + ${r:-0})) $((h + ${t:-0} + ${b:-0}))
}
# shoot NAME MARGIN RECT...: the screen cut to the rectangles' union and a margin, as docs/NAME.
shoot() {
  local name=$1 margin=$2 x0=$width y0=$height x1=0 y1=0 x y w h
  shift 2
  while [ $# -ge 4 ]; do
    x=$1 y=$2 w=$3 h=$4
    shift 4
    [ "$x" -ge 0 ] && [ "$y" -ge 0 ] && [ $((x + w)) -le $width ] && [ $((y + h)) -le $height ] ||
      fail "$name: a window at $x,$y ${w}x$h is cut off by the screen's edge"
    [ "$x" -lt "$x0" ] && x0=$x
    [ "$y" -lt "$y0" ] && y0=$y
    [ $((x + w)) -gt "$x1" ] && x1=$((x + w))
    [ $((y + h)) -gt "$y1" ] && y1=$((y + h))
  done
  x0=$((x0 > margin ? x0 - margin : 0)) y0=$((y0 > margin ? y0 - margin : 0))
  x1=$((x1 + margin < width ? x1 + margin : width)) y1=$((y1 + margin < height ? y1 + margin : height))
  import -window root "$work/screen.png" || fail "cannot take a screenshot"
  convert "$work/screen.png" -crop "$((x1 - x0))x$((y1 - y0))+$x0+$y0" +repage -strip \
    -define png:compression-level=9 "$docs/$name.png" || fail "cannot write $docs/$name.png"
  echo "$docs/$name.png: $((x1 - x0))x$((y1 - y0))"
}

xdotool mousemove 10 $((height - 10))
frames=()
for t in "${titles[@]}"; do
  read -r -a r < <(rect "$(visible "$t")")
  frames+=("${r[@]}")
done
shoot screenshot 8 "${frames[@]}"

wait_for 100 icon_window || fail "no icon of the program in the tray"
icon=$(icon_window)
open_menu() {
  local ix iy iw ih
  read -r ix iy iw ih < <(rect "$icon")
  xdotool mousemove $((ix + iw / 2)) $((iy + ih / 2)) sleep 0.2 click 3
  wait_for 50 menu_window
}
open_menu || fail "a right click on the tray icon opened no menu"
sleep 0.3
panel=$(for w in $(tray_windows); do xwininfo -id "$w" | grep -q IsViewable && echo "$w"; done | head -1)
read -r -a m < <(rect "$(menu_window)")
read -r -a p < <(rect "$panel")
shoot tray-menu 8 "${m[@]}" "${p[@]}"
xdotool key Escape
sleep 0.3

# dialog KEYS TITLE: opens a window from the menu and waits for it.
dialog() {
  open_menu || fail "the menu did not open"
  # shellcheck disable=SC2086
  xdotool key --delay 150 $1
  wait_for 50 visible "$2" || fail "the menu did not open \"$2\""
  sleep 0.5
}
dialog s Statistics
stats=$(visible Statistics)
# The view list has the focus: "Internet & LAN", then "Daily" in the grouping list.
xdotool windowactivate --sync "$stats" key --delay 200 Down Tab Down
sleep 0.8
read -r -a r < <(rect "$stats")
shoot statistics 0 "${r[@]}"
xdotool windowactivate --sync "$stats" key Escape
sleep 0.3

# "&Open Monitor" shares the O, so the second press reaches "&Options".
dialog "o o Return" "Bandwidth Monitor Options"
read -r -a r < <(rect "$(visible "Bandwidth Monitor Options")")
shoot options 0 "${r[@]}"

kill "$tpid"
kill -TERM "$zpid"
wait "$zpid" || fail "the program ended with $? after SIGTERM"

# --- A StatusNotifierItem tray and a dark theme ---------------------------------------------------
# The bus listens on a path, which the program reaches from inside its network namespace.
read -r DBUS_SESSION_BUS_ADDRESS bus_pid < <(dbus-daemon --session --address="unix:dir=$work" \
  --fork --print-address=1 --print-pid=1 | paste -sd ' ')
export DBUS_SESSION_BUS_ADDRESS
pids+=("$bus_pid")
kill -TERM "$trayer_pid"
start_host
start_zul env GTK_THEME=Adwaita:dark QT_QPA_PLATFORMTHEME=gtk3
wait_for 150 has_item || fail "the icon did not register with the StatusNotifierItem host"
use_item
for t in "${titles[@]}"; do wait_for 100 visible "$t" || fail "the window \"$t\" did not show"; done
seconds=60
traffic >>"$work/traffic.log" 2>&1 &
tpid=$!
pids+=($tpid)
disown
sleep "$seconds"

# The host's panel along the bottom edge, the icon at its left; a right click opens the menu.
panel=$(for w in $(xdotool search --pid "$host_pid"); do
  xwininfo -id "$w" | grep -q IsViewable && echo "$w"; done | head -1)
read -r -a p < <(rect "$panel")
xdotool mousemove $((p[0] + 15)) $((p[1] + p[3] / 2)) sleep 0.2 click 3
host_menu() {
  local w
  for w in $(xdotool search --pid "$host_pid"); do
    [ "$w" = "$panel" ] && continue
    xwininfo -id "$w" | awk '/Map State: IsViewable/{v=1} /Height:/{h=$2} END{exit !(v && h > 100)}' &&
      { echo "$w"; return; }
  done
}
wait_for 50 host_menu || fail "a right click on the icon in the StatusNotifierItem tray opened no menu"
sleep 0.5
read -r -a m < <(rect "$(host_menu)")
shoot sni-tray 8 "${m[@]}" "${p[0]}" "${p[1]}" 320 "${p[3]}"
xdotool key Escape
sleep 0.3

# window_rect TITLE: the rectangle of the window titled TITLE, once it shows; a search that meets
# a window going away (the host's menu) is tried again.
window_rect() {
  local w=
  for _ in $(seq 50); do
    w=$(visible "$1" 2>/dev/null) && [ -n "$w" ] && rect "$w" && return
    sleep 0.1
  done
  fail "the window \"$1\" did not show"
}
click '_Statistics'
wait_for 50 visible Statistics || fail "the menu did not open the statistics window"
stats=$(visible Statistics)
frames=()
top=$height
for t in "${titles[@]}"; do
  read -r -a f < <(window_rect "$t")
  frames+=("${f[@]}")
  [ "${f[1]}" -lt "$top" ] && top=${f[1]}
done
# Just above the graph windows, so that one picture holds both.
read -r -a r < <(window_rect Statistics)
xdotool windowmove --sync "$stats" $((width - r[2] - 40)) $((top - r[3] - 12))
xdotool windowactivate --sync "$stats" key --delay 200 Down Tab Down
sleep 0.8
xdotool mousemove 10 10
read -r -a r < <(window_rect Statistics)
shoot dark 8 "${r[@]}" "${frames[@]}"

kill "$tpid"
kill -TERM "$zpid"
wait "$zpid" || fail "the program ended with $? after SIGTERM"
