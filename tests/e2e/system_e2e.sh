#!/usr/bin/env bash
# The whole program on a desktop (a virtual X server, openbox, a trayer panel with a tray) inside a
# network namespace of its own: started with all four graph windows, it counts a scripted mix of
# frames injected at layer 2, hides its windows from the tray's menu, a second start ends with 0
# and brings them back with bars in the download and upload colours, and after SIGTERM every
# hourly, daily, weekly, monthly and yearly record of every view holds exactly the injected
# kilobytes and the settings file holds the window set.
#
#   system_e2e.sh ZUL-BINARY INJECTOR-BINARY [SCREENSHOT.png]
#
# The screenshot of the whole screen, taken while the windows are back, is kept at SCREENSHOT.
set -u
zul=$1
inject=$2
shotfile=${3:-}
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root (network namespaces, packet capture)"; exit 77; }
[ -x "$zul" ] || { echo "SKIP: no program at $zul"; exit 77; }
[ -x "$inject" ] || { echo "SKIP: no injector at $inject"; exit 77; }
. "$(dirname "$0")/desktop.sh" Xvfb openbox trayer xdotool xwininfo xprop sqlite3 import convert ip od
. "$(dirname "$0")/netns.sh" zulsy "$inject"
. "$(dirname "$0")/settings_record.sh"
more_cleanup() { netns_cleanup; }
data=$XDG_DATA_HOME/Halvane/ZUL
db=$data/db/bw.DB
cfg=$data/ZUL.cfg
titles=('Internet & LAN' 'Internet' 'LAN' 'INTERNET (All PCs on the LAN)')
# visible TITLE: the id of the shown window of that title.
visible() {
  xdotool search --onlyvisible --name "^$(sed 's/[][()\.*+?^$|{}]/\\&/g' <<<"$1")\$" | head -1 | grep .
}

# --- The frames -----------------------------------------------------------------------------------
# This computer is 192.0.2.20/24 on ze0; the router, two other computers, broadcast and IPv6
# multicast are named below. Each row: phase (1: mostly downloads, 2: mostly uploads), the frame
# (destination, source, EtherType, source and destination address, length, count) and the views
# it counts in (0 "Internet & LAN", 1 "Internet", 2 "LAN", 3 "INTERNET (All PCs)"; d download,
# u upload), worked out by hand from the classification rules.
frames="
1 me  gw  0x0800 198.51.100.7   192.0.2.20      1024 40  0d 1d 3d     Internet download
2 gw  me  0x0800 192.0.2.20     203.0.113.9     1024 24  0u 1u 3u     Internet upload
1 me  pc  0x0800 192.0.2.7      192.0.2.20      600  20  0d 2d        LAN download
2 pc  me  0x0800 192.0.2.20     192.0.2.7       700  24  0u 2u        LAN upload
1 pc  gw  0x0800 203.0.113.9    192.0.2.7       1500 8   3d           another computer's download
2 gw  pc  0x0800 192.0.2.7      198.51.100.7    1200 6   3u           another computer's upload
1 pc  pc2 0x0800 192.0.2.8      192.0.2.7       800  5   -            between two other computers
1 bc  pc  0x0800 192.0.2.7      192.0.2.255     342  10  0d 2d        a broadcast on the subnet
2 bc  me  0x0800 192.0.2.20     255.255.255.255 300  5   0u 0d 2u 2d  this computer's broadcast
1 bc  pc  0x0806 0.0.0.0        0.0.0.0         60   10  0d 2d        ARP request
1 me  pc  0x0806 0.0.0.0        0.0.0.0         42   4   0d 2d        ARP reply
1 me  gw  0x86dd 2001:db8:ff::9 fe80::20        1024 8   0d 1d 3d     IPv6 from the Internet
2 gw  me  0x86dd fe80::20       2001:db8:ff::9  900  6   0u 1u 3u     IPv6 to the Internet
1 me  pc  0x86dd fe80::7        fe80::20        200  10  0d 2d        IPv6 on the link
1 mc6 pc  0x86dd fe80::7        ff02::1         100  6   -            IPv6 multicast on the link
1 me  gw  0x0800 198.51.100.7   192.0.2.20      30   10  0d 2d        runt: IPv4 without addresses
1 me  gw  0x86dd 2001:db8:ff::9 fe80::20        50   10  0d 2d        runt: IPv6 header cut short
2 pc  me  0x88b5 0.0.0.0        0.0.0.0         14   10  0u 2u        runt: an Ethernet header alone
"
# Bytes per view and direction: index view * 2 (+1 for upload).
expect=(0 0 0 0 0 0 0 0)
while read -r phase _ _ _ _ _ length count rest; do
  [ -n "$phase" ] || continue
  for tag in $rest; do
    case $tag in
      [0-3][du]) ;;
      *) break ;;
    esac
    i=$((${tag:0:1} * 2))
    [ "${tag:1}" = u ] && i=$((i + 1))
    expect[i]=$((expect[i] + length * count))
  done
done <<<"$frames"

# --- The desktop ----------------------------------------------------------------------------------
start_xvfb
start_openbox
start_trayer
wait_for 100 has_tray || fail "trayer did not start"
sleep 1  # the panel owns the tray a moment after its window exists

make_netns
make_veth 192.0.2.20/24
declare -A macs=([me]=$(inA cat /sys/class/net/ze0/address) [gw]=02:00:5e:10:00:01
  [pc]=02:00:5e:10:00:77 [pc2]=02:00:5e:10:00:78 [bc]=ff:ff:ff:ff:ff:ff [mc6]=33:33:00:00:00:01)

# Every window shown, the four in a block in the bottom-right corner.
write_cfg "$cfg" 800 720 217 111 232 146
# ip execs the program in the namespace: the job's process is the program's.
ip netns exec "$nsA" "$zul" >"$work/zul.log" 2>&1 &
zpid=$!
pids+=($zpid)
wait_for 200 capturing || fail "the program did not start capturing on ze0 within 20 s"
for t in "${titles[@]}"; do
  wait_for 100 visible "$t" || fail "the window \"$t\" did not show"
done
sleep 0.5

inject_phase() {
  local phase dst src type sip dip length count
  while read -r phase dst src type sip dip length count _; do
    [ "$phase" = "$1" ] || continue
    send "${macs[$dst]}" "${macs[$src]}" "$type" "$sip" "$dip" "$length" "$count"
  done <<<"$frames"
}
# Phases in seconds of their own, so that every graph gets a bar of each colour on top.
inject_phase 1
sleep 1.2
inject_phase 2
sleep 1.2

# --- Hide from the tray, bring back with a second start --------------------------------------------
wait_for 100 icon_window || fail "no icon of the program in the tray"
icon=$(icon_window)
geometry() { xwininfo -id "$1" | awk -F: '/Absolute upper-left X/{x=$2} /Absolute upper-left Y/{y=$2}
  /Width/{w=$2} /Height/{h=$2} END{printf "%d %d %d %d\n", x, y, w, h}'; }
read -r ix iy iw ih < <(geometry "$icon")
xdotool mousemove $((ix + iw / 2)) $((iy + ih / 2)) sleep 0.2 click 3
wait_for 50 menu_window || fail "a right click on the tray icon opened no menu"
xdotool key i  # "H&ide"
none_visible() {
  local t
  for t in "${titles[@]}"; do visible "$t" && return 1; done
  return 0
}
wait_for 50 none_visible || fail '"H&ide" left windows on the screen'

timeout 20 ip netns exec "$nsA" "$zul" >"$work/second.log" 2>&1
rc=$?
[ "$rc" -eq 0 ] || fail "the second start ended with $rc"
all_visible() {
  local t
  for t in "${titles[@]}"; do visible "$t" || return 1; done
}
wait_for 50 all_visible || fail "the second start did not bring the four windows back"
kill -0 "$zpid" 2>/dev/null || fail "the program ended"
sleep 0.5

# --- The screen: bars in the download and upload colours in every window ----------------------------
screen=${shotfile:-$work/screen.png}
mkdir -p "$(dirname "$screen")"
import -window root "$screen" || fail "cannot take a screenshot"
echo "screenshot: $screen"
# Defaults: download 0x000000FF and upload 0x0000FF00 as 0xBBGGRR.
for t in "${titles[@]}"; do
  read -r x y w h < <(geometry "$(visible "$t")")
  convert "$screen" -crop "${w}x${h}+${x}+${y}" +repage -format %c histogram:info:- >"$work/colours.txt"
  count() { awk -v c="$1" 'tolower($0) ~ c { n += $1 } END { print n + 0 }' "$work/colours.txt"; }
  red=$(count '#ff0000')
  green=$(count '#00ff00')
  [ "$red" -ge 20 ] && [ "$green" -ge 20 ] ||
    fail "\"$t\" shows $red pixels of the download colour and $green of the upload colour"
  echo "  \"$t\": $red pixels of the download colour, $green of the upload colour"
done
echo "ok: four windows back after a second start, each with download and upload bars"

# --- SIGTERM, then the log and the settings ---------------------------------------------------------
kill -TERM "$zpid"
for _ in $(seq 150); do kill -0 "$zpid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$zpid" 2>/dev/null && fail "SIGTERM did not end the program within 15 s"
wait "$zpid"
rc=$?
[ "$rc" -eq 0 ] || fail "the program ended with $rc after SIGTERM"
[ -f "$db" ] || fail "no traffic log at $db"

# Each grouping's records of a view, summed over their keys (the run may cross an hour or a day),
# in kilobytes of 1024 bytes.
expected=
for base in 0 16 32 48 64; do
  for v in 0 1 2 3; do
    expected+=$(awk -v f=$((base + v)) -v u="${expect[v * 2 + 1]}" -v d="${expect[v * 2]}" \
      'BEGIN { printf "%d|%.3f|%.3f\n", f, u / 1024, d / 1024 }')$'\n'
  done
done
got=$(sqlite3 "$db" "select Flag, printf('%.3f', sum(Up)), printf('%.3f', sum(Dn)) from bw
  group by Flag order by Flag")
if [ "$got" != "${expected%$'\n'}" ]; then
  echo "expected (flag|up|down):"; echo "$expected"; echo "got:"; echo "$got"
  echo "all records:"; sqlite3 "$db" "select * from bw"
  fail "the log does not hold the injected traffic"
fi
echo "ok: every grouping of every view holds the injected kilobytes"

[ -f "$cfg" ] || fail "no settings file at $cfg"
read -r v0 v1 v2 v3 < <(od -A n -t u1 -j 274 -N 4 "$cfg")
[ "$v0 $v1 $v2 $v3" = "1 1 1 1" ] || fail "stored visibility $v0 $v1 $v2 $v3, expected 1 1 1 1"
# Each window's rectangle: left, top, right, bottom of the client area the windows had.
for i in 0 1 2 3; do
  read -r left top right bottom < <(od -A n -t d4 -j $((278 + 16 * i)) -N 16 "$cfg")
  [ $((right - left))x$((bottom - top)) = 217x111 ] ||
    fail "stored rectangle of window $i is $left $top $right $bottom, not 217x111"
done
echo "PASS: counted, logged by the hour to the year, shown, handed over and the window set kept"
