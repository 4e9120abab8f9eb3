#include "capture/apps/AppKernel.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "AppCount.skel.h"
#include "platform/UniqueFd.h"

namespace zul {
namespace {

// Keys of a map, as raw bytes.
template <typename K>
std::vector<K> Keys(int fd) {
  std::vector<K> keys;
  K key{}, next{};
  const void* prev = nullptr;
  while (bpf_map_get_next_key(fd, prev, &next) == 0) {
    keys.push_back(next);
    key = next;
    prev = &key;
  }
  return keys;
}

// Makes a map hold exactly `want`: new entries first, then the old ones go, so that no packet
// meanwhile finds the map empty.
template <typename K, typename V>
bool Replace(int fd, const std::vector<std::pair<K, V>>& want) {
  for (const auto& [k, v] : want)
    if (bpf_map_update_elem(fd, &k, &v, BPF_ANY) != 0) return false;
  for (const K& old : Keys<K>(fd)) {
    const bool kept = std::any_of(want.begin(), want.end(), [&](const auto& e) {
      return std::memcmp(&e.first, &old, sizeof(K)) == 0;
    });
    if (!kept) bpf_map_delete_elem(fd, &old);
  }
  return true;
}

int QuietLibbpf(enum libbpf_print_level level, const char* format, va_list args) {
  // Only the library's warnings and errors, for the reason shown to the user.
  if (level == LIBBPF_DEBUG || level == LIBBPF_INFO) return 0;
  return std::vfprintf(stderr, format, args);
}

int TakeWakeRecord(void*, void*, size_t) {
  return 0;
}

}  // namespace

TAppKernel::TAppKernel() = default;

TAppKernel::~TAppKernel() {
  if (Wake != nullptr) ring_buffer__free(Wake);
  // Destroying the links detaches the programs.
  if (Skel != nullptr) app_count::destroy(Skel);
}

TKernelOpen TAppKernel::Open(const std::string& cgroupRoot, uint64_t netns, bool withNames,
                             std::string& error) {
  libbpf_set_print(QuietLibbpf);
  const int cpus = libbpf_num_possible_cpus();
  CpuCount = cpus > 0 ? cpus : 1;
  TUniqueFd cgroup(::open(cgroupRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!cgroup) {
    error = "cannot open the cgroup hierarchy " + cgroupRoot + ": " + std::strerror(errno);
    return TKernelOpen::NoHierarchy;
  }
  Skel = app_count::open();
  if (Skel == nullptr) {
    error = std::string("cannot open the counting programs: ") + std::strerror(errno);
    return TKernelOpen::Failed;
  }
  Skel->rodata->own_netns = netns;
  Skel->rodata->with_comm = withNames ? 1 : 0;
  Skel->rodata->netns_of_packet = netns != 0 && KnowsPacketNamespace() ? 1 : 0;
  if (const int err = app_count::load(Skel); err != 0) {
    const int e = -err;
    error = std::string("the kernel did not load the counting programs: ") + std::strerror(e);
    return e == EPERM || e == EACCES ? TKernelOpen::Denied : TKernelOpen::Unsupported;
  }
  struct {
    bpf_program* Prog;
    bpf_link** Link;
  } const hooks[] = {{Skel->progs.record_owner, &Skel->links.record_owner},
                     {Skel->progs.count_ingress, &Skel->links.count_ingress},
                     {Skel->progs.count_egress, &Skel->links.count_egress}};
  for (const auto& h : hooks) {
    *h.Link = bpf_program__attach_cgroup(h.Prog, cgroup.Get());
    if (*h.Link == nullptr) {
      const int e = errno;
      error = std::string(
                  "the kernel did not attach the counting programs to the cgroup "
                  "hierarchy: ") +
              std::strerror(e);
      return e == EPERM || e == EACCES ? TKernelOpen::Denied : TKernelOpen::Unsupported;
    }
  }
  Wake = ring_buffer__new(bpf_map__fd(Skel->maps.wake), TakeWakeRecord, nullptr, nullptr);
  if (Wake == nullptr) {
    error = std::string("cannot read the counting programs' wake-ups: ") + std::strerror(errno);
    return TKernelOpen::Unsupported;
  }
  return TKernelOpen::Ok;
}

bool TAppKernel::KnowsPacketNamespace() {
  return libbpf_probe_bpf_helper(BPF_PROG_TYPE_CGROUP_SKB, BPF_FUNC_get_netns_cookie, nullptr) > 0;
}

bool TAppKernel::SetAdapters(const std::vector<TKernelAdapter>& adapters) {
  const int lowFd = bpf_map__fd(Skel->maps.watched_low);
  std::vector<std::pair<uint32_t, uint32_t>> high;
  std::vector<uint32_t> low;
  for (const TKernelAdapter& a : adapters) {
    if (a.IfIndex >= ZUL_LOW_IFINDEX) {
      high.emplace_back(a.IfIndex, a.LinkHeader);
      continue;
    }
    const uint32_t value = a.LinkHeader + 1;
    if (bpf_map_update_elem(lowFd, &a.IfIndex, &value, BPF_ANY) != 0) {
      // Those marked so far stay marked until a list that works replaces them.
      LowWatched.insert(LowWatched.end(), low.begin(), low.end());
      return false;
    }
    low.push_back(a.IfIndex);
  }
  // New ones first, then the old ones go, as with the hash.
  for (const uint32_t old : LowWatched) {
    if (std::find(low.begin(), low.end(), old) != low.end()) continue;
    const uint32_t off = 0;
    bpf_map_update_elem(lowFd, &old, &off, BPF_ANY);
  }
  LowWatched = std::move(low);
  return Replace(bpf_map__fd(Skel->maps.watched), high);
}

bool TAppKernel::SetSubnets(const std::vector<TKernelSubnet>& subnets) {
  std::vector<std::pair<zul_subnet_key, uint8_t>> want;
  want.reserve(subnets.size());
  for (const TKernelSubnet& s : subnets) {
    zul_subnet_key k{};
    k.prefixlen = std::min<uint32_t>(s.PrefixLength, 128);
    std::memcpy(k.addr, s.Addr, sizeof(k.addr));
    want.emplace_back(k, uint8_t{1});
  }
  const bool ok = Replace(bpf_map__fd(Skel->maps.local_subnets), want);
  // Only now, and even after a refill cut short: the sockets' remembered answers are old, and a
  // packet that read the new generation finds the table as it stays.
  __atomic_add_fetch(&Skel->data->subnets_gen, 1, __ATOMIC_SEQ_CST);
  return ok;
}

bool TAppKernel::ReadTotals(std::vector<TOwnerTotal>& out) {
  Recycle();
  out.clear();
  const int slots = bpf_map__fd(Skel->maps.owner_slot);
  const int bytes = bpf_map__fd(Skel->maps.slot_bytes);
  std::vector<zul_owner_bytes> values(static_cast<std::size_t>(CpuCount));
  zul_owner_key key{}, next{};
  const void* prev = nullptr;
  for (;;) {
    if (bpf_map_get_next_key(slots, prev, &next) != 0) return errno == ENOENT;
    key = next;
    prev = &key;
    uint64_t ref = 0;
    // One that went between the two calls is simply not there.
    if (bpf_map_lookup_elem(slots, &key, &ref) != 0) continue;
    const uint32_t slot = ZUL_SLOT_OF(ref);
    if (bpf_map_lookup_elem(bytes, &slot, values.data()) != 0) continue;
    TOwnerTotal t;
    t.Key = key;
    for (const zul_owner_bytes& v : values) {
      t.Bytes.InternetDown += v.bytes[0];
      t.Bytes.InternetUp += v.bytes[1];
      t.Bytes.LanDown += v.bytes[2];
      t.Bytes.LanUp += v.bytes[3];
    }
    out.push_back(t);
  }
}

void TAppKernel::Forget(const zul_owner_key& key) {
  const int slots = bpf_map__fd(Skel->maps.owner_slot);
  uint64_t ref = 0;
  if (bpf_map_lookup_elem(slots, &key, &ref) != 0 || bpf_map_delete_elem(slots, &key) != 0) return;
  // Sockets that remember the slot see its generation change and look their owner up again.
  const uint32_t slot = ZUL_SLOT_OF(ref);
  const uint32_t gen = ZUL_GEN_OF(ref) + 1;
  if (bpf_map_update_elem(bpf_map__fd(Skel->maps.slot_gen), &slot, &gen, BPF_ANY) != 0) return;
  Freed.push_back({slot, std::chrono::steady_clock::now()});
}

void TAppKernel::Recycle() {
  // A packet that read the old generation just before it moved on may still be adding: a
  // second is far longer than any program runs.
  const auto before = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  const std::vector<zul_owner_bytes> zero(static_cast<std::size_t>(CpuCount));
  std::erase_if(Freed, [&](const TFreed& f) {
    if (f.At > before) return false;
    if (bpf_map_update_elem(bpf_map__fd(Skel->maps.slot_bytes), &f.Slot, zero.data(), BPF_ANY) == 0)
      bpf_map_update_elem(bpf_map__fd(Skel->maps.free_slots), nullptr, &f.Slot, BPF_ANY);
    return true;
  });
}

int TAppKernel::WakeDescriptor() const {
  return ring_buffer__epoll_fd(Wake);
}

void TAppKernel::ArmWake() {
  __atomic_store_n(&Skel->bss->wake_armed, 1, __ATOMIC_SEQ_CST);
}

void TAppKernel::TakeWake() {
  ring_buffer__consume(Wake);
}

bool TAppKernel::CanRead() const {
  zul_owner_key next{};
  return bpf_map_get_next_key(bpf_map__fd(Skel->maps.owner_slot), nullptr, &next) == 0 ||
         errno == ENOENT;
}

}  // namespace zul
