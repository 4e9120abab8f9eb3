// The watchers follow the machine while it changes: devices replaced, links bounced, addresses
// changed and devices added mid-run, in network namespaces made here. Needs root; skips without.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FrameKit.h"
#include "LivePump.h"
#include "capture/Traffic.h"
#include "capture/Watch.h"
#include "platform/ErrorReport.h"
#include "platform/NetLinkMonitor.h"
#include "settings/CfgF.h"

namespace zul {
namespace {

using Clock = std::chrono::steady_clock;
using zultest::BuildFrame;
using zultest::Ip;
using zultest::Ip6;
using zultest::TFrameDesc;
using zultest::TMac;

const TMac kStranger = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x77};
const TMac kStranger2 = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x78};
constexpr uint16_t kIPv6 = 0x86DD;
constexpr uint16_t kLocalExperimental = 0x88B5;

using zultest::Pump;
using zultest::PumpUntil;

TFrameDesc V6(const TMac& dst, const TMac& src, const char* from, const char* to, uint32_t len) {
  return {dst, src, kIPv6, 0, 0, len, Ip6(from), Ip6(to)};
}

// A lab of its own per test: the tests take devices away and make new ones.
class FollowLive : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zultest::HaveRoot()) GTEST_SKIP() << "live capture needs root and iproute2";
    Lab = std::make_unique<zultest::TNetnsLab>("zf");
    NsA = Lab->AddSpace("a");
    NsB = Lab->AddSpace("b");
    Lab->AddVeth(NsA, "zfa0", NsB, "zfb0", "192.0.2.20/24");
    In = std::make_unique<zultest::TNetnsGuard>(NsA);
    SavedCfg = Cfg;
    Cfg.AllInterfaces = true;
    Traffic.Counters = {};
    SetErrorSink([this](const std::string& text) { Reports.push_back(text); });
  }
  void TearDown() override {
    if (!Lab) return;
    ReleaseWatchers();
    SetErrorSink(nullptr);
    for (const char* name : {"zfa0", "zfa1", "zfa2"}) ClearError(CaptureLostKey(name));
    Cfg = SavedCfg;
    In.reset();
    Lab.reset();
  }

  TMac MacOf(const std::string& ifname) const { return Lab->MacOf(NsA, ifname); }
  // Sends from the far end of `peer`, in namespace B.
  void Send(const std::string& peer, const TFrameDesc& frame, int count) {
    zultest::TRawSender sender(NsB, peer);
    ASSERT_EQ(sender.Send(BuildFrame(frame), count), count);
  }
  int ReportsNaming(const std::string& name) const {
    int n = 0;
    for (const std::string& r : Reports) n += r.find(name) != std::string::npos ? 1 : 0;
    return n;
  }

  std::unique_ptr<zultest::TNetnsLab> Lab;
  std::string NsA, NsB;
  std::unique_ptr<zultest::TNetnsGuard> In;
  TCfgRec SavedCfg;
  std::vector<std::string> Reports;
};

// Another computer's Internet download, sent as fast as the device takes it until told to stop.
class TFlood {
 public:
  TFlood(const std::string& ns, const std::string& peer)
      : Sender(ns, peer),
        Frame(BuildFrame({kStranger, kStranger2, 0x0800, Ip("203.0.113.9"), Ip("192.0.2.7"), 200})),
        Worker([this] {
          // Bounded in count; a device that went away only makes the sends fail.
          for (int i = 0; i < 5000000 && !Stop.load(); ++i) {
            if (send(Sender.Fd, Frame.data(), Frame.size(), 0) < 0)
              std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
        }) {}
  ~TFlood() {
    Stop.store(true);
    Worker.join();
  }
  TFlood(const TFlood&) = delete;
  TFlood& operator=(const TFlood&) = delete;

 private:
  zultest::TRawSender Sender;
  std::vector<uint8_t> Frame;
  std::atomic<bool> Stop{false};
  std::thread Worker;
};

TEST_F(FollowLive, CaptureSurvivesItsDeviceGoingAndComingBackInPlace) {
  struct TRow {
    const char* Name;
    bool Replace;  // delete the veth and make it again; otherwise set its link down and up
    int Messages;
  };
  // A device deleted and made again is a new adapter: its old watcher is released with its
  // capture, and a new one counts on. Neither is a message box.
  for (const TRow row : {TRow{"LinkDownAndUp", false, 0}, TRow{"DeletedAndMadeAgain", true, 0}}) {
    SCOPED_TRACE(row.Name);
    Reports.clear();
    ReleaseWatchers();
    InitCapture();
    ASSERT_TRUE(FollowingChanges());
    ASSERT_EQ(WatcherCount, 1);
    ASSERT_TRUE(Watchers[0]->Snoop->Active()) << Watchers[0]->Snoop->LastError();
    const unsigned before = Watchers[0]->OpenIfIndex;
    {
      TFlood flood(NsB, "zfb0");
      Pump(200);
      if (row.Replace) {
        Lab->Exec(NsA, "ip link del zfa0");
        Pump(100);
        Lab->AddVeth(NsA, "zfa0", NsB, "zfb0", "192.0.2.20/24");
      } else {
        Lab->Exec(NsA, "ip link set zfa0 down");
        Pump(100);
        Lab->Exec(NsA, "ip link set zfa0 up");
      }
      EXPECT_TRUE(PumpUntil(
          [&] {
            return WatcherCount == 1 && Watchers[0]->Snoop->Active() && !Watchers[0]->Lost &&
                   (Watchers[0]->OpenIfIndex != before) == row.Replace;
          },
          5000));
    }
    Pump(300);
    ASSERT_EQ(WatcherCount, 1);
    EXPECT_EQ(AdapterList.size(), 1u);
    EXPECT_EQ(Watchers[0]->DeviceName, "zfa0");
    EXPECT_EQ(ReportsNaming("zfa0"), row.Messages);
    EXPECT_EQ(static_cast<int>(Reports.size()), row.Messages);
    // Counts on into the same counters, by the hardware address the device has now.
    const TMac mac = MacOf("zfa0");
    EXPECT_EQ(Watchers[0]->MAC, mac);
    const uint64_t lanDown = Traffic.Counters[ciLanDown];
    Send("zfb0", {mac, kStranger, kLocalExperimental, 0, 0, 100}, 50);
    EXPECT_TRUE(PumpUntil([&] { return Traffic.Counters[ciLanDown] == lanDown + 5000; }, 5000))
        << Traffic.Counters[ciLanDown] - lanDown;
    Pump(200);
    EXPECT_EQ(Traffic.Counters[ciLanDown], lanDown + 5000);
  }
}

TEST_F(FollowLive, ChangedAddressesSortFramesAnewAfterTheRefresh) {
  // IPv6 on, without duplicate detection or router solicitation, before capture starts, so that
  // the stack's own start-up chatter is over.
  Lab->Exec(NsA,
            "sysctl -qw net.ipv6.conf.zfa0.accept_dad=0 net.ipv6.conf.zfa0.router_solicitations=0 "
            "net.ipv6.conf.zfa0.disable_ipv6=0");
  Pump(300);
  InitCapture();
  ASSERT_EQ(WatcherCount, 1);
  const TMac mac = MacOf("zfa0");
  const TFrameDesc toMe{mac, kStranger, 0x0800, Ip("198.51.100.7"), Ip("198.51.100.20"), 300};
  const TFrameDesc between{kStranger,          kStranger2,         0x0800,
                           Ip("198.51.100.7"), Ip("198.51.100.9"), 200};
  const TFrameDesc toMe6 = V6(mac, kStranger, "2001:db8:1::7", "2001:db8:1::20", 400);
  auto sendAll = [&] {
    Send("zfb0", toMe, 10);
    Send("zfb0", between, 10);
    Send("zfb0", toMe6, 10);
  };
  sendAll();
  TCounterBlock expected{};
  expected[ciWanDown] = 10 * 300 + 10 * 400;
  expected[ciAllPcsDown] = 10 * 300 + 10 * 200 + 10 * 400;
  // The stack's multicast reports are this computer's LAN uploads: not what is tested here.
  auto sameBut = [&](TCounterBlock c) {
    c[ciLanUp] = expected[ciLanUp];
    return c == expected;
  };
  EXPECT_TRUE(PumpUntil([&] { return sameBut(Traffic.Counters); }, 5000));

  Lab->Exec(NsA, "ip addr add 198.51.100.20/24 dev zfa0");
  Lab->Exec(NsA, "ip -6 addr add 2001:db8:1::20/64 dev zfa0 nodad");
  // Only the kernel's news brings the new addresses in.
  EXPECT_TRUE(PumpUntil(
      [&] { return Watchers[0]->AddressCount == 2 && Watchers[0]->Address6Count == 1; }, 3000));
  EXPECT_EQ(Watchers[0]->Addresses6[0].IPText, "2001:db8:1::20");
  EXPECT_EQ(Watchers[0]->Addresses6[0].PrefixLength, 64);
  Traffic.Counters = {};
  sendAll();
  expected = {};
  expected[ciLanDown] = 10 * 300 + 10 * 400;
  EXPECT_TRUE(PumpUntil([&] { return sameBut(Traffic.Counters); }, 5000));
  Pump(200);
  EXPECT_TRUE(sameBut(Traffic.Counters));
  EXPECT_TRUE(Reports.empty());
}

TEST_F(FollowLive, DeviceAddedAfterStartIsWatchedOnceItHasAnAddressWorthIt) {
  int changes = 0;
  QObject context;
  QObject::connect(&AdapterEvents(), &TAdapterEvents::AdapterListChanged, &context,
                   [&] { ++changes; });
  InitCapture();
  ASSERT_EQ(WatcherCount, 1);
  Lab->AddVeth(NsA, "zfa1", NsB, "zfb1", "198.51.100.20/24");
  ASSERT_TRUE(PumpUntil([&] { return WatcherCount == 2 && Watchers[1]->Snoop->Active(); }, 5000));
  EXPECT_EQ(changes, 1);
  ASSERT_EQ(AdapterList.size(), 2u);
  EXPECT_EQ(AdapterList[0], "zfa0");
  EXPECT_EQ(AdapterList[1], "zfa1");
  EXPECT_EQ(Watchers[1]->Addresses[0].IPText, "198.51.100.20");
  Send("zfb1", {MacOf("zfa1"), kStranger, kLocalExperimental, 0, 0, 100}, 20);
  EXPECT_TRUE(PumpUntil([&] { return Traffic.Counters[ciLanDown] == 2000; }, 5000));

  // A device with nothing but its IPv6 link-local address (a container's port) is left alone...
  if (zultest::RunQuiet("ip link add zfa2 netns " + NsA + " type veth peer name zfb2 netns " +
                        NsB) != 0)
    FAIL() << "ip link add failed";
  Lab->Exec(NsA, "sysctl -qw net.ipv6.conf.zfa2.accept_dad=0 net.ipv6.conf.zfa2.disable_ipv6=0");
  Lab->Exec(NsA, "ip link set zfa2 up");
  Lab->Exec(NsB, "ip link set zfb2 up");
  ASSERT_TRUE(PumpUntil(
      [&] { return !zultest::ReadCommand("ip -6 addr show dev zfa2 scope link").empty(); }, 3000));
  Pump(2 * kNetLinkSettleMs + 200);
  EXPECT_EQ(WatcherCount, 2);
  // ...until it gets an address that reaches beyond the link.
  Lab->Exec(NsA, "ip -6 addr add 2001:db8:2::20/64 dev zfa2 nodad");
  ASSERT_TRUE(PumpUntil([&] { return WatcherCount == 3 && Watchers[2]->Snoop->Active(); }, 5000));
  EXPECT_EQ(AdapterList[2], "zfa2");
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(Watchers[0]->DeviceName, "zfa0");
  EXPECT_EQ(Watchers[1]->DeviceName, "zfa1");
}

TEST_F(FollowLive, IPv6AndSiteMulticastLandInTheirViews) {
  InitCapture();
  ASSERT_EQ(WatcherCount, 1);
  const TMac mac = MacOf("zfa0");
  const TMac mdns4 = {0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB};
  const TMac mdns6 = {0x33, 0x33, 0x00, 0x00, 0x00, 0xFB};
  struct TBatch {
    TFrameDesc Frame;
    int Count;
  };
  const std::vector<TBatch> batches = {
      {V6(mac, kStranger, "2001:db8:ff::9", "2001:db8:1::20", 1000), 10},   // Internet download
      {V6(kStranger, mac, "fe80::20", "2001:db8:ff::9", 600), 10},          // Internet upload
      {V6(kStranger, kStranger2, "fe80::7", "2001:db8:ff::9", 500), 6},     // another PC's
      {V6(mac, kStranger, "fe80::7", "fe80::20", 300), 8},                  // LAN download
      {{mdns4, mac, 0x0800, Ip("192.0.2.20"), Ip("224.0.0.251"), 120}, 5},  // mDNS: LAN upload
      {V6(mdns6, mac, "fe80::20", "ff02::fb", 140), 5},                     // mDNS: LAN upload
  };
  for (const TBatch& b : batches) Send("zfb0", b.Frame, b.Count);
  TCounterBlock expected{};
  expected[ciWanDown] = 10 * 1000;
  expected[ciAllPcsDown] = 10 * 1000;
  expected[ciWanUp] = 10 * 600;
  expected[ciAllPcsUp] = 10 * 600 + 6 * 500;
  expected[ciLanDown] = 8 * 300;
  expected[ciLanUp] = 5 * 120 + 5 * 140;
  EXPECT_TRUE(PumpUntil([&] { return Traffic.Counters == expected; }, 5000));
  Pump(200);
  EXPECT_EQ(Traffic.Counters, expected);
}

TEST_F(FollowLive, FramesCapturedJustBeforeTheCloseAreCounted) {
  Lab->AddVeth(NsA, "zfa1", NsB, "zfb1", "198.51.100.20/24");
  enum TEnd { eClose, eStopAll, eDeviceGone };  // the device goes last: zfa1 is not made again
  for (const TEnd end : {eClose, eStopAll, eDeviceGone}) {
    SCOPED_TRACE(end == eClose ? "Close" : end == eStopAll ? "StopAllWatchers" : "DeviceGone");
    ReleaseWatchers();
    Traffic.Counters = {};
    InitCapture();
    ASSERT_EQ(WatcherCount, 2);
    Pump(200);
    // Nothing is served while the frames go out: they wait in the hand-over and the ring.
    Send("zfb0", {MacOf("zfa0"), kStranger, kLocalExperimental, 0, 0, 100}, 400);
    Send("zfb1", {MacOf("zfa1"), kStranger, kLocalExperimental, 0, 0, 100}, 400);
    const auto start = Clock::now();
    if (end == eStopAll) {
      StopAllWatchers();
    } else {
      if (end == eDeviceGone) {
        // The reader fails with the device; the frames of its last, unfinished block still count
        // before its watcher is released.
        Lab->Exec(NsA, "ip link del zfa1");
        EXPECT_TRUE(PumpUntil([&] { return WatcherCount == 1; }, 3000));
      }
      for (int k = 0; k < WatcherCount; ++k) Watchers[k]->Snoop->Close();
    }
    const auto took = Clock::now() - start;
    EXPECT_EQ(Traffic.Counters[ciLanDown], 800u * 100u);
    if (end != eDeviceGone) {
      EXPECT_LT(took, std::chrono::seconds(3));  // a hang guard
    }
    for (int k = 0; k < WatcherCount; ++k) EXPECT_FALSE(Watchers[k]->Snoop->Active());
  }
}

}  // namespace
}  // namespace zul
