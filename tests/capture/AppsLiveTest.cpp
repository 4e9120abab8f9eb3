// Per-application counts, live: processes that the test moves into cgroups it makes exchange
// known traffic over a veth pair between two network namespaces, TCP and UDP, IPv4 and IPv6, with
// LAN and Internet addresses; each application's bytes must match what its adapter counted for
// it. Also the cases where the counts cannot run, and the capabilities they need. Needs root and
// a kernel that runs cgroup BPF programs; skips with the reason otherwise.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>

#include "FrameKit.h"
#include "LivePump.h"
#include "capture/AppIdentity.h"
#include "capture/AppSource.h"
#include "capture/apps/AppHelper.h"
#include "capture/apps/AppKernel.h"
#include "platform/ChildProcess.h"

namespace zul {
namespace {

constexpr uint16_t kTcpPort = 7101;
constexpr uint16_t kUdpPort = 7102;
constexpr uint16_t kAcceptPort = 7103;
constexpr uid_t kNobody = 65534;

#ifndef SO_NETNS_COOKIE
#define SO_NETNS_COOKIE 71
#endif

std::string MacText(const zultest::TMac& m) {
  char text[18];
  std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
                m[5]);
  return text;
}

std::string ReadText(const std::string& path) {
  std::ifstream f(path);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// What the adapter's kernel counters say it received and sent, frames with their headers.
struct TDevBytes {
  uint64_t Rx = 0, Tx = 0;
};
TDevBytes ReadDev(const std::string& ifname) {
  std::istringstream lines(ReadText("/proc/thread-self/net/dev"));
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    name.erase(0, name.find_first_not_of(' '));
    if (name != ifname) continue;
    std::istringstream f(line.substr(colon + 1));
    TDevBytes d;
    uint64_t skip = 0;
    f >> d.Rx;
    for (int i = 0; i < 7; ++i) f >> skip;
    f >> d.Tx;
    return d;
  }
  return {};
}

sockaddr_storage Address(const char* ip, uint16_t port, socklen_t& len) {
  sockaddr_storage ss{};
  if (std::strchr(ip, ':') != nullptr) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    inet_pton(AF_INET6, ip, &a->sin6_addr);
    len = sizeof(*a);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    inet_pton(AF_INET, ip, &a->sin_addr);
    len = sizeof(*a);
  }
  return ss;
}

bool WriteFull(int fd, const void* p, std::size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  while (n > 0) {
    const ssize_t w = ::write(fd, b, n);
    if (w <= 0) return false;
    b += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool ReadFull(int fd, void* p, std::size_t n) {
  auto* b = static_cast<uint8_t*>(p);
  while (n > 0) {
    const ssize_t r = ::read(fd, b, n);
    if (r <= 0) return false;
    b += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// One exchange: TCP sends `up` bytes and reads `down` back; UDP sends `up` bytes in datagrams of
// 1200 and has each answered by `down` / count bytes.
struct TExchange {
  bool Tcp;
  const char* Remote;
  uint32_t Up;
  uint32_t Down;
};

bool Exchange(const TExchange& x) {
  socklen_t len = 0;
  const sockaddr_storage to = Address(x.Remote, x.Tcp ? kTcpPort : kUdpPort, len);
  const int s = ::socket(to.ss_family, x.Tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
  if (s < 0 || ::connect(s, reinterpret_cast<const sockaddr*>(&to), len) != 0) return false;
  std::vector<uint8_t> buf(64 * 1024, 0x5A);
  if (x.Tcp) {
    const uint32_t head[2] = {x.Up, x.Down};
    if (!WriteFull(s, head, sizeof(head))) return false;
    for (uint32_t left = x.Up; left > 0;) {
      const uint32_t n = std::min<uint32_t>(left, static_cast<uint32_t>(buf.size()));
      if (!WriteFull(s, buf.data(), n)) return false;
      left -= n;
    }
    uint64_t got = 0;
    for (ssize_t r; (r = ::read(s, buf.data(), buf.size())) > 0;) got += static_cast<uint64_t>(r);
    ::close(s);
    return got == x.Down;
  }
  constexpr uint32_t kDatagram = 1200;
  const uint32_t count = x.Up / kDatagram;
  const uint32_t answer = count > 0 ? x.Down / count : 0;
  for (uint32_t i = 0; i < count; ++i) {
    std::memcpy(buf.data(), &answer, 4);
    if (::send(s, buf.data(), kDatagram, 0) != kDatagram) return false;
    if (answer == 0) continue;
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, 500) == 1) [[maybe_unused]]
      auto r = ::recv(s, buf.data(), buf.size(), 0);
  }
  ::close(s);
  return true;
}

// The far end: a TCP server on both families, and a UDP server on each address (so that an
// answer comes from the address asked), answering as Exchange asks.
[[noreturn]] void Serve() {
  std::vector<int> fds;
  for (const char* at :
       {"0.0.0.0", "::", "192.0.2.2", "203.0.113.2", "2001:db8:1::2", "2001:db8:99::2"}) {
    const bool tcp = fds.size() < 2;
    socklen_t len = 0;
    const sockaddr_storage a = Address(at, tcp ? kTcpPort : kUdpPort, len);
    const int s = ::socket(a.ss_family, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (a.ss_family == AF_INET6) setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
    if (::bind(s, reinterpret_cast<const sockaddr*>(&a), len) != 0) _exit(2);
    if (tcp) ::listen(s, 8);
    fds.push_back(s);
  }
  std::vector<uint8_t> buf(64 * 1024, 0xA5);
  for (;;) {
    pollfd p[6];
    for (std::size_t k = 0; k < 6; ++k) p[k] = {fds[k], POLLIN, 0};
    if (::poll(p, 6, -1) <= 0) continue;
    for (std::size_t k = 0; k < 6; ++k) {
      if ((p[k].revents & POLLIN) == 0) continue;
      if (k < 2) {
        const int c = ::accept(fds[k], nullptr, nullptr);
        uint32_t head[2] = {};
        if (c >= 0 && ReadFull(c, head, sizeof(head))) {
          for (uint32_t left = head[0]; left > 0;) {
            const ssize_t r = ::read(c, buf.data(), std::min<std::size_t>(left, buf.size()));
            if (r <= 0) break;
            left -= static_cast<uint32_t>(r);
          }
          for (uint32_t left = head[1]; left > 0;) {
            const uint32_t n = std::min<uint32_t>(left, static_cast<uint32_t>(buf.size()));
            if (!WriteFull(c, buf.data(), n)) break;
            left -= n;
          }
        }
        if (c >= 0) ::close(c);
      } else {
        sockaddr_storage from{};
        socklen_t len = sizeof(from);
        const ssize_t r =
            ::recvfrom(fds[k], buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        uint32_t answer = 0;
        if (r >= 4) std::memcpy(&answer, buf.data(), 4);
        if (answer > 0 && answer <= buf.size())
          ::sendto(fds[k], buf.data(), answer, 0, reinterpret_cast<sockaddr*>(&from), len);
      }
    }
  }
}

pid_t Fork(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) _exit(body());
  return pid;
}

int WaitFor(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The test's applications: the cgroup each runs in, its process name, whose it is, and what it
// exchanges, one after the other.
struct TApp {
  const char* Cgroup;
  const char* Comm;
  bool Nobody;
  std::vector<TExchange> Exchanges;
  const char* Want;  // the application's row
};

class AppsLive : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!zultest::HaveRoot()) return;
    try {
      Root = FindCgroup2Mount(ReadText("/proc/self/mountinfo"));
      if (Root.empty()) throw std::runtime_error("no cgroup v2 hierarchy is mounted");
      Lab = std::make_unique<zultest::TNetnsLab>("zp");
      NsA = Lab->AddSpace("a");
      NsB = Lab->AddSpace("b");
      for (const std::string& ns : {NsA, NsB})
        Lab->Exec(ns,
                  "sysctl -qw net.ipv6.conf.all.disable_ipv6=0 "
                  "net.ipv6.conf.default.disable_ipv6=0 net.ipv6.conf.default.accept_dad=0");
      Lab->AddVeth(NsA, "zpa0", NsB, "zpb0", "192.0.2.1/24");
      Lab->Exec(NsA, "ip addr add 2001:db8:1::1/64 dev zpa0 nodad");
      Lab->Exec(NsB, "ip addr add 192.0.2.2/24 dev zpb0");
      Lab->Exec(NsB, "ip addr add 2001:db8:1::2/64 dev zpb0 nodad");
      Lab->Exec(NsB, "ip link set lo up");
      Lab->Exec(NsB, "ip addr add 203.0.113.2/32 dev lo");
      Lab->Exec(NsB, "ip addr add 2001:db8:99::2/128 dev lo");
      Lab->Exec(NsA, "ip route add 203.0.113.0/24 via 192.0.2.2");
      Lab->Exec(NsA, "ip -6 route add 2001:db8:99::/48 via 2001:db8:1::2");
      // Neighbours known beforehand: no address resolution adds to the adapter's counts.
      const std::string macA = MacText(Lab->MacOf(NsA, "zpa0"));
      const std::string macB = MacText(Lab->MacOf(NsB, "zpb0"));
      Lab->Exec(NsA, "ip neigh replace 192.0.2.2 lladdr " + macB + " dev zpa0 nud permanent");
      Lab->Exec(NsA, "ip neigh replace 2001:db8:1::2 lladdr " + macB + " dev zpa0 nud permanent");
      Lab->Exec(NsB, "ip neigh replace 192.0.2.1 lladdr " + macA + " dev zpb0 nud permanent");
      Lab->Exec(NsB, "ip neigh replace 2001:db8:1::1 lladdr " + macA + " dev zpb0 nud permanent");
      // Two more namespaces joined by an adapter of the same number as the watched one.
      NsC = Lab->AddSpace("c");
      NsD = Lab->AddSpace("d");
      unsigned watched = 0;
      {
        zultest::TNetnsGuard in(NsA);
        watched = if_nametoindex("zpa0");
      }
      if (zultest::RunQuiet("ip link add zpc0 index " + std::to_string(watched) + " netns " + NsC +
                            " type veth peer name zpd0 netns " + NsD) != 0)
        throw std::runtime_error("ip link add with an interface number failed");
      Lab->Exec(NsC, "ip addr add 198.51.100.1/24 dev zpc0");
      Lab->Exec(NsD, "ip addr add 198.51.100.2/24 dev zpd0");
      Lab->Exec(NsC, "ip link set zpc0 up");
      Lab->Exec(NsD, "ip link set zpd0 up");
      Base = Root + "/zul-apps-" + std::to_string(getpid());
      std::filesystem::create_directory(Base);
      Server = Fork([]() -> int {
        zultest::TNetnsGuard in(NsB);
        Serve();
      });
    } catch (const std::exception& e) {
      SetupError = e.what();
    }
  }
  static void TearDownTestSuite() {
    if (Server > 0) {
      ::kill(Server, SIGKILL);
      WaitFor(Server);
    }
    if (!Base.empty()) {
      std::error_code ec;
      for (const auto& d : std::filesystem::directory_iterator(Base, ec))
        if (d.is_directory()) ::rmdir(d.path().c_str());
      ::rmdir(Base.c_str());
    }
    Lab.reset();
  }

  void SetUp() override {
    if (!zultest::HaveRoot()) GTEST_SKIP() << "the application counts need root and iproute2";
    ASSERT_TRUE(SetupError.empty()) << SetupError;
    In = std::make_unique<zultest::TNetnsGuard>(NsA);
  }
  void TearDown() override { In.reset(); }

  // Runs `app` in its cgroup (made here) and returns what its adapter counted meanwhile.
  static TAppBytes Run(const TApp& app) {
    const std::string group = Base + "/" + app.Cgroup;
    std::filesystem::create_directories(group);
    TAppBytes want;
    for (const TExchange& x : app.Exchanges) {
      const TDevBytes before = ReadDev("zpa0");
      const pid_t pid = Fork([&] {
        const int fd = ::open((group + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0 || ::write(fd, "0", 1) != 1) return 3;
        ::close(fd);
        prctl(PR_SET_NAME, app.Comm);
        if (app.Nobody &&
            (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
          return 4;
        return Exchange(x) ? 0 : 5;
      });
      EXPECT_EQ(WaitFor(pid), 0) << app.Comm;
      // The last segments settle.
      usleep(100 * 1000);
      const TDevBytes after = ReadDev("zpa0");
      const bool lan = std::strncmp(x.Remote, "192.0.2.", 8) == 0 ||
                       std::strncmp(x.Remote, "2001:db8:1:", 11) == 0;
      (lan ? want.LanDown : want.InternetDown) += after.Rx - before.Rx;
      (lan ? want.LanUp : want.InternetUp) += after.Tx - before.Tx;
    }
    return want;
  }

  static TAddressTable TableOfA() {
    TAddressTable t;
    AddAddress(t, htonl(0xC0000201), htonl(0xFFFFFF00));  // 192.0.2.1/24
    uint8_t ip6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 1}, mask6[16] = {};
    ip6[15] = 1;
    std::memset(mask6, 0xFF, 8);
    AddAddress6(t, ip6, mask6);
    return t;
  }

  static inline std::unique_ptr<zultest::TNetnsLab> Lab;
  static inline std::string NsA, NsB, NsC, NsD, Root, Base, SetupError;
  static inline pid_t Server = -1;
  std::unique_ptr<zultest::TNetnsGuard> In;
};

TEST_F(AppsLive, EachApplicationGetsWhatItsAdapterCountedForItByDirectionAndReach) {
  TAppSource source;
  std::map<std::string, TAppBytes> got;
  QObject::connect(&source, &TAppSource::Counted, &source, [&](const TAppDeltas& d) {
    for (const TAppDelta& a : d) got[a.App] += a.Bytes;
  });
  source.Start();
  if (!source.Running()) GTEST_SKIP() << source.Unavailable();
  source.SetAdapters({{"zpa0", TableOfA()}});
  zultest::Pump(300);

  const std::vector<TApp> apps = {
      {"app-test-org.example.Alpha-1.scope",
       "alpha",
       false,
       {{true, "192.0.2.2", 3'000'000, 1'000'000}},
       "org.example.Alpha"},
      {"zulbeta.service",
       "beta",
       false,
       {{false, "2001:db8:99::2", 1'200'000, 600'000}},
       "zulbeta.service"},
      {"session-9.scope",
       "zulgamma",
       false,
       {{true, "2001:db8:1::2", 500'000, 2'000'000}, {false, "203.0.113.2", 600'000, 1'200'000}},
       "zulgamma"},
      // Gone before the helper's next read: its counts stay.
      {"session-9.scope", "zulshort", false, {{false, "192.0.2.2", 240'000, 0}}, "zulshort"},
      {"app-test-org.example.Other-2.scope",
       "other",
       true,
       {{true, "203.0.113.2", 800'000, 400'000}},
       "Other users"},
  };
  std::map<std::string, TAppBytes> want;
  for (const TApp& app : apps) want[app.Want] += Run(app);
  zultest::Pump(1500);
  source.Stop();

  for (const auto& [app, w] : want) {
    SCOPED_TRACE(app);
    ASSERT_TRUE(got.count(app)) << "no row";
    const TAppBytes& g = got[app];
    // A structured binding cannot be captured by clang 14's lambdas: the bound goes in by value.
    const auto near = [bound = w.Total() / 100](uint64_t a, uint64_t b) {
      return (a > b ? a - b : b - a) <= bound;
    };
    EXPECT_TRUE(near(g.InternetDown, w.InternetDown)) << g.InternetDown << " vs " << w.InternetDown;
    EXPECT_TRUE(near(g.InternetUp, w.InternetUp)) << g.InternetUp << " vs " << w.InternetUp;
    EXPECT_TRUE(near(g.LanDown, w.LanDown)) << g.LanDown << " vs " << w.LanDown;
    EXPECT_TRUE(near(g.LanUp, w.LanUp)) << g.LanUp << " vs " << w.LanUp;
  }
  // No other user's application shows by name, and the servers in the other namespace (whose
  // adapter may carry the same number) count for nobody here.
  EXPECT_FALSE(got.count("org.example.Other"));
  for (const auto& [app, g] : got)
    if (!want.count(app)) ADD_FAILURE() << "unexpected row " << app << " of " << g.Total();
}

// The programs, without the helper: a socket that lives through a change of the subnets and
// through the freeing of its owner's slot counts each packet as the table says when it passes,
// and from zero again under the same owner; the freed slot brings none of its old bytes to the
// owner that gets it next.
TEST_F(AppsLive, SocketsFollowNewSubnetsAndFreedSlotsComeBackEmpty) {
  uint64_t netns = 0;
  socklen_t len = sizeof(netns);
  const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::getsockopt(probe, SOL_SOCKET, SO_NETNS_COOKIE, &netns, &len), 0);
  ::close(probe);
  TAppKernel kernel;
  std::string error;
  if (kernel.Open(Root, netns, true, error) != TKernelOpen::Ok) GTEST_SKIP() << error;
  ASSERT_TRUE(kernel.SetAdapters({{if_nametoindex("zpa0"), 14}}));
  ASSERT_TRUE(kernel.SetSubnets(LanSubnets({{"zpa0", TableOfA()}})));

  // One datagram of 1200 bytes as the adapter carries it: UDP, IPv4 and Ethernet headers.
  constexpr uint64_t kFrame = 1200 + 8 + 20 + 14;
  const auto ownerOf = [&](const char* comm) -> std::optional<TOwnerTotal> {
    std::vector<TOwnerTotal> totals;
    EXPECT_TRUE(kernel.ReadTotals(totals));
    for (const TOwnerTotal& t : totals)
      if (std::strncmp(t.Key.comm, comm, sizeof(t.Key.comm)) == 0) return t;
    return std::nullopt;
  };
  // A process in a cgroup of its own that sends `counts[i]` datagrams to `remote` each time it
  // is told to, from one socket.
  const auto start = [&](const char* cgroup, const char* comm, const char* remote,
                         std::vector<uint32_t> counts, int& go, int& done) {
    const std::string group = Base + "/" + cgroup;
    std::filesystem::create_directories(group);
    int toChild[2], fromChild[2];
    EXPECT_EQ(::pipe(toChild), 0);
    EXPECT_EQ(::pipe(fromChild), 0);
    const pid_t pid = Fork([&] {
      const int fd = ::open((group + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0 || ::write(fd, "0", 1) != 1) return 3;
      ::close(fd);
      prctl(PR_SET_NAME, comm);
      socklen_t alen = 0;
      const sockaddr_storage to = Address(remote, kUdpPort, alen);
      const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
      if (s < 0 || ::connect(s, reinterpret_cast<const sockaddr*>(&to), alen) != 0) return 4;
      std::vector<uint8_t> datagram(1200, 0);  // asks for no answer
      for (const uint32_t n : counts) {
        char c = 0;
        if (::read(toChild[0], &c, 1) != 1) return 5;
        for (uint32_t i = 0; i < n; ++i)
          if (::send(s, datagram.data(), datagram.size(), 0) != 1200) return 6;
        if (::write(fromChild[1], &c, 1) != 1) return 7;
      }
      return 0;
    });
    ::close(toChild[0]);
    ::close(fromChild[1]);
    go = toChild[1];
    done = fromChild[0];
    return pid;
  };
  const auto step = [](int go, int done) {
    char c = 0;
    return ::write(go, &c, 1) == 1 && ::read(done, &c, 1) == 1;
  };

  int go = -1, done = -1;
  const pid_t alpha = start("zulslot-a", "zulslota", "192.0.2.2", {10, 5, 4}, go, done);
  ASSERT_TRUE(step(go, done));
  std::optional<TOwnerTotal> a = ownerOf("zulslota");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->Bytes.LanUp, 10 * kFrame);
  // Its peer is no longer in a local subnet.
  ASSERT_TRUE(kernel.SetSubnets(LanSubnets({{"zpa0", TAddressTable{}}})));
  ASSERT_TRUE(step(go, done));
  a = ownerOf("zulslota");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->Bytes.LanUp, 10 * kFrame);
  EXPECT_EQ(a->Bytes.InternetUp, 5 * kFrame);
  // Its slot freed: the socket counts on under the same owner, from zero.
  kernel.Forget(a->Key);
  ASSERT_TRUE(step(go, done));
  a = ownerOf("zulslota");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->Bytes.LanUp, 0u);
  EXPECT_EQ(a->Bytes.InternetUp, 4 * kFrame);
  ::close(go);
  ::close(done);
  EXPECT_EQ(WaitFor(alpha), 0);

  // Once the freed slot came back, the next new owner gets it.
  usleep(1100 * 1000);
  ownerOf("zulslota");
  const pid_t beta = start("zulslot-b", "zulslotb", "203.0.113.2", {3}, go, done);
  ASSERT_TRUE(step(go, done));
  const std::optional<TOwnerTotal> b = ownerOf("zulslotb");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->Bytes.InternetUp, 3 * kFrame);
  EXPECT_EQ(b->Bytes.LanUp, 0u);
  ::close(go);
  ::close(done);
  EXPECT_EQ(WaitFor(beta), 0);
}

// Sockets that never passed the creation hook, here accepted ones, are counted only in the
// helper's own namespace: a server elsewhere whose adapter has the watched number counts for
// nobody, while one in the watched namespace counts as what its adapter carried.
TEST_F(AppsLive, AcceptedSocketsCountOnlyInTheHelpersNamespace) {
  if (!TAppKernel::KnowsPacketNamespace())
    GTEST_SKIP() << "this kernel does not tell the packet hooks a socket's namespace";
  uint64_t netns = 0;
  socklen_t len = sizeof(netns);
  const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::getsockopt(probe, SOL_SOCKET, SO_NETNS_COOKIE, &netns, &len), 0);
  ::close(probe);
  TAppKernel kernel;
  std::string error;
  if (kernel.Open(Root, netns, true, error) != TKernelOpen::Ok) GTEST_SKIP() << error;
  ASSERT_TRUE(kernel.SetAdapters({{if_nametoindex("zpa0"), 14}}));
  ASSERT_TRUE(kernel.SetSubnets(LanSubnets({{"zpa0", TableOfA()}})));
  const auto counted = [&] {
    std::vector<TOwnerTotal> totals;
    EXPECT_TRUE(kernel.ReadTotals(totals));
    uint64_t sum = 0;
    for (const TOwnerTotal& t : totals) sum += t.Bytes.Total();
    return sum;
  };

  constexpr uint32_t kUp = 400'000, kDown = 900'000;
  struct TCase {
    const char* What;
    std::string ServerNs, ClientNs;
    const char* Server;
    bool Counted;
  } const cases[] = {
      {"in the watched namespace", NsA, NsB, "192.0.2.1", true},
      {"in another namespace", NsC, NsD, "198.51.100.1", false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    const uint64_t before = counted();
    const TDevBytes devBefore = ReadDev("zpa0");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t server = Fork([&] {
      zultest::TNetnsGuard in(c.ServerNs);
      socklen_t alen = 0;
      const sockaddr_storage at = Address(c.Server, kAcceptPort, alen);
      const int s = ::socket(AF_INET, SOCK_STREAM, 0);
      int one = 1;
      setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
      if (::bind(s, reinterpret_cast<const sockaddr*>(&at), alen) != 0 || ::listen(s, 1) != 0)
        return 3;
      if (::write(ready[1], "r", 1) != 1) return 4;
      const int a = ::accept(s, nullptr, nullptr);
      std::vector<uint8_t> buf(kDown, 0x33);
      if (a < 0 || !ReadFull(a, buf.data(), kUp) || !WriteFull(a, buf.data(), kDown)) return 5;
      ::close(a);
      return 0;
    });
    ::close(ready[1]);
    char r = 0;
    ASSERT_EQ(::read(ready[0], &r, 1), 1);
    ::close(ready[0]);
    const pid_t client = Fork([&] {
      zultest::TNetnsGuard in(c.ClientNs);
      socklen_t alen = 0;
      const sockaddr_storage to = Address(c.Server, kAcceptPort, alen);
      const int s = ::socket(AF_INET, SOCK_STREAM, 0);
      std::vector<uint8_t> buf(kDown, 0x44);
      if (::connect(s, reinterpret_cast<const sockaddr*>(&to), alen) != 0) return 6;
      if (!WriteFull(s, buf.data(), kUp) || !ReadFull(s, buf.data(), kDown)) return 7;
      ::close(s);
      return 0;
    });
    EXPECT_EQ(WaitFor(client), 0);
    EXPECT_EQ(WaitFor(server), 0);
    // The last segments settle.
    usleep(100 * 1000);
    const TDevBytes devAfter = ReadDev("zpa0");
    const uint64_t got = counted() - before;
    const uint64_t carried = devAfter.Rx - devBefore.Rx + devAfter.Tx - devBefore.Tx;
    if (c.Counted) {
      EXPECT_GT(carried, uint64_t{kUp + kDown});
      EXPECT_LE(got > carried ? got - carried : carried - got, carried / 100)
          << got << " vs " << carried;
    } else {
      EXPECT_EQ(got, 0u);
    }
  }
}

// A wrapper that runs the helper as `ZUL_CAPTURE_HELPER` would, after `prelude`.
std::string Wrapper(const std::string& dir, const std::string& name, const std::string& body) {
  const std::string path = dir + "/" + name;
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  ::chmod(path.c_str(), 0755);
  return path;
}

TEST_F(AppsLive, WithoutTheHierarchyOrTheCapabilitiesItSaysWhyAndHowToEnableIt) {
  const std::string helper = CaptureHelperPath();
  const std::string dir = "/tmp/zul-apps-caps-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  ::chmod(dir.c_str(), 0755);
  // A copy of the helper whose capabilities each case sets, run as nobody.
  const std::string copy = dir + "/zul-capture";
  std::filesystem::copy_file(helper, copy, std::filesystem::copy_options::overwrite_existing);
  ::chmod(copy.c_str(), 0755);
  const std::string asNobody =
      "exec setpriv --reuid=65534 --regid=65534 --clear-groups " + copy + " \"$@\"";
  const char* const kGrant = "setcap cap_net_raw,cap_net_admin,cap_bpf,cap_perfmon+eip";
  struct TCase {
    const char* What;
    std::string Command;  // the wrapper's command
    const char* Caps;     // for the copy, when set
    bool Runs;
    const char* Told;
  } const cases[] = {
      {"every capability it asks for", asNobody, "cap_bpf,cap_net_admin,cap_perfmon+ep", true, ""},
      // Without process names, which only the cgroups then give.
      {"the least it runs with", asNobody, "cap_bpf,cap_net_admin+ep", true, ""},
      {"without cap_net_admin", asNobody, "cap_bpf,cap_perfmon+ep", false, kGrant},
      {"without cap_bpf", asNobody, "cap_net_admin,cap_perfmon+ep", false, kGrant},
      {"without cgroup v2",
       "exec unshare -m --propagation private sh -c 'for m in $(findmnt -rn -t cgroup2 -o "
       "TARGET); do umount -l \"$m\"; done; exec " +
           helper + " --apps'",
       nullptr, false, "cgroup v2"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    if (c.Caps != nullptr) {
      ASSERT_EQ(std::system(("setcap " + std::string(c.Caps) + " " + copy).c_str()), 0);
    }
    const std::string wrapper = Wrapper(dir, "run", c.Command);
    setenv("ZUL_CAPTURE_HELPER", wrapper.c_str(), 1);
    TAppSource source;
    source.Start();
    EXPECT_EQ(source.Running(), c.Runs) << source.Unavailable();
    EXPECT_NE(source.Unavailable().find(c.Told), std::string::npos) << source.Unavailable();
    source.Stop();
  }
  setenv("ZUL_CAPTURE_HELPER", helper.c_str(), 1);
  std::filesystem::remove_all(dir);
  EXPECT_NE(AppsUnavailableText(kHelperNoKernel, "", "/x").find("CONFIG_CGROUP_BPF"),
            std::string::npos);
}

}  // namespace
}  // namespace zul
