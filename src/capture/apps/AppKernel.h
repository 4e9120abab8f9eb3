// The helper's handle on the kernel's counting programs: loads them, attaches them to the root of
// the cgroup hierarchy by links (the helper's end detaches them; other programs there stay), fills
// the adapters and subnets they count by, and reads the owners' totals. No Qt.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/AppUsage.h"
#include "capture/apps/AppCountShared.h"

struct app_count;
struct ring_buffer;

namespace zul {

// A watched adapter as the programs know it: its number and the length of its link-layer
// header, added to each packet so that the sums match the adapters' frame counts.
struct TKernelAdapter {
  uint32_t IfIndex = 0;
  uint32_t LinkHeader = 0;
};

// A local subnet: IPv4 as ::ffff:a.b.c.d with 96 added to its prefix length.
struct TKernelSubnet {
  uint32_t PrefixLength = 0;
  uint8_t Addr[16] = {};
};

struct TOwnerTotal {
  zul_owner_key Key{};
  TAppBytes Bytes;
};

// Why the programs could not be put to work.
enum class TKernelOpen { Ok, NoHierarchy, Denied, Unsupported, Failed };

class TAppKernel {
 public:
  TAppKernel();
  ~TAppKernel();
  TAppKernel(const TAppKernel&) = delete;
  TAppKernel& operator=(const TAppKernel&) = delete;

  // Loads and attaches to the hierarchy mounted at `cgroupRoot`; `netns` is the helper's
  // namespace's cookie (0: unknown); `withNames` has the programs record the name of the process
  // that made each socket, which the kernel allows with CAP_PERFMON. Anything but Ok comes with
  // the reason in `error`.
  TKernelOpen Open(const std::string& cgroupRoot, uint64_t netns, bool withNames,
                   std::string& error);

  // Whether this kernel lets the packet hooks ask a socket for its namespace. Without it,
  // sockets made before the programs came and accepted ones are counted whatever their
  // namespace, on any adapter whose number is watched here.
  static bool KnowsPacketNamespace();

  // Replace what the programs count by; false with errno when the kernel refused.
  bool SetAdapters(const std::vector<TKernelAdapter>& adapters);
  bool SetSubnets(const std::vector<TKernelSubnet>& subnets);

  // Every owner's totals since the programs came.
  bool ReadTotals(std::vector<TOwnerTotal>& out);
  // Frees an owner's counters (an idle one, when the table fills). Its slot is handed out again
  // a while later, once no packet can still be adding to it.
  void Forget(const zul_owner_key& key);
  std::size_t Capacity() const { return ZUL_MAX_OWNERS; }

  // Readable after ArmWake once a packet was counted.
  int WakeDescriptor() const;
  void ArmWake();
  void TakeWake();

  // Whether a map can be read now (the kernel may refuse without CAP_BPF).
  bool CanRead() const;

 private:
  struct TFreed {
    uint32_t Slot;
    std::chrono::steady_clock::time_point At;
  };
  // Zeroes the counters of slots freed long enough ago and hands them back to the programs.
  void Recycle();

  app_count* Skel = nullptr;
  ring_buffer* Wake = nullptr;
  int CpuCount = 1;
  std::vector<TFreed> Freed;
  // The low interface numbers marked in the programs' array.
  std::vector<uint32_t> LowWatched;
};

}  // namespace zul
