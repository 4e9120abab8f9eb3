#!/usr/bin/env bash
# The real program with --metrics-port, scraped with curl and its token: the counters equal the
# bytes of frames injected into its network namespace (as root; without root it runs idle on the
# host), today's and this month's gauges are the log's records plus the running hour, a request
# without the token or with a wrong one gets 401 alone, clients that send nothing, send too much
# or open many connections neither stall nor crash it, another user's idle connections do not
# keep the owner's scrapes out, and it listens on loopback alone. An export of the log runs
# meanwhile.
#
#   metrics_e2e.sh ZUL-BINARY INJECTOR-BINARY
set -u
zul=$1
inject=${2:-}
for tool in xvfb-run curl ss sqlite3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ -x "$zul" ] || { echo "SKIP: no program at $zul"; exit 77; }
netns=
if [ "$(id -u)" -eq 0 ] && command -v ip >/dev/null && [ -x "$inject" ]; then netns=1; fi

. "$(dirname "$0")/netns.sh" zulme "$inject"
work=$(mktemp -d)
runner=
held=()
cleanup() {
  local p
  for p in "${held[@]}"; do kill -KILL "$p" 2>/dev/null; done
  [ -n "$runner" ] && kill -KILL "$runner" 2>/dev/null
  for p in $(pgrep -x zul); do
    { tr '\0' '\n' <"/proc/$p/environ"; } 2>/dev/null | grep -qx "XDG_RUNTIME_DIR=$work/run" &&
      kill -KILL "$p"
  done
  netns_cleanup
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  [ -f "$work/zul.log" ] && sed 's/^/  zul: /' "$work/zul.log"
  exit 1
}
# Commands that talk to the program run where it runs.
inA() { if [ -n "$netns" ]; then ip netns exec "$nsA" "$@"; else "$@"; fi; }

# Keep the whole run inside one hour of the clock.
if [ "$((10#$(date +%M)))" -eq 59 ] && [ "$((10#$(date +%S)))" -ge 20 ]; then
  sleep $((62 - 10#$(date +%S)))
fi

if [ -n "$netns" ]; then
  make_netns
  inA ip link set lo up || fail "cannot bring up the loopback device"
  make_veth 192.0.2.20/24
  mac=$(inA cat /sys/class/net/ze0/address)
  port=9188
else
  echo "note: not root, or no injector: the program runs idle on this machine's network"
  port=
  for _ in $(seq 50); do
    p=$((20000 + RANDOM % 40000))
    [ -z "$(ss -Hltn "sport = :$p")" ] && { port=$p; break; }
  done
  [ -n "$port" ] || fail "no free port found"
fi
url=http://127.0.0.1:$port/metrics

export HOME=$work/home XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
dbdir=$XDG_DATA_HOME/Halvane/ZUL/db
db=$dbdir/bw.DB
today=$(date +%F)
yesterday=$(date -d yesterday +%F)
month_end=$(date -d "$(date +%Y-%m-01) +1 month -1 day" +%F)
# A log from earlier runs: yesterday and today for "Internet" (flag 17), this month (flag 49).
mkdir -p "$dbdir" && chmod -R 700 "$XDG_DATA_HOME"
sqlite3 "$db" "CREATE TABLE bw (CDate TEXT NOT NULL, Flag INTEGER NOT NULL,
    Hour INTEGER NOT NULL, Up REAL NOT NULL, Dn REAL NOT NULL,
    PRIMARY KEY (CDate, Flag, Hour)) WITHOUT ROWID;
  INSERT INTO bw VALUES ('$yesterday', 17, 9, 0.5, 1.0), ('$today', 17, 10, 1.5, 2.0),
    ('$month_end', 49, $((10#$(date +%m))), 3.0, 4.0);" || fail "cannot write the log"
chmod 600 "$db"

inA xvfb-run -a -s "-screen 0 1280x1024x24" "$zul" --metrics-port "$port" >"$work/zul.log" 2>&1 &
runner=$!
token_file=$XDG_DATA_HOME/Halvane/ZUL/metrics.token
scrape() { inA curl -sS --fail --max-time 5 -H "Authorization: Bearer $(cat "$token_file")" "$url"; }
served=
for _ in $(seq 200); do
  scrape >"$work/first.txt" 2>/dev/null && { served=1; break; }
  kill -0 "$runner" 2>/dev/null || fail "the program ended early"
  sleep 0.1
done
[ -n "$served" ] || fail "no metrics at $url within 20 s"
pid=
for p in $(pgrep -x zul); do
  { tr '\0' '\n' <"/proc/$p/environ"; } 2>/dev/null | grep -qx "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR" &&
    pid=$p
done
[ -n "$pid" ] || fail "no zul process"

# value NAME LABELS FILE: the sample's value, empty when it is missing.
value() { awk -v k="$1$2" '$1 == k { print $2 }' "$3"; }
views=(internet_and_lan internet lan internet_all_pcs)

if [ -n "$netns" ]; then
  opened=
  for _ in $(seq 200); do
    capturing 2>/dev/null && { opened=1; break; }
    sleep 0.1
  done
  [ -n "$opened" ] || fail "the program did not start capturing on ze0 within 20 s"
  sleep 0.5
  stranger=02:00:5e:10:00:77
  send "$mac" "$stranger" 0x0800 198.51.100.7 192.0.2.20 1024 40    # Internet download
  send "$stranger" "$mac" 0x0800 192.0.2.20 203.0.113.9 1024 24    # Internet upload
  send "$mac" "$stranger" 0x88b5 0.0.0.0 0.0.0.0 1024 16           # LAN download
  send "$stranger" "$stranger" 0x0800 203.0.113.9 192.0.2.7 1024 8 # another computer's download
  send "$stranger" "$mac" 0x88b5 0.0.0.0 0.0.0.0 512 4             # LAN upload
  # The seconds that hold the frames must be complete.
  sleep 3
  # download, upload per view, in bytes, worked out from the frames sent above.
  want=(57344 26624 40960 24576 16384 2048 49152 24576)
else
  want=()
fi

[ "$(stat -c %a "$token_file")" = 600 ] || fail "the token file has mode $(stat -c %a "$token_file")"
[ "$(wc -c <"$token_file")" -ge 33 ] || fail "the token is too short: $(cat "$token_file")"
# Without the token, or with a wrong one: 401 and nothing else.
for auth in "" "Authorization: Bearer wrong" "Authorization: Basic $(cat "$token_file")"; do
  code=$(inA curl -s -o "$work/denied.txt" -w '%{http_code}' --max-time 5 ${auth:+-H "$auth"} "$url")
  [ "$code" = 401 ] || fail "a request with '${auth:-no token}' got HTTP $code"
  grep -q zul_ "$work/denied.txt" && fail "a request with '${auth:-no token}' got metrics"
done
echo "ok: without the right token, 401 alone"

scrape >"$work/metrics.txt" || fail "the scrape failed"
if /usr/bin/python3 -c 'import prometheus_client' 2>/dev/null; then
  /usr/bin/python3 "$(dirname "$0")/check_metrics.py" <"$work/metrics.txt" >"$work/check.txt" 2>&1 ||
    fail "the parser refuses the text: $(cat "$work/check.txt")"
else
  echo "note: python3-prometheus-client is not installed: the text is not parsed"
fi
[ "$(value zul_log_open "" "$work/metrics.txt")" = 1 ] || fail "the log is not reported open"
# Today's and this month's "Internet" records from the log, in bytes.
logged_today=(2048 1536)
logged_month=(4096 3072)
i=0
for v in 0 1 2 3; do
  for dir in download upload; do
    labels="{view=\"${views[$v]}\",direction=\"$dir\"}"
    total=$(value zul_traffic_bytes_total "$labels" "$work/metrics.txt")
    day=$(value zul_traffic_today_bytes "$labels" "$work/metrics.txt")
    mon=$(value zul_traffic_month_bytes "$labels" "$work/metrics.txt")
    [ -n "$total" ] && [ -n "$day" ] && [ -n "$mon" ] || fail "samples missing for $labels"
    if [ ${#want[@]} -gt 0 ] && [ "$total" != "${want[$i]}" ]; then
      fail "zul_traffic_bytes_total$labels is $total, the frames held ${want[$i]}"
    fi
    d=0 m=0
    [ "$v" -eq 1 ] && d=${logged_today[$((i % 2))]} && m=${logged_month[$((i % 2))]}
    [ "$day" -eq $((d + total)) ] || fail "today's $labels is $day, not $d logged + $total counted"
    [ "$mon" -eq $((m + total)) ] || fail "this month's $labels is $mon, not $m logged + $total"
    i=$((i + 1))
  done
done
if [ -n "$netns" ]; then
  [ "$(value zul_capture_active '{adapter="ze0"}' "$work/metrics.txt")" = 1 ] ||
    fail "ze0 is not reported capturing"
  [ "$(value zul_capture_kernel_drops_total '{adapter="ze0"}' "$work/metrics.txt")" = 0 ] ||
    fail "ze0's kernel drop count is missing or not 0 for a few frames"
fi
echo "ok: the counters and gauges hold what was counted and logged"

# An export while the program runs, without a display or a claim on the instance.
inA env -u DISPLAY -u WAYLAND_DISPLAY "$zul" --export json --grouping daily >"$work/export.json" \
  2>"$work/export.err" || fail "the export failed: $(cat "$work/export.err")"
grep -q "{\"date\": \"$yesterday\", \"hour\": null, \"view\": \"Internet\", \"download_bytes\": 1024, \"upload_bytes\": 512}" \
  "$work/export.json" || fail "the export lacks yesterday's record: $(cat "$work/export.json")"
head -c1 "$work/export.json" | grep -q '\[' || fail "the export is no JSON array"
echo "ok: the export reads the log while the program runs"

# Loopback alone.
listening=$(inA ss -Hltnp | grep "pid=$pid," | awk '{ print $4 }')
[ -n "$listening" ] || fail "ss shows no listening socket of the program"
while read -r addr; do
  case $addr in
    127.0.0.1:$port | "[::1]:$port") ;;
    *) fail "the program listens on $addr" ;;
  esac
done <<<"$listening"
echo "ok: listening on $(echo $listening)"

# Hostile clients: one that sends nothing, a header of 256 KiB, and 40 idle connections, of
# another user and of the owner.
# hold [USER-ID]: one connection that sends nothing for 20 s, as a single process that the kill
# ends; as another user when one is given.
hold() {
  local script="exec 3<>/dev/tcp/127.0.0.1/$port && exec sleep 20" as=()
  [ -n "${1-}" ] && as=(setpriv --reuid="$1" --regid="$1" --clear-groups)
  if [ -n "$netns" ]; then exec ip netns exec "$nsA" "${as[@]}" bash -c "$script"; fi
  exec "${as[@]}" bash -c "$script"
}
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  for _ in $(seq 40); do
    hold 65534 2>/dev/null &
    held+=($!)
    disown $!
  done
  sleep 0.5
  for _ in 1 2 3; do
    scrape >/dev/null || fail "another user's 40 idle connections keep the owner's scrape out"
  done
  echo "ok: another user's idle connections do not starve the owner"
else
  echo "note: not root: no client of another user"
fi
hold 2>/dev/null &
held+=($!)
disown $!
sleep 0.3
scrape >/dev/null || fail "a client that sends nothing stalls the others"
{ printf 'X-Big: '; head -c 262144 /dev/zero | tr '\0' a; echo; } >"$work/big-header"
code=$(inA curl -s -o /dev/null -w '%{http_code}' --max-time 5 -H @"$work/big-header" "$url")
case $code in
  431 | 000) ;;
  *) fail "a huge request got HTTP $code" ;;
esac
for _ in $(seq 40); do
  hold 2>/dev/null &
  held+=($!)
  disown $!
done
sleep 0.5
kill -0 "$pid" 2>/dev/null || fail "the program died under many connections"
# The main thread still answers: a second start is handed over to it.
inA timeout 20 xvfb-run -a "$zul" >"$work/second.log" 2>&1 || fail "a second start was not answered"
recovered=
for _ in $(seq 100); do
  scrape >/dev/null 2>&1 && { recovered=1; break; }
  sleep 0.1
done
[ -n "$recovered" ] || fail "no scrape succeeded within 10 s of the flood"
echo "ok: silent, huge and many clients neither stall nor crash it"

for p in "${held[@]}"; do kill -KILL "$p" 2>/dev/null; done
held=()
kill -TERM "$pid"
for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "SIGTERM did not end the program within 15 s"
wait "$runner"
rc=$?
runner=
[ "$rc" -eq 0 ] || fail "the program ended with $rc after SIGTERM"
echo "PASS: metrics scraped, bounded and loopback-only; export while running"
