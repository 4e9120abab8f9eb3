#!/usr/bin/env bash
# The real program under xvfb-run: a second start leaves one process, SIGTERM ends it with exit
# code 0, the log then holds the running hour and day, and nothing the program wrote is readable
# by other users although the umask would allow it.
set -u
zul=$1
command -v xvfb-run >/dev/null || { echo "SKIP: xvfb-run is not installed"; exit 77; }
command -v sqlite3 >/dev/null || { echo "SKIP: sqlite3 is not installed"; exit 77; }

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work/home XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
db=$XDG_DATA_HOME/Halvane/ZUL/db/bw.DB
fail() { echo "FAIL: $*"; [ -f "$work/first.log" ] && sed 's/^/  first: /' "$work/first.log"; exit 1; }

# Count our instances by their runtime folder, so other runs on the machine do not interfere.
instances() {
  local n=0 p
  for p in $(pgrep -x zul); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR" &&
      n=$((n + 1))
  done
  echo "$n"
}
first_pid() {
  local p
  for p in $(pgrep -x zul); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR" &&
      { echo "$p"; return; }
  done
}

umask 022
xvfb-run -a -s "-screen 0 1280x1024x24" "$zul" >"$work/first.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/TFBFigure" ] && break; sleep 0.1; done
[ -S "$XDG_RUNTIME_DIR/TFBFigure" ] || fail "the first instance did not start listening"
pid=$(first_pid)
[ -n "$pid" ] || fail "no zul process"

# A second start hands over and ends with 0, creating no window of its own.
timeout 20 xvfb-run -a "$zul" >"$work/second.log" 2>&1
rc=$?
[ "$rc" -eq 0 ] || fail "second start ended with $rc"
[ "$(instances)" -eq 1 ] || fail "expected one instance, found $(instances)"
kill -0 "$pid" 2>/dev/null || fail "the first instance is gone"

kill -TERM "$pid"
for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "SIGTERM did not end the program within 15 s"
wait "${pids[0]}"
rc=$?
[ "$rc" -eq 0 ] || fail "the program ended with $rc after SIGTERM"

[ -f "$db" ] || fail "no log table at $db"
today=$(date +%F)
hour=$(date +%-H)
q() { sqlite3 "$db" "$1"; }
[ "$(q "select count(*) from bw where CDate='$today' and Flag between 0 and 3 and Hour=$hour")" = 4 ] ||
  [ "$(q "select count(*) from bw where CDate='$today' and Flag between 0 and 3")" -ge 4 ] ||
  fail "the running hour's four hourly records are missing: $(q 'select * from bw')"
for base in 16 32 48 64; do
  n=$(q "select count(*) from bw where Flag between $base and $((base + 3))")
  [ "$n" -eq 4 ] || fail "expected 4 records with flag base $base, found $n"
done
data=$XDG_DATA_HOME/Halvane
for f in "$data/ZUL/ZUL.cfg" "$db" "$db.lock" "$XDG_RUNTIME_DIR/TFBFigure.lock"; do
  [ -f "$f" ] || fail "expected $f to exist"
done
open_to_others=$(find "$data" "$XDG_RUNTIME_DIR" -perm /077 ! -type s -printf '%m %p\n')
[ -z "$open_to_others" ] || fail "readable by others: $open_to_others"
echo "PASS: one instance, clean exit on SIGTERM, hour and day written, files private"
