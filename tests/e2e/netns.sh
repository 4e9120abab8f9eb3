# shellcheck shell=bash
# Two network namespaces joined by a veth pair, for the scripts that inject frames at layer 2
# into the program's namespace. Sourced after `set -u`, once `fail` is defined:
#   . "$(dirname "$0")/netns.sh" PREFIX INJECTOR-BINARY
# nsA holds ze0, the program's adapter; nsB holds ze1, where the injector sends from. Neither has
# IPv6, so neither stack adds traffic of its own. The script calls `make_netns` to create them,
# `netns_cleanup` on its way out, and has `inA`/`inB`, `make_veth`, `capturing` and `send`.
nsA=${1}$$a
nsB=${1}$$b
netns_inject=${2:-}
netns_made=

inA() { ip netns exec "$nsA" "$@"; }
inB() { ip netns exec "$nsB" "$@"; }

netns_cleanup() {
  [ -n "$netns_made" ] || return 0
  ip netns delete "$nsA" 2>/dev/null
  ip netns delete "$nsB" 2>/dev/null
}

make_netns() {
  netns_made=1
  ip netns add "$nsA" && ip netns add "$nsB" || fail "cannot create network namespaces"
  local ns
  for ns in "$nsA" "$nsB"; do
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
      net.ipv6.conf.default.disable_ipv6=1 || fail "cannot turn IPv6 off in $ns"
  done
}

# make_veth [ADDRESS/PREFIX]: the pair, up, with the address on ze0 when given.
make_veth() {
  ip link add ze0 netns "$nsA" type veth peer name ze1 netns "$nsB" || fail "cannot create veth"
  if [ -n "${1:-}" ]; then inA ip addr add "$1" dev ze0 || fail "cannot address ze0"; fi
  inA ip link set ze0 up && inB ip link set ze1 up || fail "cannot bring the veth up"
}

# Whether some process in nsA holds a packet socket on ze0 as it is now: capture is on, whichever
# process of the program opened it.
capturing() {
  local ifindex
  ifindex=$(inA cat /sys/class/net/ze0/ifindex) || return 1
  inA awk -v i="$ifindex" 'NR > 1 && $5 == i { found = 1 } END { exit !found }' /proc/net/packet
}

# send DST-MAC SRC-MAC ETHERTYPE SRC-IP DST-IP LENGTH COUNT: frames from ze1 to ze0.
send() {
  inB "$netns_inject" ze1 "$@" >/dev/null || fail "injection of $* failed"
}
