#!/usr/bin/env bash
# The real program, inside a network namespace of its own, counts frames injected at layer 2
# into the right views: after SIGTERM the hourly records of the current hour in the traffic log
# hold exactly the injected bytes (kilobytes = bytes / 1024). With "unprivileged", it runs as
# the user nobody from a copy of the program whose capture helper alone has the capabilities,
# and the running program must hold none.
#
#   capture_e2e.sh ZUL-BINARY INJECTOR-BINARY [unprivileged]
set -u
zul=$1
inject=$2
mode=${3:-root}
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root (network namespaces, packet capture)"; exit 77; }
tools=(xvfb-run sqlite3 ip)
[ "$mode" = unprivileged ] && tools+=(setcap getpcaps setpriv)
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ -x "$zul" ] || { echo "SKIP: no program at $zul"; exit 77; }

. "$(dirname "$0")/netns.sh" zule2e "$inject"
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
make_veth 192.0.2.20/24
mac=$(inA cat /sys/class/net/ze0/address)
stranger=02:00:5e:10:00:77

# Keep the whole run inside one hour of the clock.
if [ "$((10#$(date +%M)))" -eq 59 ] && [ "$((10#$(date +%S)))" -ge 30 ]; then
  sleep $((62 - 10#$(date +%S)))
fi

export HOME=$work/home XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
db=$XDG_DATA_HOME/Halvane/ZUL/db/bw.DB

as_user=()
if [ "$mode" = unprivileged ]; then
  # The program's folder as an install lays it out, open to every user; only the helper gets
  # the capabilities.
  bin=$work/bin
  mkdir -p "$bin" "$XDG_DATA_HOME" && chmod 755 "$work" "$bin"
  cp "$zul" "$(dirname "$zul")/zul-capture" "$bin/" || fail "no capture helper next to $zul"
  [ -f "$(dirname "$zul")/Alert.wav" ] && cp "$(dirname "$zul")/Alert.wav" "$bin/"
  setcap cap_net_raw,cap_net_admin+eip "$bin/zul-capture" || fail "cannot give the helper its capabilities"
  chown -R nobody "$HOME" "$XDG_RUNTIME_DIR" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" 2>/dev/null
  mkdir -p "$XDG_CONFIG_HOME" && chown nobody "$XDG_CONFIG_HOME"
  zul=$bin/zul
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all)
fi

inA "${as_user[@]}" xvfb-run -a -s "-screen 0 1280x1024x24" "$zul" >"$work/zul.log" 2>&1 &
runner=$!

# Capture is on once the program holds a packet socket on ze0.
opened=
for _ in $(seq 200); do
  capturing 2>/dev/null && { opened=1; break; }
  kill -0 "$runner" 2>/dev/null || fail "the program ended early"
  sleep 0.1
done
[ -n "$opened" ] || fail "the program did not start capturing on ze0 within 20 s"
sleep 0.5
hour=$(date +%-H)
today=$(date +%F)

send "$mac" "$stranger" 0x0800 198.51.100.7 192.0.2.20 1024 40  # Internet download
send "$stranger" "$mac" 0x0800 192.0.2.20 203.0.113.9 1024 24  # Internet upload
send "$mac" "$stranger" 0x88b5 0.0.0.0 0.0.0.0 1024 16         # LAN download
send "$stranger" "$stranger" 0x0800 203.0.113.9 192.0.2.7 1024 8  # another computer's download
send "$stranger" "$mac" 0x88b5 0.0.0.0 0.0.0.0 512 4           # LAN upload

# Let the sampler take the seconds that hold the frames; an unfinished second is not logged.
sleep 3
pid=
for p in $(pgrep -x zul); do
  tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR" &&
    pid=$p
done
[ -n "$pid" ] || fail "no zul process"
if [ "$mode" = unprivileged ]; then
  [ "$(stat -c %U "/proc/$pid")" = nobody ] || fail "the program does not run as nobody"
  caps=$(getpcaps "$pid" 2>&1)
  case "$caps" in
    *"="*cap_*) fail "the running program holds capabilities: $caps" ;;
  esac
  grep -q '^CapEff:[[:space:]]*0*$' "/proc/$pid/status" || fail "the program's effective capabilities are not empty"
  echo "getpcaps on the running program: $caps"
fi
# A second signal while the first is being handled must not write the hour twice.
kill -TERM "$pid"
kill -TERM "$pid" 2>/dev/null
for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "SIGTERM did not end the program within 15 s"
wait "$runner"
rc=$?
runner=
[ "$rc" -eq 0 ] || fail "the program ended with $rc after SIGTERM"
[ -f "$db" ] || fail "no traffic log at $db"

# Flag: view. Up and down in kilobytes, worked out from the frames sent above.
expected="0|26.000|56.000
1|24.000|40.000
2|2.000|16.000
3|24.000|48.000"
got=$(sqlite3 "$db" "select Flag, printf('%.3f', Up), printf('%.3f', Dn) from bw
  where CDate = '$today' and Hour = $hour and Flag between 0 and 3 order by Flag")
if [ "$got" != "$expected" ]; then
  echo "expected:"; echo "$expected"; echo "got:"; echo "$got"
  echo "all records:"; sqlite3 "$db" "select * from bw"
  fail "the hourly records do not hold the injected traffic"
fi
echo "PASS ($mode): the injected frames are in the hourly records of hour $hour, view by view"
