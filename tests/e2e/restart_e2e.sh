#!/usr/bin/env bash
# A start while the running program is ending: SIGTERM reaches the program while another process
# holds the traffic log's write lock for 3 s, so that its exit waits for the last write, and a
# second start follows at once. The first ends with exit code 0 after writing the hour; the
# second does not hand its message to the instance that is going away but becomes the instance
# itself: afterwards exactly one runs, and it answers a third start.
set -u
zul=$1
. "$(dirname "$0")/desktop.sh" Xvfb xdotool sqlite3
more_cleanup() {
  local p
  for p in $(our_instances); do kill -KILL "$p" 2>/dev/null; done
}
db=$XDG_DATA_HOME/Halvane/ZUL/db/bw.DB
sock=$XDG_RUNTIME_DIR/TFBFigure
# Our instances, told apart from other runs on the machine by their runtime folder.
our_instances() {
  local p
  for p in $(pgrep -x zul); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR" &&
      echo "$p"
  done
}
count() { our_instances | wc -l; }

start_xvfb

"$zul" >"$work/first.log" 2>&1 &
first=$!
pids+=($first)
wait_for 150 test -S "$sock" || fail "the first instance did not start listening"
wait_for 100 test -f "$db" || fail "the first instance opened no log at $db"

# Another process takes the log's write lock and keeps it for 3 s. It waits for a lock the
# program may hold a moment, stops at an error, and says once it holds the lock: a probe of its
# own would race the locker for it.
(
  echo ".timeout 5000"
  echo "BEGIN IMMEDIATE;"
  echo ".system touch '$work/held'"
  sleep 3
  echo "COMMIT;"
) | sqlite3 -bail "$db" >"$work/locker.log" 2>&1 &
locker=$!
pids+=($locker)
wait_for 100 test -f "$work/held" || fail "the log's write lock could not be taken: $(cat "$work/locker.log")"

start=$(date +%s%N)
kill -TERM "$first"
"$zul" >"$work/second.log" 2>&1 &
second=$!
pids+=($second)

for _ in $(seq 250); do kill -0 "$first" 2>/dev/null || break; sleep 0.1; done
kill -0 "$first" 2>/dev/null && fail "the first instance did not end within 25 s of SIGTERM"
wait "$first"
rc=$?
took=$((($(date +%s%N) - start) / 1000000))
[ "$rc" -eq 0 ] || fail "the first instance ended with $rc"
[ "$took" -ge 2000 ] || fail "the exit took $took ms: the held lock did not slow it down"
wait "$locker"

# The second start outlived the first's exit and is now the one instance, listening.
kill -0 "$second" 2>/dev/null || fail "the second start ended instead of becoming the instance"
one_listening() { [ "$(count)" -eq 1 ] && [ -S "$sock" ] && [ "$(our_instances)" = "$second" ]; }
wait_for 100 one_listening || fail "expected the second start as the one instance; running: $(our_instances)"
timeout 20 "$zul" >"$work/third.log" 2>&1
rc=$?
[ "$rc" -eq 0 ] || fail "a third start ended with $rc instead of handing over"
[ "$(count)" -eq 1 ] || fail "after a third start $(count) instances run"

today=$(date +%F)
n=$(sqlite3 "$db" "select count(*) from bw where CDate='$today' and Flag between 0 and 3")
[ "$n" -ge 4 ] || fail "the first instance's hour did not reach the log once the lock was free"

kill -TERM "$second"
wait_for 150 eval "! kill -0 $second" || fail "the second instance did not end on SIGTERM"
wait "$second"
rc=$?
[ "$rc" -eq 0 ] || fail "the second instance ended with $rc"
echo "PASS: the exit waited $took ms for the log, ended with 0, and the start meanwhile became the one instance"
