// The records that the kernel's counting programs and the helper share: both sides include this.
#pragma once

#include <linux/types.h>

#define ZUL_MAX_OWNERS 16384
#define ZUL_MAX_WATCHED 64
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

// What the socket-creation hook records for each socket.
struct zul_owner {
  struct zul_owner_key key;
  __u64 netns;
};

// Internet down, Internet up, LAN down, LAN up.
struct zul_owner_bytes {
  __u64 bytes[4];
};

// A local subnet, or the address looked up: IPv4 as ::ffff:a.b.c.d.
struct zul_subnet_key {
  __u32 prefixlen;
  __u8 addr[16];
};
