// The records that the kernel's counting programs and the helper share: both sides include this.
#pragma once

#include <linux/types.h>

#define ZUL_MAX_OWNERS 16384
#define ZUL_MAX_WATCHED 64
// Interface numbers below this, nearly all, are looked up in an array rather than a hash.
#define ZUL_LOW_IFINDEX 4096
#define ZUL_MAX_SUBNETS 256
// The owner of a socket that no longer has one: counted as the kernel's own.
#define ZUL_NO_OWNER 0xFFFFFFFFu

// Who made a socket: the counters' key.
struct zul_owner_key {
  __u64 cgroup;
  __u32 uid;
  char comm[16];
  __u32 pad;
};

// Where an owner's counters are: the slot in the low half, the slot's generation when the owner
// got it in the high half. The helper moves a slot's generation on when it frees the slot, so
// that sockets that remember the slot look their owner up again.
#define ZUL_SLOT_OF(ref) ((__u32)(ref))
#define ZUL_GEN_OF(ref) ((__u32)((ref) >> 32))
#define ZUL_SLOT_REF(slot, gen) ((__u64)(gen) << 32 | (__u32)(slot))

// Internet down, Internet up, LAN down, LAN up.
struct zul_owner_bytes {
  __u64 bytes[4];
};

// A local subnet, or the address looked up: IPv4 as ::ffff:a.b.c.d.
struct zul_subnet_key {
  __u32 prefixlen;
  __u8 addr[16];
};
