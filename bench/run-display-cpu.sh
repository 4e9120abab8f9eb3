#!/usr/bin/env bash
# CPU time per minute and resident memory of the whole program with all four graph windows shown
# and no traffic: the real program under xvfb-run, the run time of all its threads over 60 seconds.
# The terminal monitor nload (when installed: apt-get install nload) runs beside it over the same
# seconds as the reference.
#
# Usage: bench/run-display-cpu.sh [BUILD_DIR]     (default: build)
# Needs the targets zul and zul_display_cfg (configure with -DZUL_BUILD_BENCH=ON).
# ZUL_CPU_SECONDS (default 60) and ZUL_CPU_WARMUP (default 5) change the timing.
# ZUL_IDLE_ADAPTERS=N (root) gives the program N watched adapters with no traffic: veth pairs
# with addresses in network namespaces made here; their capture helpers count with the program.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
zul=$build/src/zul
cfgtool=$build/bench/display/zul_display_cfg
seconds=${ZUL_CPU_SECONDS:-60}
warmup=${ZUL_CPU_WARMUP:-5}

for f in "$zul" "$cfgtool"; do
  [ -x "$f" ] || { echo "missing $f: build the targets zul and zul_display_cfg" >&2; exit 2; }
done
command -v xvfb-run >/dev/null || { echo "SKIP: xvfb-run is not installed"; exit 77; }

work=$(mktemp -d)
runner=
cleanup() {
  [ -n "$runner" ] && kill -TERM "$runner" 2>/dev/null || true
  if [ -n "${lab:-}" ]; then
    ip netns del "${lab}a" 2>/dev/null || true
    ip netns del "${lab}b" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

export HOME=$work/home XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run
export XDG_CONFIG_HOME=$work/config
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$XDG_DATA_HOME/Halvane/ZUL"
chmod 700 "$XDG_RUNTIME_DIR"
"$cfgtool" "$XDG_DATA_HOME/Halvane/ZUL/"

# No traffic: a network namespace of its own holds only a loopback adapter, and it is down, or
# the idle adapters asked for.
netns=()
adapters=${ZUL_IDLE_ADAPTERS:-0}
lab=
if [ "$(id -u)" -eq 0 ] && [ "$adapters" -gt 0 ]; then
  lab=zidle$$
  ip netns add "${lab}a" && ip netns add "${lab}b"
  # No router or neighbour discovery either: the adapters stay silent.
  for ns in "${lab}a" "${lab}b"; do
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  done
  for i in $(seq 0 $((adapters - 1))); do
    ip link add "zia$i" netns "${lab}a" type veth peer name "zib$i" netns "${lab}b"
    ip -n "${lab}a" addr add "192.0.2.$((i * 16 + 1))/28" dev "zia$i"
    ip -n "${lab}a" link set "zia$i" up
    ip -n "${lab}b" link set "zib$i" up
  done
  netns=(ip netns exec "${lab}a")
elif [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
  netns=(unshare --net)
else
  echo "note: without root the program runs in this machine's network and sees its traffic"
fi

"${netns[@]}" xvfb-run -a -s "-screen 0 1280x1024x24" "$zul" >"$work/zul.log" 2>&1 &
runner=$!

# Our process is the zul whose runtime folder is ours.
pid=
for _ in $(seq 100); do
  for p in $(pgrep -x zul || true); do
    if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR"
    then
      pid=$p
    fi
  done
  [ -n "$pid" ] && break
  sleep 0.1
done
[ -n "$pid" ] || { echo "the program did not start" >&2; cat "$work/zul.log" >&2; exit 1; }
sleep "$warmup"
kill -0 "$pid" 2>/dev/null || { echo "the program ended early" >&2; cat "$work/zul.log" >&2; exit 1; }

# The four windows should be on the screen; say so when the X tools are there to look.
if command -v xwininfo >/dev/null; then
  display=$(tr '\0' '\n' <"/proc/$pid/environ" | sed -n 's/^DISPLAY=//p')
  xauth=$(tr '\0' '\n' <"/proc/$pid/environ" | sed -n 's/^XAUTHORITY=//p')
  shown=0
  for id in $(DISPLAY=$display XAUTHORITY=$xauth xwininfo -root -tree |
                grep -E '"(Internet & LAN|Internet|LAN|INTERNET \(All PCs on the LAN\))"' |
                awk '{print $1}'); do
    DISPLAY=$display XAUTHORITY=$xauth xwininfo -id "$id" | grep -q 'IsViewable' &&
      shown=$((shown + 1))
  done
  echo "graph windows shown: $shown"
  [ "$shown" -eq 4 ] || { echo "expected all four graph windows shown" >&2; exit 1; }
fi

# The reference, in the same network and over the same seconds, on a terminal of its own.
ref=
tmux_socket=$work/tmux
if command -v nload >/dev/null && command -v tmux >/dev/null; then
  "${netns[@]}" tmux -S "$tmux_socket" new-session -d -x 120 -y 40 "nload -t 1000 lo"
  for _ in $(seq 50); do ref=$(pgrep -nx nload || true); [ -n "$ref" ] && break; sleep 0.1; done
  sleep 2
fi

# CPU time in nanoseconds: the sum of every thread's run time from the scheduler, finer than the
# clock ticks of utime and stime; the program's with its capture helpers'.
cpu_ns() {
  local pid=${1:-$pid} p
  local all=$pid
  for p in $(pgrep -P "$pid" -x zul-capture || true); do all="$all $p"; done
  for p in $all; do cat /proc/"$p"/task/*/schedstat 2>/dev/null; done |
    awk '{ s += $1 } END { printf "%d", s }'
}
rss() { awk '/^VmRSS/ {print int($2 / 1024) " MB"}' "/proc/$1/status"; }
t0=$(cpu_ns)
h0=$(( t0 - $(cat /proc/"$pid"/task/*/schedstat | awk '{ s += $1 } END { printf "%d", s }') ))
[ -n "$ref" ] && r0=$(cpu_ns "$ref")
sleep "$seconds"
t1=$(cpu_ns)
h1=$(( t1 - $(cat /proc/"$pid"/task/*/schedstat | awk '{ s += $1 } END { printf "%d", s }') ))
kill -0 "$pid" 2>/dev/null || { echo "the program ended during the measurement" >&2; exit 1; }

ms=$(((t1 - t0) * 60 / (seconds * 1000000)))
helpers=$( (pgrep -P "$pid" -x zul-capture || true) | wc -l)
echo "zul:   CPU per minute $ms ms, resident $(rss "$pid") (scheduler run time over $seconds s," \
  "four windows shown, $adapters adapters watched by $helpers capture helpers, no traffic;" \
  "the helpers' part $(((h1 - h0) * 60 / (seconds * 1000000))) ms)"
if [ -n "$ref" ] && kill -0 "$ref" 2>/dev/null; then
  r1=$(cpu_ns "$ref")
  echo "nload: CPU per minute $(((r1 - r0) * 60 / (seconds * 1000000))) ms, resident $(rss "$ref")" \
    "(same seconds; ratio zul/nload" \
    "$(awk -v a=$((t1 - t0)) -v b=$((r1 - r0)) 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'))"
  kill "$ref" 2>/dev/null || true
fi
[ -S "$tmux_socket" ] && tmux -S "$tmux_socket" kill-server 2>/dev/null || true

kill -TERM "$pid"
for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
wait "$runner" || true
runner=
