// The kernel's half of the per-application counts: a socket-creation hook that records who made
// each socket, and packet hooks that add each packet's length to that owner's counters, split by
// direction and by whether the other end is in a local subnet. They never drop a packet and keep
// no policy: names, users and applications are the helper's business.
//
// A packet should cost little: each socket remembers its owner's counter slot and the answer of
// the subnet table for the address it last talked to, so that the usual packet does one array
// lookup and no hash or trie lookup.
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

#define barrier() asm volatile("" ::: "memory")
#define NO_REF (~0ULL)

// A socket's remembered subnet answer: nothing, being written, or the subnets' generation with
// the answer (LAN or not).
#define LAN_TAG_NONE 0u
#define LAN_TAG_BUSY 1u
#define LAN_TAG(gen, lan) ((gen) << 2 | 2u | (lan))

// The helper's network namespace: interface numbers mean something only there.
const volatile __u64 own_netns = 0;
// Whether the packet hooks may ask a packet's socket for its namespace: kernels before the
// helper was allowed there (Debian 12's among them) reject the call, so it is pruned on them
// and the sockets that did not pass the creation hook are counted wherever they live, as
// before.
const volatile __u8 netns_of_packet = 0;
// Whether the process's name may be read: the kernel allows it with CAP_PERFMON alone. Without
// it the programs load all the same, and the cgroup alone names the application.
const volatile __u8 with_comm = 0;

// Set by the helper when it found nothing new; the next counted packet clears it and wakes the
// helper, so that an idle machine wakes nobody.
__u64 wake_armed = 0;
// Moved on by the helper after each refill of the subnets: every remembered answer is then old.
__u32 subnets_gen = 1;
// Slots handed out for the first time; freed ones come back through free_slots.
__u32 slots_used = 0;

// What a socket carries.
struct zul_sock {
  struct zul_owner_key key;
  // Its owner's counters (ZUL_SLOT_REF), NO_REF before its first counted packet.
  __u64 slot_ref;
  // The other end of its last counted packet and what the subnets said of it.
  __u64 remote[2];
  __u32 lan_tag;
  // Set last: the fields above may be read.
  __u32 ready;
  // Zero for a socket of another network namespace.
  __u8 counted;
};

struct {
  __uint(type, BPF_MAP_TYPE_SK_STORAGE);
  __uint(map_flags, BPF_F_NO_PREALLOC);
  __type(key, int);
  __type(value, struct zul_sock);
} sock_owner SEC(".maps");

// Each owner's slot. Not preallocated: an entry that goes stays readable for a packet that
// found it, rather than being handed to another owner under its feet.
struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(map_flags, BPF_F_NO_PREALLOC);
  __uint(max_entries, ZUL_MAX_OWNERS);
  __type(key, struct zul_owner_key);
  __type(value, __u64);
} owner_slot SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
  __uint(max_entries, ZUL_MAX_OWNERS);
  __type(key, __u32);
  __type(value, struct zul_owner_bytes);
} slot_bytes SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, ZUL_MAX_OWNERS);
  __type(key, __u32);
  __type(value, __u32);
} slot_gen SEC(".maps");

// Slots the helper freed, their counters zeroed and their generation moved on.
struct {
  __uint(type, BPF_MAP_TYPE_QUEUE);
  __uint(max_entries, ZUL_MAX_OWNERS);
  __type(value, __u32);
} free_slots SEC(".maps");

// Watched adapters: interface number to the length of its link-layer header, plus one (zero:
// not watched) for the low numbers; the high ones in the hash below.
struct {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, ZUL_LOW_IFINDEX);
  __type(key, __u32);
  __type(value, __u32);
} watched_low SEC(".maps");

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
  struct zul_sock* o = bpf_sk_storage_get(&sock_owner, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
  if (!o) return 1;
  o->key.cgroup = bpf_get_current_cgroup_id();
  o->key.uid = (__u32)bpf_get_current_uid_gid();
  if (with_comm) bpf_get_current_comm(o->key.comm, sizeof(o->key.comm));
  // The same number names another adapter in another namespace.
  o->counted = bpf_get_netns_cookie(sk) == own_netns;
  o->slot_ref = NO_REF;
  // No packet sees the socket before it is made.
  o->ready = 1;
  return 1;
}

// Who owns a socket that did not pass the creation hook.
static __always_inline void owner_from_packet(struct __sk_buff* skb, struct zul_owner_key* key) {
  key->cgroup = bpf_skb_cgroup_id(skb);
  key->uid = bpf_get_socket_uid(skb);
  // The kernel's own sockets (ICMP errors, resets) are root's and never pass the creation
  // hook: system traffic, as are root's sockets from before the counts began.
  if (key->uid == 0) key->uid = ZUL_NO_OWNER;
}

// A socket made before the hooks came, or accepted from a listening one: who owns it, without
// the process's name, kept from its first packet on. Null when another packet of the socket is
// doing the same, or memory is short.
static __always_inline struct zul_sock* adopt(struct __sk_buff* skb, struct bpf_sock* full) {
  struct zul_sock* o = bpf_sk_storage_get(&sock_owner, full, 0, BPF_SK_STORAGE_GET_F_CREATE);
  if (!o) return 0;
  owner_from_packet(skb, &o->key);
  // Once per socket: the same number names another adapter in another namespace.
  o->counted = !netns_of_packet || bpf_get_netns_cookie(skb) == own_netns;
  o->slot_ref = NO_REF;
  __sync_lock_test_and_set(&o->ready, 1);
  return o;
}

// The owner's slot, given one when it has none; NO_REF when every slot is taken.
static __always_inline __u64 slot_of(const struct zul_owner_key* key) {
  const __u64* ref = bpf_map_lookup_elem(&owner_slot, key);
  if (ref) return *ref;
  __u32 slot;
  if (bpf_map_pop_elem(&free_slots, &slot) != 0) {
    if (slots_used >= ZUL_MAX_OWNERS) return NO_REF;
    slot = __sync_fetch_and_add(&slots_used, 1);
    if (slot >= ZUL_MAX_OWNERS) return NO_REF;
  }
  const __u32* gen = bpf_map_lookup_elem(&slot_gen, &slot);
  if (!gen) return NO_REF;
  const __u64 fresh = ZUL_SLOT_REF(slot, *gen);
  if (bpf_map_update_elem(&owner_slot, key, &fresh, BPF_NOEXIST) == 0) return fresh;
  // Another processor gave the owner a slot meanwhile (or the table is full): this one goes back.
  bpf_map_push_elem(&free_slots, &slot, 0);
  ref = bpf_map_lookup_elem(&owner_slot, key);
  return ref ? *ref : NO_REF;
}

static __always_inline struct zul_owner_bytes* counters_at(__u64 ref) {
  const __u32 slot = ZUL_SLOT_OF(ref);
  return bpf_map_lookup_elem(&slot_bytes, &slot);
}

// The socket's counters; the owner is looked up again when the helper freed its slot.
static __always_inline struct zul_owner_bytes* counters_of(struct zul_sock* o) {
  // One load: another processor may be writing it.
  __u64 ref = *(volatile __u64*)&o->slot_ref;
  const __u32 slot = ZUL_SLOT_OF(ref);
  const __u32* gen = bpf_map_lookup_elem(&slot_gen, &slot);
  if (!gen || *gen != ZUL_GEN_OF(ref)) {
    ref = slot_of(&o->key);
    if (ref == NO_REF) return 0;
    *(volatile __u64*)&o->slot_ref = ref;
  }
  return counters_at(ref);
}

static __always_inline int in_subnets(const __u64* remote) {
  struct zul_subnet_key key = {.prefixlen = 128};
  __builtin_memcpy(key.addr, remote, 16);
  return bpf_map_lookup_elem(&local_subnets, &key) != 0;
}

// Whether the other end is in a local subnet, remembered per socket. A seqlock of one: the
// answer is taken only when the tag read before and after the address is the same, and one
// packet at a time writes it. Loads keep their order on the processors the package is built for.
static __always_inline int lan_of(struct zul_sock* o, const __u64* remote) {
  // Before the trie: an answer from a trie being refilled is then already old.
  const __u32 gen = subnets_gen & 0x3FFFFFFF;
  const __u32 tag = *(volatile __u32*)&o->lan_tag;
  barrier();
  if (tag == LAN_TAG(gen, tag & 1) && o->remote[0] == remote[0] && o->remote[1] == remote[1]) {
    barrier();
    if (*(volatile __u32*)&o->lan_tag == tag) return tag & 1;
  }
  const int lan = in_subnets(remote);
  if (tag != LAN_TAG_BUSY && __sync_val_compare_and_swap(&o->lan_tag, tag, LAN_TAG_BUSY) == tag) {
    o->remote[0] = remote[0];
    o->remote[1] = remote[1];
    __sync_lock_test_and_set(&o->lan_tag, LAN_TAG(gen, lan));
  }
  return lan;
}

// Whether the adapter is watched, and the length of its link-layer header.
static __always_inline int watched_link(__u32 ifindex, __u32* link) {
  if (ifindex < ZUL_LOW_IFINDEX) {
    const __u32* v = bpf_map_lookup_elem(&watched_low, &ifindex);
    if (!v || *v == 0) return 0;
    *link = *v - 1;
    return 1;
  }
  const __u32* v = bpf_map_lookup_elem(&watched, &ifindex);
  if (!v) return 0;
  *link = *v;
  return 1;
}

// The other end's address, `at` bytes into the IP header, `n` long, into `to`; from the
// packet's head where it holds the header, else copied out.
static __always_inline int peer(struct __sk_buff* skb, __u32 at, __u32 n, __u8* to) {
  const __u8* data = (const __u8*)(long)skb->data;
  const __u8* end = (const __u8*)(long)skb->data_end;
  if (data + (n == 4 ? 20 : 40) <= end) {
    if (n == 4)
      __builtin_memcpy(to, data + at, 4);
    else
      __builtin_memcpy(to, data + at, 16);
    return 1;
  }
  return bpf_skb_load_bytes(skb, at, to, n) == 0;
}

static __always_inline int count(struct __sk_buff* skb, int egress) {
  const __u32 ifindex = egress ? skb->ifindex : skb->ingress_ifindex;
  __u32 link;
  if (!watched_link(ifindex, &link)) return 1;
  struct bpf_sock* sk = skb->sk;
  if (!sk) return 1;

  struct bpf_sock* full = bpf_sk_fullsock(sk);
  struct zul_sock* o = 0;
  if (full) {
    o = bpf_sk_storage_get(&sock_owner, full, 0, 0);
    if (!o) o = adopt(skb, full);
    if (o && !*(volatile __u32*)&o->ready) o = 0;
    if (o && !o->counted) return 1;
  }

  // The other end, IPv4 as ::ffff:a.b.c.d.
  __u64 remote[2] = {};
  if (skb->protocol == bpf_htons(ETH_P_IP)) {
    ((__u8*)remote)[10] = 0xff;
    ((__u8*)remote)[11] = 0xff;
    if (!peer(skb, egress ? 16 : 12, 4, (__u8*)remote + 12)) return 1;
  } else if (skb->protocol == bpf_htons(ETH_P_IPV6)) {
    if (!peer(skb, egress ? 24 : 8, 16, (__u8*)remote)) return 1;
  } else {
    return 1;
  }

  int lan;
  struct zul_owner_bytes* b;
  if (o) {
    lan = lan_of(o, remote);
    b = counters_of(o);
  } else {
    // A socket that keeps nothing: one past its end (time-wait) or half-open (a listener's
    // answer), which the kernel answers for, or one whose record another packet is still
    // writing. Few packets each: they may ask for the namespace every time.
    if (netns_of_packet && bpf_get_netns_cookie(skb) != own_netns) return 1;
    struct zul_owner_key key = {};
    if (full)
      owner_from_packet(skb, &key);
    else
      key.uid = ZUL_NO_OWNER;
    lan = in_subnets(remote);
    const __u64 ref = slot_of(&key);
    b = ref == NO_REF ? 0 : counters_at(ref);
  }
  // A full table: the packet is left to the adapters' own counts.
  if (!b) return 1;
  // Atomic even on this processor's own copy: a packet handled in an interrupt may break into
  // one handled for a process. A fixed offset on each path: without CAP_PERFMON the kernel
  // allows no offset into a map value that differs by path, and the empty statement keeps the
  // compiler from merging the two.
  const __u64 n = (__u64)skb->len + link;
  if (lan) {
    __sync_fetch_and_add(&b->bytes[2 + egress], n);
    barrier();
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
