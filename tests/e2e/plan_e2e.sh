#!/usr/bin/env bash
# The data plan in the real program: a plan of 1 GB that starts today and 900 MB of "Internet"
# download in the log. The 80 and 90 % alerts fire once each (two message dialogs, remembered in
# plan.state), not again after the program is killed and started again; `zul --plan --json`
# gives the same figures; `zul --export png` writes a chart.
#
#   plan_e2e.sh ZUL-BINARY
set -u
zul=$1
for tool in xvfb-run sqlite3 xdotool python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ -x "$zul" ] || { echo "SKIP: no program at $zul"; exit 77; }

# One day: the run must not cross midnight, when the cycle would move on.
if [ "$(date +%H%M)" = 2359 ]; then sleep 61; fi

work=$(mktemp -d)
runner=
cleanup() {
  [ -n "$runner" ] && kill -KILL "$runner" 2>/dev/null
  for p in $(pgrep -x zul); do
    { tr '\0' '\n' <"/proc/$p/environ"; } 2>/dev/null | grep -qx "XDG_RUNTIME_DIR=$work/run" &&
      kill -KILL "$p"
  done
  [ -n "${KEEP:-}" ] && echo "kept $work" && return
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  [ -f "$work/zul.log" ] && sed 's/^/  zul: /' "$work/zul.log"
  exit 1
}

export XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run
data=$XDG_DATA_HOME/Halvane/ZUL
mkdir -p "$data/db" "$XDG_RUNTIME_DIR"
chmod 0700 "$XDG_DATA_HOME" "$XDG_DATA_HOME/Halvane" "$data" "$data/db" "$XDG_RUNTIME_DIR"
today=$(date +%F)
day=$((10#$(date +%d)))
# The log's table, with today's daily "Internet" record: 900 MB down (kilobytes in the table).
sqlite3 "$data/db/bw.DB" \
  "CREATE TABLE bw (CDate TEXT NOT NULL, Flag INTEGER NOT NULL, Hour INTEGER NOT NULL,
     Up REAL NOT NULL, Dn REAL NOT NULL, PRIMARY KEY (CDate, Flag, Hour)) WITHOUT ROWID;
   INSERT INTO bw VALUES ('$today', 17, $((day * 8 + $(date +%w) + 1)), 0, 900000000.0 / 1024);" ||
  fail "cannot make the log"
printf '[DataPlan]\nEnabled=true\nView=1\nCapBytes=1000000000\nCycleDay=%d\n' "$day" >"$data/zul.ini"

# Runs the program on a virtual desktop for a few seconds; prints the titles of its visible
# "Warning" dialogs.
run_once() {
  xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    "$0" >>"$1/zul.log" 2>&1 &
    pid=$!
    for _ in $(seq 60); do
      [ -s "$2" ] && break
      sleep 0.2
    done
    sleep 3
    xdotool search --onlyvisible --name "^Warning\$" 2>/dev/null | wc -l
    kill -KILL "$pid"
  ' "$zul" "$work" "$data/plan.state" &
  runner=$!
  wait "$runner"
  runner=
}

shown=$(run_once)
grep -qx "fired=80,90" "$data/plan.state" || fail "plan.state holds: $(cat "$data/plan.state" 2>&1)"
[ "$shown" -ge 1 ] || fail "no alert was shown"
before=$(stat -c %Y.%s "$data/plan.state")
sleep 1.1
shown=$(run_once)
[ "$shown" -eq 0 ] || fail "the alerts were shown again after a restart"
[ "$(stat -c %Y.%s "$data/plan.state")" = "$before" ] || fail "plan.state was written again"

json=$("$zul" --plan --json) || fail "zul --plan --json failed"
python3 - "$json" "$today" <<'PY' || fail "zul --plan --json: $json"
import json, sys
p = json.loads(sys.argv[1])
assert p["used_bytes"] == 900000000, p
assert p["cap_bytes"] == 1000000000, p
assert p["percent"] == 90.0, p
assert p["cycle_start"] == sys.argv[2], p
assert p["forecast_bytes"] is None and p["cap_reached_on"] is None, p
PY

"$zul" --export png --grouping daily --from "$today" --to "$today" >"$work/chart.png" ||
  fail "zul --export png failed"
[ "$(head -c 4 "$work/chart.png" | od -An -c | tr -d ' ')" = "211PNG" ] || fail "no PNG written"
echo "PASS"
