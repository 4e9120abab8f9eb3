#include "capture/apps/AppHelper.h"

#include <arpa/inet.h>
#include <linux/capability.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "capture/AppIdentity.h"
#include "platform/Log.h"
#include "platform/UniqueFd.h"

namespace zul {
namespace {

using Clock = std::chrono::steady_clock;

// Owners idle this long give their place when the table fills.
constexpr auto kIdleOwner = std::chrono::seconds(60);

#ifndef SO_NETNS_COOKIE
#define SO_NETNS_COOKIE 71
#endif

bool SetCapabilities(uint64_t permitted, uint64_t effective) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  data[0].permitted = static_cast<uint32_t>(permitted);
  data[1].permitted = static_cast<uint32_t>(permitted >> 32);
  data[0].effective = static_cast<uint32_t>(effective);
  data[1].effective = static_cast<uint32_t>(effective >> 32);
  return syscall(SYS_capset, &header, data) == 0;
}

// What is left of the privileges once the programs are attached: reading their counters, which
// older kernels refuse without CAP_BPF, and nothing else; no way to gain any. The helper is one
// thread, so one call covers it.
void DropToReading(const TAppKernel& kernel) {
  constexpr uint64_t kBpf = uint64_t{1} << CAP_BPF;
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  if (!SetCapabilities(kBpf, 0)) SetCapabilities(0, 0);
  if (kernel.CanRead()) {
    SetCapabilities(0, 0);
    return;
  }
  if (!SetCapabilities(kBpf, kBpf)) LogLine("cannot keep the right to read the counters");
}

// Whether the kernel lets the programs read process names (CAP_PERFMON, or CAP_SYS_ADMIN).
bool MayReadNames() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  const uint64_t effective = data[0].effective | uint64_t{data[1].effective} << 32;
  return (effective & (uint64_t{1} << CAP_PERFMON | uint64_t{1} << CAP_SYS_ADMIN)) != 0;
}

std::string ReadText(const char* path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

uint64_t NetnsCookie() {
  TUniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  uint64_t cookie = 0;
  socklen_t len = sizeof(cookie);
  if (!s || ::getsockopt(s.Get(), SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &len) != 0) return 0;
  return cookie;
}

// The watched adapters of this network namespace as the programs know them. A name that names
// no adapter (yet) is passed over: the program sends the list again when adapters change.
std::vector<TKernelAdapter> ResolveAdapters(const TWatchedAdapters& adapters) {
  std::vector<TKernelAdapter> out;
  TUniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  for (const TWatchedAdapter& a : adapters) {
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, a.Name.data(), std::min(a.Name.size(), sizeof(ifr.ifr_name) - 1));
    const unsigned index = if_nametoindex(a.Name.c_str());
    if (index == 0 || !s || ::ioctl(s.Get(), SIOCGIFHWADDR, &ifr) != 0) continue;
    const int type = ifr.ifr_hwaddr.sa_family;
    if (type == ARPHRD_LOOPBACK) continue;
    out.push_back({index, type == ARPHRD_ETHER ? 14u : 0u});
  }
  return out;
}

int PrefixOf(const uint8_t* mask, int bytes) {
  int n = 0;
  for (int i = 0; i < bytes; ++i)
    for (int b = 7; b >= 0; --b) {
      if ((mask[i] >> b & 1) == 0) return n;
      ++n;
    }
  return n;
}

TKernelSubnet V4(uint32_t netNetworkOrder, int prefix) {
  TKernelSubnet s;
  s.PrefixLength = static_cast<uint32_t>(96 + prefix);
  s.Addr[10] = s.Addr[11] = 0xFF;
  std::memcpy(s.Addr + 12, &netNetworkOrder, 4);
  return s;
}

TKernelSubnet V6(std::initializer_list<uint8_t> head, int prefix) {
  TKernelSubnet s;
  s.PrefixLength = static_cast<uint32_t>(prefix);
  std::copy(head.begin(), head.end(), s.Addr);
  return s;
}

class TAppCounting {
 public:
  explicit TAppCounting(const volatile sig_atomic_t& stop) : Stop(stop) {}
  int Run();

 private:
  struct TOwner {
    TAppBytes Last;
    std::string App;  // empty: the kernel's own, left to "System"
    Clock::time_point Changed;
  };

  bool TakeInput(bool& inputOpen);
  // Reads the totals and sends what changed; whether anything did. False in `ok` when the
  // program went away.
  bool Tick(bool& ok);
  std::string AppOf(const zul_owner_key& key, bool& rescanned);
  void SetTimer(bool on);

  const volatile sig_atomic_t& Stop;
  TAppKernel Kernel;
  std::unique_ptr<TCgroupPaths> Cgroups;
  TStreamParser Control{kStreamControl};
  TStreamWriter Out;
  TUniqueFd Timer;
  bool Ticking = false;
  std::map<std::string, TOwner> Owners;
  std::vector<TOwnerTotal> Totals;
  uid_t MyUid = getuid();
};

std::string TAppCounting::AppOf(const zul_owner_key& key, bool& rescanned) {
  if (key.uid == ZUL_NO_OWNER) return {};
  // No user sees another's applications.
  if (key.uid != MyUid) return std::string(kOtherUsersApp);
  const std::string comm(key.comm, strnlen(key.comm, sizeof(key.comm)));
  std::optional<std::string> path;
  if (key.cgroup != 0) {
    path = Cgroups->Find(key.cgroup, !rescanned);
    rescanned = true;
  }
  return AppIdentity(path.value_or(""), comm);
}

bool TAppCounting::Tick(bool& ok) {
  ok = true;
  if (!Kernel.ReadTotals(Totals)) {
    LogLine(std::string("cannot read the application counters: ") + std::strerror(errno));
    return false;
  }
  const auto now = Clock::now();
  bool rescanned = false;
  std::map<std::string, TAppBytes> sums;
  std::map<std::string, TOwner> next;
  for (const TOwnerTotal& t : Totals) {
    const std::string k(reinterpret_cast<const char*>(&t.Key), sizeof(t.Key));
    auto it = Owners.find(k);
    TOwner o;
    if (it != Owners.end()) {
      o = std::move(it->second);
    } else {
      o.App = AppOf(t.Key, rescanned);
      o.Changed = now;
    }
    // Counters only grow; one that shrank was made again.
    auto d = [](uint64_t total, uint64_t last) { return total >= last ? total - last : total; };
    const TAppBytes delta{d(t.Bytes.InternetDown, o.Last.InternetDown),
                          d(t.Bytes.InternetUp, o.Last.InternetUp),
                          d(t.Bytes.LanDown, o.Last.LanDown), d(t.Bytes.LanUp, o.Last.LanUp)};
    o.Last = t.Bytes;
    if (delta.Total() != 0) {
      o.Changed = now;
      if (!o.App.empty()) sums[o.App] += delta;
    }
    next.emplace(k, std::move(o));
  }
  Owners = std::move(next);
  // A full table counts no new owner: the idle ones make room.
  if (Owners.size() > Kernel.Capacity() / 2) {
    for (auto it = Owners.begin(); it != Owners.end();) {
      if (now - it->second.Changed > kIdleOwner) {
        zul_owner_key key;
        std::memcpy(&key, it->first.data(), sizeof(key));
        Kernel.Forget(key);
        it = Owners.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (sums.empty()) return false;
  TAppDeltas deltas;
  for (auto& [app, bytes] : sums) deltas.push_back({app, bytes});
  for (std::size_t at = 0; at < deltas.size(); at += kAppsPerRecord) {
    const std::size_t n = std::min(kAppsPerRecord, deltas.size() - at);
    Out.AppDeltas({deltas.data() + at, n}, at + n == deltas.size());
  }
  ok = FlushTo(STDOUT_FILENO, Out);
  return true;
}

void TAppCounting::SetTimer(bool on) {
  if (on == Ticking) return;
  Ticking = on;
  itimerspec t{};
  if (on) t.it_value.tv_sec = t.it_interval.tv_sec = 1;
  timerfd_settime(Timer.Get(), 0, &t, nullptr);
}

bool TAppCounting::TakeInput(bool& inputOpen) {
  std::string error;
  const bool ok =
      ReadControlInput(STDIN_FILENO, Control, inputOpen, error, "the list of adapters", [this] {
        if (Control.RecordKind() != TRecordKind::Watched) return;
        if (!Kernel.SetSubnets(LanSubnets(Control.WatchedAdapters())) ||
            !Kernel.SetAdapters(ResolveAdapters(Control.WatchedAdapters())))
          LogLine(std::string("cannot set the adapters counted: ") + std::strerror(errno));
      });
  if (!ok) LogLine(error);
  return ok;
}

int TAppCounting::Run() {
  const std::string root = FindCgroup2Mount(ReadText("/proc/self/mountinfo"));
  if (root.empty()) {
    LogLine("no cgroup v2 hierarchy is mounted");
    return kHelperNoCgroup2;
  }
  std::string error;
  if (const TKernelOpen open = Kernel.Open(root, NetnsCookie(), MayReadNames(), error);
      open != TKernelOpen::Ok) {
    SetCapabilities(0, 0);
    LogLine(error);
    switch (open) {
      case TKernelOpen::NoHierarchy:
        return kHelperNoCgroup2;
      case TKernelOpen::Denied:
        return kHelperDenied;
      case TKernelOpen::Unsupported:
        return kHelperNoKernel;
      default:
        return kHelperOpenFailed;
    }
  }
  // Nothing the program sends is read before the privileges are gone.
  DropToReading(Kernel);
  Cgroups = std::make_unique<TCgroupPaths>(root);
  Timer.Reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  if (!Timer) {
    LogLine(std::string("cannot make a timer: ") + std::strerror(errno));
    return kHelperOpenFailed;
  }
  Out.Hello(kStreamApps);
  if (!FlushTo(STDOUT_FILENO, Out)) return kHelperStreamFailed;

  Kernel.ArmWake();
  bool inputOpen = true, badInput = false, ok = true;
  sigset_t waitMask;
  sigprocmask(SIG_SETMASK, nullptr, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);
  // Without traffic nothing wakes the helper: the timer runs only while packets come, and the
  // first packet after a quiet spell wakes it through the programs' ring.
  while (Stop == 0 && inputOpen && !badInput && ok) {
    pollfd p[3] = {
        {STDIN_FILENO, POLLIN, 0}, {Kernel.WakeDescriptor(), POLLIN, 0}, {Timer.Get(), POLLIN, 0}};
    if (::ppoll(p, 3, nullptr, &waitMask) < 0) continue;
    if (p[0].revents != 0) badInput = !TakeInput(inputOpen);
    if (p[1].revents != 0) {
      Kernel.TakeWake();
      SetTimer(true);
    }
    if (p[2].revents != 0) {
      uint64_t expirations = 0;
      [[maybe_unused]] const ssize_t r = ::read(Timer.Get(), &expirations, sizeof(expirations));
      if (!Tick(ok) && ok) {
        // Quiet: ask for a wake-up, then look once more for what came before it was asked.
        Kernel.ArmWake();
        if (!Tick(ok)) SetTimer(false);
      }
    }
  }
  // The last part-second counts too.
  Tick(ok);
  if (!ok) return kHelperStreamFailed;
  return badInput ? kHelperBadControl : kHelperStopped;
}

}  // namespace

std::vector<TKernelSubnet> LanSubnets(const TWatchedAdapters& adapters) {
  std::vector<TKernelSubnet> out;
  out.push_back(V4(htonl(0xE0000000), 24));  // 224.0.0.0/24
  out.push_back(V4(htonl(0xEF000000), 8));   // 239.0.0.0/8
  out.push_back(V4(0xFFFFFFFF, 32));
  out.push_back(V6({0xFE, 0x80}, 10));
  out.push_back(V6({0xFF, 0x01}, 16));
  out.push_back(V6({0xFF, 0x02}, 16));
  out.push_back(V6({0xFF, 0x05}, 16));
  for (const TWatchedAdapter& a : adapters) {
    const TAddressTable& t = a.Table;
    for (int i = 0; i < t.AddressCount && i < kMaxAddresses; ++i)
      out.push_back(V4(t.Addresses[i].Net,
                       PrefixOf(reinterpret_cast<const uint8_t*>(&t.Addresses[i].Mask), 4)));
    for (int i = 0; i < t.Address6Count && i < kMaxAddresses; ++i) {
      TKernelSubnet s;
      std::memcpy(s.Addr, t.Addresses6[i].Net.data(), 16);
      s.PrefixLength = static_cast<uint32_t>(
          PrefixOf(reinterpret_cast<const uint8_t*>(t.Addresses6[i].Mask.data()), 16));
      out.push_back(s);
    }
  }
  return out;
}

int RunApps(const volatile sig_atomic_t& stop) {
  TAppCounting counting(stop);
  return counting.Run();
}

}  // namespace zul
