#!/usr/bin/env bash
# The real program follows its adapter while the machine changes: started before the adapter has
# an address, it counts once the address is given, keeps counting after the link goes down and up
# and after the device is deleted and made again under its name, and counts IPv6 frames from the
# Internet as Internet. After SIGTERM the hourly records of the current hour hold exactly the
# injected bytes (kilobytes = bytes / 1024).
#
#   follow_e2e.sh ZUL-BINARY INJECTOR-BINARY
set -u
zul=$1
inject=$2
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root (network namespaces, packet capture)"; exit 77; }
for tool in xvfb-run sqlite3 ip; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ -x "$zul" ] || { echo "SKIP: no program at $zul"; exit 77; }

. "$(dirname "$0")/netns.sh" zulfw "$inject"
work=$(mktemp -d)
runner=
cleanup() {
  [ -n "$runner" ] && kill -KILL "$runner" 2>/dev/null
  local p
  for p in $(pgrep -x zul); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "XDG_RUNTIME_DIR=$work/run" &&
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

make_netns
make_veth
stranger=02:00:5e:10:00:77

# Waits until the program holds a packet socket on ze0 as it is now.
wait_capture() {
  for _ in $(seq 100); do
    capturing 2>/dev/null && { sleep 0.3; return 0; }
    kill -0 "$runner" 2>/dev/null || fail "the program ended early"
    sleep 0.1
  done
  fail "the program did not capture on ze0 within 10 s ($1)"
}

# Keep the whole run inside one hour of the clock.
if [ "$((10#$(date +%M)))" -eq 59 ] && [ "$((10#$(date +%S)))" -ge 15 ]; then
  sleep $((62 - 10#$(date +%S)))
fi

export HOME=$work/home XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
db=$XDG_DATA_HOME/Halvane/ZUL/db/bw.DB

inA xvfb-run -a -s "-screen 0 1280x1024x24" "$zul" >"$work/zul.log" 2>&1 &
runner=$!
hour=$(date +%-H)
today=$(date +%F)

# Without an address ze0 is no adapter yet; the program is up once it holds its instance socket.
for _ in $(seq 100); do
  [ -n "$(ls -A "$XDG_RUNTIME_DIR" 2>/dev/null)" ] && break
  kill -0 "$runner" 2>/dev/null || fail "the program ended early"
  sleep 0.1
done
sleep 1
capturing && fail "ze0 is watched before it has an address"

inA ip addr add 192.0.2.20/24 dev ze0 || fail "cannot address ze0"
wait_capture "after its address was given"
mac=$(inA cat /sys/class/net/ze0/address)
send "$mac" "$stranger" 0x0800 198.51.100.7 192.0.2.20 1024 40  # Internet download

inA ip link set ze0 down && sleep 0.3 && inA ip link set ze0 up || fail "cannot bounce ze0"
# The kernel passes frames again once both ends report the link up (its link watch runs a moment
# after the change); from then on the capture must count, with no reopening to wait for.
for _ in $(seq 50); do
  [ "$(inA cat /sys/class/net/ze0/operstate)" = up ] &&
    [ "$(inB cat /sys/class/net/ze1/operstate)" = up ] && break
  sleep 0.1
done
# Right after the link is up again: the capture rides through the bounce, nothing is lost.
send "$mac" "$stranger" 0x88b5 0.0.0.0 0.0.0.0 1024 16  # LAN download

inA ip link del ze0 || fail "cannot delete ze0"
sleep 0.5
make_veth 192.0.2.20/24
wait_capture "after ze0 was made again"
mac=$(inA cat /sys/class/net/ze0/address)
send "$stranger" "$mac" 0x0800 192.0.2.20 203.0.113.9 1024 24          # Internet upload
send "$mac" "$stranger" 0x86dd 2001:db8:ff::9 2001:db8:1::20 1024 8    # IPv6 Internet download

# Let the sampler take the seconds that hold the frames; an unfinished second is not logged.
sleep 3
pid=
for p in $(pgrep -x zul); do
  tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR" &&
    pid=$p
done
[ -n "$pid" ] || fail "no zul process"
kill -TERM "$pid"
for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "SIGTERM did not end the program within 15 s"
wait "$runner"
rc=$?
runner=
[ "$rc" -eq 0 ] || fail "the program ended with $rc after SIGTERM"
[ -f "$db" ] || fail "no traffic log at $db"
[ "$(grep -c 'capture on the network adapter ze0 stopped' "$work/zul.log")" -eq 1 ] ||
  fail "the lost capture was not told exactly once"

# Flag: view. Up and down in kilobytes, worked out from the frames sent above.
expected="0|24.000|64.000
1|24.000|48.000
2|0.000|16.000
3|24.000|48.000"
got=$(sqlite3 "$db" "select Flag, printf('%.3f', Up), printf('%.3f', Dn) from bw
  where CDate = '$today' and Hour = $hour and Flag between 0 and 3 order by Flag")
if [ "$got" != "$expected" ]; then
  echo "expected:"; echo "$expected"; echo "got:"; echo "$got"
  echo "all records:"; sqlite3 "$db" "select * from bw"
  fail "the hourly records do not hold the injected traffic"
fi
echo "PASS: the program followed ze0 through its address, a bounce and its remaking"
