// Test kit for capture: crafted Ethernet frames, a raw sender, and a throw-away lab of network
// namespaces joined by veth pairs. Header-only so that the benchmark can use it too.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace zultest {

using TMac = std::array<uint8_t, 6>;

inline TMac ParseMac(const std::string& text) {
  TMac mac{};
  unsigned b[6] = {};
  if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6)
    throw std::runtime_error("not a hardware address: " + text);
  for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(b[i]);
  return mac;
}

// An IPv4 address in network byte order from its dotted text.
inline uint32_t Ip(const char* dotted) {
  in_addr a{};
  if (inet_pton(AF_INET, dotted, &a) != 1) throw std::runtime_error("bad address");
  return a.s_addr;
}

using TIp6 = std::array<uint8_t, 16>;

// An IPv6 address from its text.
inline TIp6 Ip6(const char* text) {
  TIp6 a{};
  if (inet_pton(AF_INET6, text, a.data()) != 1) throw std::runtime_error("bad IPv6 address");
  return a;
}

struct TFrameDesc {
  TMac Dst{};
  TMac Src{};
  uint16_t EtherType = 0x0800;
  uint32_t SrcIp = 0;  // network byte order
  uint32_t DstIp = 0;
  uint32_t Length = 60;  // whole frame, Ethernet header included
  TIp6 SrcIp6{};         // for EtherType 0x86DD
  TIp6 DstIp6{};
};

// The frame that `s` describes. An IPv4 frame gets a header whose checksum is wrong on
// purpose: a receiving stack drops it silently, so the test's own traffic stays exactly what it
// sent (no replies, no error messages).
inline std::vector<uint8_t> BuildFrame(const TFrameDesc& s) {
  std::vector<uint8_t> f(s.Length < 14 ? 14 : s.Length, 0);
  for (int i = 0; i < 6; ++i) {
    f[i] = s.Dst[i];
    f[6 + i] = s.Src[i];
  }
  f[12] = static_cast<uint8_t>(s.EtherType >> 8);
  f[13] = static_cast<uint8_t>(s.EtherType & 0xFF);
  if (s.EtherType == 0x0800 && f.size() >= 34) {
    uint8_t* ip = f.data() + 14;
    const auto total = static_cast<uint16_t>(f.size() - 14);
    ip[0] = 0x45;
    ip[2] = static_cast<uint8_t>(total >> 8);
    ip[3] = static_cast<uint8_t>(total & 0xFF);
    ip[8] = 64;
    ip[9] = 253;  // experimental protocol
    const auto* src = reinterpret_cast<const uint8_t*>(&s.SrcIp);
    const auto* dst = reinterpret_cast<const uint8_t*>(&s.DstIp);
    for (int i = 0; i < 4; ++i) {
      ip[12 + i] = src[i];
      ip[16 + i] = dst[i];
    }
    uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2) sum += static_cast<uint32_t>(ip[i] << 8 | ip[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    const auto good = static_cast<uint16_t>(~sum);
    const auto bad = static_cast<uint16_t>(good + 1);
    ip[10] = static_cast<uint8_t>(bad >> 8);
    ip[11] = static_cast<uint8_t>(bad & 0xFF);
  }
  if (s.EtherType == 0x86DD && f.size() >= 54) {
    // "No next header": a receiving stack drops the payload without a word.
    uint8_t* ip = f.data() + 14;
    const auto payload = static_cast<uint16_t>(f.size() - 54);
    ip[0] = 0x60;
    ip[4] = static_cast<uint8_t>(payload >> 8);
    ip[5] = static_cast<uint8_t>(payload & 0xFF);
    ip[6] = 59;
    ip[7] = 64;
    for (int i = 0; i < 16; ++i) {
      ip[8 + i] = s.SrcIp6[i];
      ip[24 + i] = s.DstIp6[i];
    }
  }
  return f;
}

inline int RunQuiet(const std::string& command) {
  const std::string quiet = command + " >/dev/null 2>&1";
  return std::system(quiet.c_str());
}

inline std::string ReadCommand(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[256];
  while (std::fgets(buf, sizeof(buf), p) != nullptr) out += buf;
  pclose(p);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

inline bool HaveRoot() {
  return geteuid() == 0 && RunQuiet("ip -V") == 0;
}

// Runs the calling thread in another network namespace for the guard's life. Threads started
// meanwhile stay in it.
class TNetnsGuard {
 public:
  explicit TNetnsGuard(const std::string& ns) {
    Home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const std::string path = "/var/run/netns/" + ns;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (Home < 0 || fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
      if (fd >= 0) close(fd);
      throw std::runtime_error("cannot enter network namespace " + ns);
    }
    close(fd);
  }
  ~TNetnsGuard() {
    if (Home >= 0) {
      [[maybe_unused]] int rc = setns(Home, CLONE_NEWNET);
      close(Home);
    }
  }
  TNetnsGuard(const TNetnsGuard&) = delete;
  TNetnsGuard& operator=(const TNetnsGuard&) = delete;

 private:
  int Home = -1;
};

// A raw layer-2 sender bound to one device, in the namespace the caller runs in or in `ns`.
class TRawSender {
 public:
  explicit TRawSender(const std::string& ifname) : Fd(Bind(ifname)) {}
  TRawSender(const std::string& ns, const std::string& ifname) {
    TNetnsGuard in(ns);
    Fd = Bind(ifname);
  }
  ~TRawSender() {
    if (Fd >= 0) close(Fd);
  }
  TRawSender(const TRawSender&) = delete;
  TRawSender& operator=(const TRawSender&) = delete;

  // Sends the frame `count` times; returns how many went out. Retries a full queue a bounded
  // number of times.
  int Send(const std::vector<uint8_t>& frame, int count) {
    int sent = 0;
    int retries = 0;
    while (sent < count && retries < 100000) {
      if (send(Fd, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size())) {
        ++sent;
      } else {
        ++retries;
        usleep(50);
      }
    }
    return sent;
  }

  int Fd = -1;

 private:
  static int Bind(const std::string& ifname) {
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);  // protocol 0: sends only
    if (fd < 0) throw std::runtime_error("cannot open a packet socket (root needed)");
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
    ll.sll_halen = 6;
    if (ll.sll_ifindex == 0 || bind(fd, reinterpret_cast<sockaddr*>(&ll), sizeof(ll)) != 0) {
      close(fd);
      throw std::runtime_error("cannot bind a packet socket to " + ifname);
    }
    int bypass = 1;  // straight to the device: the generator's rate is not capped by a qdisc
    setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &bypass, sizeof(bypass));
    return fd;
  }
};

// Namespaces and veth pairs that live as long as the lab; every name carries the process id.
class TNetnsLab {
 public:
  explicit TNetnsLab(const std::string& tag) : Tag(tag + std::to_string(getpid())) {
    RemoveStale(tag);
  }
  ~TNetnsLab() {
    for (const std::string& ns : Spaces) RunQuiet("ip netns delete " + ns);
  }
  TNetnsLab(const TNetnsLab&) = delete;
  TNetnsLab& operator=(const TNetnsLab&) = delete;

  // A namespace without IPv6, so that no router solicitation or address check adds traffic.
  std::string AddSpace(const std::string& suffix) {
    const std::string ns = Tag + suffix;
    if (RunQuiet("ip netns add " + ns) != 0) throw std::runtime_error("ip netns add failed");
    Spaces.push_back(ns);
    Exec(ns, "sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1");
    return ns;
  }

  // A veth pair from `a` in namespace nsA to `b` in nsB, both up; `a` gets `cidr` when given.
  void AddVeth(const std::string& nsA, const std::string& a, const std::string& nsB,
               const std::string& b, const std::string& cidr) {
    if (RunQuiet("ip link add " + a + " netns " + nsA + " type veth peer name " + b + " netns " +
                 nsB) != 0)
      throw std::runtime_error("ip link add veth failed");
    if (!cidr.empty()) Exec(nsA, "ip addr add " + cidr + " dev " + a);
    Exec(nsA, "ip link set " + a + " up");
    Exec(nsB, "ip link set " + b + " up");
  }

  TMac MacOf(const std::string& ns, const std::string& ifname) const {
    return ParseMac(
        ReadCommand("ip netns exec " + ns + " cat /sys/class/net/" + ifname + "/address"));
  }

  void Exec(const std::string& ns, const std::string& command) const {
    if (RunQuiet("ip netns exec " + ns + " " + command) != 0)
      throw std::runtime_error("in " + ns + ": " + command + " failed");
  }

  const std::string Tag;

 private:
  // Namespaces of an earlier run with the same tag whose process is gone (killed mid-test).
  static void RemoveStale(const std::string& tag) {
    std::istringstream lines(ReadCommand("ip netns list"));
    std::string line;
    while (std::getline(lines, line)) {
      const std::string name = line.substr(0, line.find(' '));
      std::size_t digits = tag.size();
      while (digits < name.size() && std::isdigit(static_cast<unsigned char>(name[digits])))
        ++digits;
      // tag, process id, one letter
      if (name.compare(0, tag.size(), tag) != 0 || digits == tag.size() ||
          digits + 1 != name.size())
        continue;
      const auto pid = static_cast<pid_t>(std::stol(name.substr(tag.size(), digits - tag.size())));
      if (kill(pid, 0) != 0 && errno == ESRCH) RunQuiet("ip netns delete " + name);
    }
  }

  std::vector<std::string> Spaces;
};

}  // namespace zultest
