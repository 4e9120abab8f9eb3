#!/usr/bin/env bash
# Per-application counts in the real program: inside a network namespace of its own, on a desktop
# with a tray, while two programs in two cgroups made here exchange known TCP and UDP traffic with
# a peer namespace, at a LAN address (the adapter's own subnet) and at an Internet one (routed via
# the peer). Checks that
#  1. while it runs, `zul --export csv --apps` (the running hour) gives each application the bytes
#     its adapter's kernel counters gave its exchanges, by reach and direction;
#  2. the tray menu's "&Applications" opens the Applications window with a row per application;
#  3. after SIGTERM, and again while a second start runs, the hour's rows hold the same bytes, no
#     longer "so far", and `sqlite3` finds them in zul_apps.
#
#   apps_e2e.sh ZUL-BINARY [SCREENSHOT.png]
#
# The counts add each packet's link-layer header, as the adapter's counters do, so both sides are
# the frames' bytes; an application's figures may differ from them by at most 0.1 % of its total.
# The screenshot of the Applications window is kept at SCREENSHOT.
set -u
zul=$1
shotfile=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root (network namespaces, cgroups, BPF programs)"; exit 77; }
[ -x "$zul" ] || { echo "SKIP: no program at $zul"; exit 77; }
helper=$(dirname "$zul")/zul-capture
[ -x "$helper" ] || { echo "SKIP: no capture helper next to $zul"; exit 77; }
cgroot=$(awk '{ for (i = 7; i < NF; i++) if ($i == "-") { if ($(i + 1) == "cgroup2" && $4 == "/") print $5; break } }' \
  /proc/self/mountinfo | head -1)
[ -n "$cgroot" ] || { echo "SKIP: no cgroup v2 hierarchy is mounted"; exit 77; }
. "$here/desktop.sh" Xvfb openbox trayer xdotool xwininfo xprop sqlite3 import convert ip ss nsenter python3
. "$here/netns.sh" zulap
tolerance_permille=1

# --- Cleanup: the peer, the cgroups' processes, the cgroups, the namespaces -----------------------
base=$cgroot/zul-apps-e2e-$$
groups=(app-zule2e-org.example.Alpha-1.scope zulbeta.service)
more_cleanup() {
  local g p
  for g in "${groups[@]}"; do
    [ -d "$base/$g" ] || continue
    for p in $(cat "$base/$g/cgroup.procs" 2>/dev/null); do kill -KILL "$p" 2>/dev/null; done
    for _ in $(seq 50); do [ -s "$base/$g/cgroup.procs" ] || break; sleep 0.1; done
    rmdir "$base/$g" 2>/dev/null
  done
  [ -d "$base" ] && rmdir "$base" 2>/dev/null
  netns_cleanup
}

# Keep the whole run (about two minutes) inside one hour of the clock.
if [ "$((10#$(date +%M)))" -ge 57 ]; then
  sleep $((3600 - 60 * 10#$(date +%M) - 10#$(date +%S) + 2))
fi

# --- The namespaces: ze0 (192.0.2.1/24, default route via the peer) and the peer ---------------
make_netns
make_veth 192.0.2.1/24
inB ip addr add 192.0.2.2/24 dev ze1 && inB ip link set lo up &&
  inB ip addr add 203.0.113.2/32 dev lo && inA ip route add default via 192.0.2.2 ||
  fail "cannot address the peer"
# Neighbours known beforehand: no address resolution crosses ze0.
inA ip neigh replace 192.0.2.2 lladdr "$(inB cat /sys/class/net/ze1/address)" dev ze0 nud permanent &&
  inB ip neigh replace 192.0.2.1 lladdr "$(inA cat /sys/class/net/ze0/address)" dev ze1 nud permanent ||
  fail "cannot set the neighbours"
nsA_path=/run/netns/$nsA

# The helper alone tells whether this kernel runs the counting programs (`ip netns exec` would
# hide the cgroup hierarchy: enter the network namespace alone).
timeout 20 nsenter --net="$nsA_path" "$helper" --apps </dev/null >/dev/null 2>"$work/probe.log"
case $? in
  0) ;;
  7) echo "SKIP: the helper finds no cgroup v2 hierarchy: $(cat "$work/probe.log")"; exit 77 ;;
  8) echo "SKIP: this kernel runs no cgroup BPF programs: $(cat "$work/probe.log")"; exit 77 ;;
  *) fail "the helper cannot count applications as root: $(cat "$work/probe.log")" ;;
esac

peer=(python3 "$here/apps_peer.py")
ip netns exec "$nsB" "${peer[@]}" serve 7201 7202 192.0.2.2 203.0.113.2 >"$work/peer.log" 2>&1 &
pids+=("$!")
disown
listening() { inB ss -Hltn 'sport = :7201' | grep -q .; }
wait_for 100 listening || fail "the peer does not listen"

mkdir -p "$base" || fail "cannot make a cgroup under $cgroot"
for g in "${groups[@]}"; do mkdir "$base/$g" || fail "cannot make the cgroup $g"; done

# --- The desktop and the program ---------------------------------------------------------------
start_xvfb
start_openbox
start_trayer
wait_for 100 has_tray || fail "trayer did not start"
sleep 1  # the panel owns the tray a moment after its window exists
db=$XDG_DATA_HOME/Halvane/ZUL/db/bw.DB

# start_zul: the program in ze0's namespace; zpid is its process.
start_zul() {
  nsenter --net="$nsA_path" "$zul" >>"$work/zul.log" 2>&1 &
  zpid=$!
  pids+=("$zpid")
  wait_for 200 capturing || fail "the program did not start capturing on ze0 within 20 s"
  counting() { pgrep -P "$zpid" -f -- '--apps' >/dev/null; }
  wait_for 100 counting || fail "the program started no helper for the applications"
  # The helper has the adapters a moment after it started.
  sleep 1
}
# stop_zul: SIGTERM, and the program ends with 0 within 15 s.
stop_zul() {
  kill -TERM "$zpid"
  for _ in $(seq 150); do kill -0 "$zpid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$zpid" 2>/dev/null && fail "SIGTERM did not end the program within 15 s"
  wait "$zpid"
  local rc=$?
  [ "$rc" -eq 0 ] || fail "the program ended with $rc after SIGTERM"
}
start_zul
hour=$(date +%-H)
today=$(date +%F)

# --- The exchanges, one at a time, each measured by ze0's kernel counters -----------------------
# app cgroup kind remote arguments (tcp: up down; udp: count size reply)
exchanges="
org.example.Alpha app-zule2e-org.example.Alpha-1.scope tcp 192.0.2.2   3000000 1000000
org.example.Alpha app-zule2e-org.example.Alpha-1.scope udp 203.0.113.2 300 1000 500
zulbeta.service   zulbeta.service                      tcp 203.0.113.2 700000 2000000
zulbeta.service   zulbeta.service                      udp 192.0.2.2   200 1200 300
"
declare -A want  # app,field: bytes; fields 0 Internet down, 1 Internet up, 2 LAN down, 3 LAN up
apps=(org.example.Alpha zulbeta.service)
for a in "${apps[@]}"; do for f in 0 1 2 3; do want[$a,$f]=0; done; done
counter() { inA cat "/sys/class/net/ze0/statistics/$1"; }
while read -r app group kind remote args; do
  [ -n "$app" ] || continue
  rx=$(counter rx_bytes)
  tx=$(counter tx_bytes)
  port=7201
  [ "$kind" = udp ] && port=7202
  # shellcheck disable=SC2086
  timeout 60 sh -c 'echo $$ >"$1/cgroup.procs" && shift && exec "$@"' sh "$base/$group" \
    nsenter --net="$nsA_path" "${peer[@]}" "$kind" "$remote" "$port" $args \
    >"$work/exchange.log" 2>&1 || fail "the $kind exchange of $app with $remote failed: $(cat "$work/exchange.log")"
  sleep 0.3  # the last segments settle
  down=$(($(counter rx_bytes) - rx))
  up=$(($(counter tx_bytes) - tx))
  if [ "$kind" = udp ]; then
    # Each datagram is a frame of its payload and 42 bytes of Ethernet, IPv4 and UDP headers:
    # anything more crossed ze0 beside the exchange.
    read -r n size reply <<<"$args"
    [ "$down" -eq $((n * (reply + 42))) ] && [ "$up" -eq $((n * (size + 42))) ] ||
      fail "ze0 counted $down down and $up up for $n datagrams of $size and $reply bytes"
  fi
  f=0
  case $remote in 192.0.2.*) f=2 ;; esac
  want[$app,$f]=$((want[$app,$f] + down))
  want[$app,$((f + 1))]=$((want[$app,$((f + 1))] + up))
  echo "  $app: $kind with $remote, $down bytes down and $up up on ze0"
done <<<"$exchanges"

# export_rows: the hour's application rows as "app idn iup ldn lup so_far", spaces in the
# application's name made "_" (the CSV's lines end in CR LF).
export_rows() {
  timeout 20 env -u DISPLAY "$zul" --export csv --apps --grouping hourly --from "$today" --to "$today" \
    >"$work/export.csv" 2>"$work/export.err" || fail "the export failed: $(cat "$work/export.err")"
  awk -F, -v d="$today" -v h="$hour" '{ sub(/\r$/, "") } $1 == d && $2 == h { gsub(/ /, "_", $3); print $3, $4, $5, $6, $7, ($8 == "" ? "no" : $8) }' \
    "$work/export.csv"
}
# matches ROWS SO-FAR: each application's row within the tolerance, marked SO-FAR; says why not.
matches() {
  local a line f g w d total fields
  for a in "${apps[@]}"; do
    line=$(awk -v a="$a" '$1 == a' <<<"$1")
    [ -n "$line" ] || { echo "no row of $a"; return 1; }
    read -ra fields <<<"$line"
    [ "${fields[5]}" = "$2" ] || { echo "$a: so_far is ${fields[5]}"; return 1; }
    total=$((want[$a,0] + want[$a,1] + want[$a,2] + want[$a,3]))
    for f in 0 1 2 3; do
      g=${fields[f + 1]}
      w=${want[$a,$f]}
      d=$((g > w ? g - w : w - g))
      [ $((d * 1000)) -le $((total * tolerance_permille)) ] ||
        { echo "$a: field $f is $g, not $w"; return 1; }
    done
  done
}
# The rows besides: the rest of the hour's traffic ("System") is less than the tolerance of it,
# and no other user's traffic is there.
others_small() {
  local all sys
  all=$(awk '{ s += $2 + $3 + $4 + $5 } END { print s + 0 }' <<<"$1")
  sys=$(awk '$1 == "System" { print $2 + $3 + $4 + $5 }' <<<"$1")
  [ $((${sys:-0} * 1000)) -le $((all * tolerance_permille)) ] || { echo "System holds $sys of $all"; return 1; }
  ! awk '$1 == "Other_users"' <<<"$1" | grep -q . || { echo "a row of other users"; return 1; }
}
show_figures() {
  local a
  for a in "${apps[@]}"; do
    echo "  expected $a: Internet ${want[$a,0]} down ${want[$a,1]} up, LAN ${want[$a,2]} down ${want[$a,3]} up"
  done
  echo "  export (app, Internet down, up, LAN down, up, so_far):"
  sed 's/^/    /' <<<"$1"
}

# --- 1. The running hour in the export ---------------------------------------------------------
# The program keeps the running hour for other readers once a minute.
rows=
for _ in $(seq 45); do
  rows=$(export_rows)
  why=$(matches "$rows" yes) && break
  sleep 2
done
show_figures "$rows"
[ -z "$why" ] || fail "while running, the export does not hold the exchanges: $why"
why=$(others_small "$rows") || fail "$why"
running_rows=$rows
echo "ok: while running, each application's bytes are in the export, marked so far"

# --- 2. The Applications window from the tray menu ---------------------------------------------
wait_for 100 icon_window || fail "no icon of the program in the tray"
icon=$(icon_window)
geometry() { xwininfo -id "$1" | awk -F: '/Absolute upper-left X/{x=$2} /Absolute upper-left Y/{y=$2}
  /Width/{w=$2} /Height/{h=$2} END{printf "%d %d %d %d\n", x, y, w, h}'; }
read -r ix iy iw ih < <(geometry "$icon")
xdotool mousemove $((ix + iw / 2)) $((iy + ih / 2)) sleep 0.2 click 3
wait_for 50 menu_window || fail "a right click on the tray icon opened no menu"
# "&Applications" and "&About" share their key: the first press selects, Return opens.
xdotool key --delay 150 a Return
wait_for 50 visible '^Applications$' || fail '"&Applications" opened no window'
win=$(xdotool search --onlyvisible --name '^Applications$' | head -1)
sleep 1.5  # the rows and their icons are drawn
read -r x y w h < <(geometry "$win")
shot=${shotfile:-$work/applications.png}
mkdir -p "$(dirname "$shot")"
import -window root -crop "${w}x${h}+${x}+${y}" +repage "$shot" || fail "cannot take a screenshot"
echo "screenshot: $shot"
# Lines of text in the window: bands of pixel rows that hold dark pixels in its left 200 columns
# (the period list, the names and the first amounts). Expected: the period list, the list's
# header and one line per row of the export (the log is new, so today is this hour); a reason why nothing is counted, or a
# missing row, changes the count.
lines=$(convert "$shot" -crop "200x${h}+0+0" +repage -colorspace gray -threshold 50% -negate \
  -scale "1x${h}!" -depth 8 txt:- |
  awk 'NR > 1 { dark = ($0 !~ /gray\(0\)|#000000/); if (dark && !was) n++; was = dark } END { print n + 0 }')
listed=$(awk 'END { print NR }' <<<"$running_rows")
echo "  the window shows $lines lines of text; the export has $listed rows"
[ "$lines" -eq $((listed + 2)) ] ||
  fail "the Applications window shows $lines lines of text, not the period list, a header and $listed rows"
xdotool windowactivate --sync "$win" key Escape
echo "ok: the tray menu opens the Applications window with a row per application"

# --- 3. After SIGTERM, and while a second start runs: the hour's rows ---------------------------
stop_zul
rows=$(export_rows)
why=$(matches "$rows" no) || { show_figures "$rows"; fail "after SIGTERM: $why"; }
[ "$(cut -d' ' -f1-5 <<<"$rows")" = "$(cut -d' ' -f1-5 <<<"$running_rows")" ] ||
  { show_figures "$rows"; fail "after SIGTERM the hour's bytes differ from the running hour's"; }
table() {
  sqlite3 "$db" "select App, InternetDn, InternetUp, LanDn, LanUp from zul_apps
    where CDate = '$today' and Hour = $hour order by App" | tr '|' ' '
}
logged=$(table)
[ "$logged" = "$(cut -d' ' -f1-5 <<<"$rows")" ] ||
  { echo "zul_apps:"; echo "$logged"; fail "zul_apps does not hold the exported rows"; }
echo "ok: after SIGTERM the hour's rows hold the same bytes, in zul_apps"

start_zul
rows=$(export_rows)
why=$(matches "$rows" no) || { show_figures "$rows"; fail "after a restart: $why"; }
stop_zul
[ "$(table)" = "$logged" ] || fail "a second run changed the hour's rows in zul_apps: $(table)"
echo "PASS: two applications' exchanges in the export while running, in the Applications window, and in the history after a restart"
