// Each byte is counted once, whatever the machine's network looks like: containers behind a
// bridge, a computer that shares its uplink, an adapter stacked on the uplink, a tunnel, and
// adapters that come and go. Network namespaces made here; needs root, skips without it.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "FrameKit.h"
#include "LivePump.h"
#include "capture/Traffic.h"
#include "capture/Watch.h"
#include "platform/ErrorReport.h"
#include "settings/CfgF.h"

namespace zul {
namespace {

using Clock = std::chrono::steady_clock;
using zultest::BuildFrame;
using zultest::Ip;
using zultest::TMac;

const TMac kStranger = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x77};

using zultest::Pump;
using zultest::PumpUntil;

int OpenDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (d != nullptr && readdir(d) != nullptr) ++n;
  if (d != nullptr) closedir(d);
  return n;
}

int WatcherOf(const std::string& name) {
  for (int k = 0; k < WatcherCount; ++k)
    if (Watchers[k]->DeviceName == name) return k;
  return -1;
}

// This computer "h" with its uplink zup0 (192.0.2.20/24, default route) to an ISP "isp".
class Topology : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zultest::HaveRoot()) GTEST_SKIP() << "live capture needs root and iproute2";
    Lab = std::make_unique<zultest::TNetnsLab>("zt");
    H = Lab->AddSpace("h");
    Isp = Lab->AddSpace("i");
    Lab->AddVeth(H, "zup0", Isp, "zisp0", "192.0.2.20/24");
    Lab->Exec(Isp, "ip addr add 192.0.2.1/24 dev zisp0");
    Lab->Exec(H, "ip route add default via 192.0.2.1");
    // No neighbour discovery on the wire: every hop knows the next one's address.
    Neighbour(H, "192.0.2.1", Lab->MacOf(Isp, "zisp0"), "zup0");
    Neighbour(Isp, "192.0.2.20", Lab->MacOf(H, "zup0"), "zisp0");
    In = std::make_unique<zultest::TNetnsGuard>(H);
    SavedCfg = Cfg;
    Cfg.AllInterfaces = true;
    Traffic.Counters = {};
    SetErrorSink([](const std::string&) {});
  }
  void TearDown() override {
    if (!Lab) return;
    ReleaseWatchers();
    SetErrorSink(nullptr);
    Cfg = SavedCfg;
    In.reset();
    Lab.reset();
  }

  void Neighbour(const std::string& ns, const std::string& ip, const TMac& mac,
                 const std::string& dev) {
    char text[18];
    std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    Lab->Exec(ns, "ip neigh replace " + ip + " lladdr " + text + " dev " + dev + " nud permanent");
  }

  // A client namespace behind `hostSide` (198.51.100.1/24 on this computer), masqueraded out of
  // the uplink. With `bridge`, `hostSide` is a bridge whose one port leads to the client.
  void AddClient(bool bridge) {
    Client = Lab->AddSpace("c");
    const std::string hostSide = bridge ? "zbr0" : "zhs0";
    if (bridge) {
      Lab->Exec(H, "ip link add zbr0 type bridge");
      Lab->AddVeth(H, "zhp0", Client, "zcl0", "");
      Lab->Exec(H, "ip link set zhp0 master zbr0");
      Lab->Exec(H, "ip link set zbr0 up");
      Lab->Exec(H, "ip addr add 198.51.100.1/24 dev zbr0");
    } else {
      Lab->AddVeth(H, "zhs0", Client, "zcl0", "198.51.100.1/24");
    }
    Lab->Exec(Client, "ip addr add 198.51.100.2/24 dev zcl0");
    Lab->Exec(Client, "ip route add default via 198.51.100.1");
    Neighbour(Client, "198.51.100.1", Lab->MacOf(H, hostSide), "zcl0");
    Neighbour(H, "198.51.100.2", Lab->MacOf(Client, "zcl0"), hostSide);
    Lab->Exec(H, "sysctl -qw net.ipv4.ip_forward=1");
    Lab->Exec(H, "nft add table ip znat");
    Lab->Exec(H, "nft 'add chain ip znat post { type nat hook postrouting priority 100; }'");
    Lab->Exec(H, "nft add rule ip znat post oifname zup0 masquerade");
  }

  // Sends `count` UDP datagrams of `payload` bytes from the client to 203.0.113.9.
  void SendFromClient(int count, int payload) {
    zultest::TNetnsGuard in(Client);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = Ip("203.0.113.9");
    const std::vector<char> data(static_cast<std::size_t>(payload), 'z');
    for (int i = 0; i < count; ++i)
      ASSERT_EQ(
          sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)),
          payload);
    close(fd);
  }

  std::unique_ptr<zultest::TNetnsLab> Lab;
  std::string H, Isp, Client;
  std::unique_ptr<zultest::TNetnsGuard> In;
  TCfgRec SavedCfg;
};

TEST_F(Topology, ForwardedTrafficCountsOnceWhereItLeaves) {
  // 50 datagrams of 972 bytes: 1,014-byte frames on the uplink, after masquerading this
  // computer's own. The container's bridge and the shared adapter see them first as another
  // computer's.
  if (zultest::RunQuiet("command -v nft") != 0) GTEST_SKIP() << "masquerading needs nft (nftables)";
  for (const bool bridge : {true, false}) {
    SCOPED_TRACE(bridge ? "a container behind a bridge" : "a client sharing the uplink");
    if (!bridge) {
      TearDown();  // a new machine
      SetUp();
    }
    AddClient(bridge);
    InitCapture();
    const int up = WatcherOf("zup0");
    const int side = WatcherOf(bridge ? "zbr0" : "zhs0");
    ASSERT_GE(up, 0);
    ASSERT_GE(side, 0);
    EXPECT_TRUE(Watchers[up]->NotUnderAll.empty());
    EXPECT_EQ(Watchers[side]->NotUnderAll.empty(), !bridge) << Watchers[side]->NotUnderAll;
    EXPECT_EQ(Watchers[side]->Snoop->Active(), !bridge);
    if (bridge) {
      EXPECT_NE(AdapterList[side].find("not counted under all adapters"), std::string::npos);
    }
    Pump(200);
    SendFromClient(50, 972);
    TCounterBlock expected{};
    expected[ciWanUp] = expected[ciAllPcsUp] = 50 * 1014;
    EXPECT_TRUE(PumpUntil([&] { return Traffic.Counters == expected; }, 5000));
    Pump(300);
    EXPECT_EQ(Traffic.Counters, expected);
    ReleaseWatchers();
    Traffic.Counters = {};
  }
}

TEST_F(Topology, AnAdapterStackedOnTheUplinkIsNotCountedAgain) {
  // A macvlan (and, where the kernel has them, a VLAN) on the watched uplink: its frames reach
  // the uplink's capture too.
  Lab->Exec(H, "ip link add link zup0 name zmv0 type macvlan mode bridge");
  Lab->Exec(H, "ip addr add 192.0.2.30/24 dev zmv0");
  Lab->Exec(H, "ip link set zmv0 up");
  const bool vlan = zultest::RunQuiet("ip link add link zup0 name zup0.7 type vlan id 7") == 0;
  if (vlan) {
    Lab->Exec(H, "ip addr add 198.51.100.20/24 dev zup0.7");
    Lab->Exec(H, "ip link set zup0.7 up");
  }
  InitCapture();
  const int mv = WatcherOf("zmv0");
  ASSERT_GE(mv, 0);
  EXPECT_NE(Watchers[mv]->NotUnderAll.find("zup0"), std::string::npos) << Watchers[mv]->NotUnderAll;
  EXPECT_FALSE(Watchers[mv]->Snoop->Active());
  if (vlan) {
    EXPECT_FALSE(Watchers[WatcherOf("zup0.7")]->NotUnderAll.empty());
  }
  const TMac mvMac = Lab->MacOf(H, "zmv0");
  zultest::TRawSender isp(Isp, "zisp0");
  ASSERT_EQ(
      isp.Send(BuildFrame({mvMac, kStranger, 0x0800, Ip("203.0.113.9"), Ip("192.0.2.30"), 800}),
               20),
      20);
  TCounterBlock expected{};
  expected[ciAllPcsDown] = 20 * 800;  // through the uplink, addressed to another hardware address
  EXPECT_TRUE(PumpUntil([&] { return Traffic.Counters == expected; }, 5000));
  Pump(300);
  EXPECT_EQ(Traffic.Counters, expected);
}

TEST_F(Topology, ATunnelChosenAloneCountsByItsIPHeaders) {
  Lab->Exec(H, "ip tuntap add dev ztun0 mode tun");
  Lab->Exec(H, "ip addr add 198.51.100.50/24 dev ztun0");
  Lab->Exec(H, "ip link set ztun0 up");
  InitCapture();
  const int tun = WatcherOf("ztun0");
  ASSERT_GE(tun, 0);
  EXPECT_FALSE(Watchers[tun]->NotUnderAll.empty());  // under all, its carrier counts it
  EXPECT_FALSE(Watchers[tun]->Snoop->Active());
  Cfg.AllInterfaces = false;
  Cfg.InterfaceIndex = static_cast<uint16_t>(tun);
  MonitorOneAdapter(tun);
  ASSERT_TRUE(Watchers[tun]->Snoop->Active()) << Watchers[tun]->Snoop->LastError();
  Pump(200);

  // The test writes IP packets into the tunnel, as a VPN program would: 1,000 packets of 1,000
  // bytes from the Internet to this computer's tunnel address.
  const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(ifr.ifr_name, "ztun0", IFNAMSIZ - 1);
  ASSERT_EQ(ioctl(fd, TUNSETIFF, &ifr), 0);
  std::vector<uint8_t> packet(1000, 0);
  packet[0] = 0x45;
  packet[2] = 1000 >> 8;
  packet[3] = 1000 & 0xFF;
  packet[8] = 64;
  packet[9] = 253;  // a protocol for experiments: no stack answers it
  const uint32_t src = Ip("203.0.113.9"), dst = Ip("198.51.100.50");
  std::memcpy(&packet[12], &src, 4);
  std::memcpy(&packet[16], &dst, 4);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(write(fd, packet.data(), packet.size()), 1000);
  TCounterBlock expected{};
  expected[ciWanDown] = expected[ciAllPcsDown] = 1000 * 1000;
  EXPECT_TRUE(PumpUntil([&] { return Traffic.Counters == expected; }, 5000))
      << Traffic.Counters[ciWanDown];
  Pump(300);
  EXPECT_EQ(Traffic.Counters, expected);
  StopAllWatchers();
  close(fd);
}

TEST_F(Topology, AdaptersThatComeAndGoFreeTheirPlaceAndDescriptors) {
  InitCapture();
  ASSERT_TRUE(FollowingChanges());
  Pump(200);
  const int descriptors = OpenDescriptors();
  for (int i = 0; i < 40; ++i) {
    const std::string a = "zg" + std::to_string(i), b = "zgp" + std::to_string(i);
    Lab->AddVeth(H, a, Isp, b, "203.0.113." + std::to_string(i + 1) + "/32");
    EXPECT_TRUE(PumpUntil([&] { return WatcherOf(a) >= 0; }, 3000)) << a;
    Lab->Exec(H, "ip link del " + a);
    EXPECT_TRUE(PumpUntil([&] { return WatcherOf(a) < 0; }, 3000)) << a;
  }
  EXPECT_EQ(WatcherCount, 1);
  EXPECT_LE(OpenDescriptors(), descriptors + 2);
  // One more comes, and it must be counted.
  Lab->AddVeth(H, "zlast", Isp, "zlastp", "198.51.100.20/24");
  ASSERT_TRUE(PumpUntil(
      [&] { return WatcherOf("zlast") >= 0 && Watchers[WatcherOf("zlast")]->Snoop->Active(); },
      3000));
  zultest::TRawSender peer(Isp, "zlastp");
  const TMac mac = Lab->MacOf(H, "zlast");
  ASSERT_EQ(peer.Send(BuildFrame({mac, kStranger, 0x88B5, 0, 0, 100}), 30), 30);
  EXPECT_TRUE(PumpUntil([&] { return Traffic.Counters[ciLanDown] == 3000; }, 5000));
}

}  // namespace
}  // namespace zul
