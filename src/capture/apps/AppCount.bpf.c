// The kernel's half of the per-application counts: a socket-creation hook that records who made
// each socket, and packet hooks that add each packet's length to that owner's counters, split by
// direction and by whether the other end is in a local subnet. They never drop a packet and keep
// no policy: names, users and applications are the helper's business.
// SPDX-License-Identifier: GPL-2.0-only
// The library's helpers use the kernel's types, so those come first.
// clang-format off
#include <linux/types.h>
#include <linux/bpf.h>
#include <linux/if_ether.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
// clang-format on

#include "capture/apps/AppCountShared.h"

char LICENSE[] SEC("license") = "GPL";

// The helper's network namespace: interface numbers mean something only there.
const volatile __u64 own_netns = 0;
// Whether the process's name may be read: the kernel allows it with CAP_PERFMON alone. Without
// it the programs load all the same, and the cgroup alone names the application.
const volatile __u8 with_comm = 0;

// Set by the helper when it found nothing new; the next counted packet clears it and wakes the
// helper, so that an idle machine wakes nobody.
__u64 wake_armed = 0;

struct {
  __uint(type, BPF_MAP_TYPE_SK_STORAGE);
  __uint(map_flags, BPF_F_NO_PREALLOC);
  __type(key, int);
  __type(value, struct zul_owner);
} sock_owner SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_HASH);
  __uint(max_entries, ZUL_MAX_OWNERS);
  __type(key, struct zul_owner_key);
  __type(value, struct zul_owner_bytes);
} owner_bytes SEC(".maps");

// Watched adapters: interface number to the length of its link-layer header.
struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, ZUL_MAX_WATCHED);
  __type(key, __u32);
  __type(value, __u32);
} watched SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_LPM_TRIE);
  __uint(map_flags, BPF_F_NO_PREALLOC);
  __uint(max_entries, ZUL_MAX_SUBNETS);
  __type(key, struct zul_subnet_key);
  __type(value, __u8);
} local_subnets SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_RINGBUF);
  __uint(max_entries, 4096);
} wake SEC(".maps");

SEC("cgroup/sock_create")
int record_owner(struct bpf_sock* sk) {
  if (sk->family != 2 /* AF_INET */ && sk->family != 10 /* AF_INET6 */) return 1;
  struct zul_owner* o = bpf_sk_storage_get(&sock_owner, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
  if (!o) return 1;
  o->key.cgroup = bpf_get_current_cgroup_id();
  o->key.uid = (__u32)bpf_get_current_uid_gid();
  if (with_comm) bpf_get_current_comm(o->key.comm, sizeof(o->key.comm));
  o->netns = bpf_get_netns_cookie(sk);
  return 1;
}

static __always_inline int count(struct __sk_buff* skb, int egress) {
  const __u32 ifindex = egress ? skb->ifindex : skb->ingress_ifindex;
  const __u32* link = bpf_map_lookup_elem(&watched, &ifindex);
  if (!link) return 1;
  struct bpf_sock* sk = skb->sk;
  if (!sk) return 1;

  struct zul_owner_key key = {};
  struct bpf_sock* full = bpf_sk_fullsock(sk);
  struct zul_owner* o = full ? bpf_sk_storage_get(&sock_owner, full, 0, 0) : 0;
  if (o) {
    // The same number names another adapter in another namespace.
    if (o->netns != own_netns) return 1;
    key = o->key;
  } else if (full) {
    // A socket made before the hooks came: who owns it, without the process's name.
    key.cgroup = bpf_skb_cgroup_id(skb);
    key.uid = bpf_get_socket_uid(skb);
    // The kernel's own sockets (ICMP errors, resets) are root's and never pass the creation
    // hook: system traffic, as are root's sockets from before the counts began.
    if (key.uid == 0) key.uid = ZUL_NO_OWNER;
  } else {
    // A socket past its end (time-wait): the kernel answers for it.
    key.uid = ZUL_NO_OWNER;
  }

  struct zul_subnet_key remote = {};
  if (skb->protocol == bpf_htons(ETH_P_IP)) {
    remote.prefixlen = 128;
    remote.addr[10] = 0xff;
    remote.addr[11] = 0xff;
    if (bpf_skb_load_bytes(skb, egress ? 16 : 12, &remote.addr[12], 4) != 0) return 1;
  } else if (skb->protocol == bpf_htons(ETH_P_IPV6)) {
    remote.prefixlen = 128;
    if (bpf_skb_load_bytes(skb, egress ? 24 : 8, remote.addr, 16) != 0) return 1;
  } else {
    return 1;
  }
  const int lan = bpf_map_lookup_elem(&local_subnets, &remote) != 0;

  struct zul_owner_bytes* b = bpf_map_lookup_elem(&owner_bytes, &key);
  if (!b) {
    const struct zul_owner_bytes zero = {};
    bpf_map_update_elem(&owner_bytes, &key, &zero, BPF_NOEXIST);
    b = bpf_map_lookup_elem(&owner_bytes, &key);
    // A full table: the packet is left to the adapters' own counts.
    if (!b) return 1;
  }
  // Atomic even on this processor's own copy: a packet handled in an interrupt may break into
  // one handled for a process. A fixed offset on each path: without CAP_PERFMON the kernel
  // allows no offset into a map value that differs by path, and the empty statement keeps the
  // compiler from merging the two.
  const __u64 n = (__u64)skb->len + *link;
  if (lan) {
    __sync_fetch_and_add(&b->bytes[2 + egress], n);
    asm volatile("" ::: "memory");
  } else {
    __sync_fetch_and_add(&b->bytes[egress], n);
  }

  if (wake_armed && __sync_val_compare_and_swap(&wake_armed, 1, 0) == 1) {
    __u32 one = 1;
    bpf_ringbuf_output(&wake, &one, sizeof(one), 0);
  }
  return 1;
}

SEC("cgroup_skb/ingress")
int count_ingress(struct __sk_buff* skb) {
  return count(skb, 0);
}

SEC("cgroup_skb/egress")
int count_egress(struct __sk_buff* skb) {
  return count(skb, 1);
}
