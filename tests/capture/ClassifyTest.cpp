// Frame functions and the counting of single frames into the counter block.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "FrameKit.h"
#include "capture/Classify.h"
#include "capture/Watch.h"

namespace zul {
namespace {

using zultest::BuildFrame;
using zultest::Ip;
using zultest::Ip6;
using zultest::TFrameDesc;
using zultest::TIp6;
using zultest::TMac;

const TMac kOwn = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
const TMac kOther = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x07};
const TMac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const TMac kZero = {};

constexpr uint16_t kArp = 0x0806;
constexpr uint16_t kIPv6 = 0x86DD;
constexpr uint16_t kVlan = 0x8100;

// Fills an address entry the way the watchers do, from dotted texts.
void AddAddress(TWatch& w, const char* ip, const char* mask) {
  TNetIPMask& e = w.Addresses[w.AddressCount++];
  e.IP = Ip(ip);
  e.Mask = Ip(mask);
  e.Net = e.IP & e.Mask;
  e.InvMask = ~e.Mask;
}

// An IPv6 prefix entry, built the long way round from the prefix length.
void AddPrefix6(TWatch& w, const char* ip, int length) {
  TNetIP6Mask& e = w.Addresses6[w.Address6Count++];
  e.IP = Ip6(ip);
  std::array<uint8_t, 16> mask{};
  for (int bit = 0; bit < length; ++bit) mask[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
  std::array<uint8_t, 16> net{};
  for (int i = 0; i < 16; ++i) net[i] = e.IP[i] & mask[i];
  std::memcpy(e.Mask.data(), mask.data(), 16);
  std::memcpy(e.Net.data(), net.data(), 16);
  e.PrefixLength = length;
}

TEST(CompareMAC, EqualAddressesCompareEqual) {
  EXPECT_EQ(CompareMAC(kOwn.data(), TMac(kOwn).data()), 0);
}

TEST(CompareMAC, FirstDifferingByteDecidesAsUnsignedValue) {
  const TMac a = {0x02, 0x10, 0x00, 0x00, 0x00, 0x00};
  const TMac b = {0x02, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(CompareMAC(a.data(), b.data()), 1);
  EXPECT_EQ(CompareMAC(b.data(), a.data()), -1);
  const TMac high = {0x80, 0, 0, 0, 0, 0};
  const TMac low = {0x7F, 0, 0, 0, 0, 0};
  EXPECT_EQ(CompareMAC(high.data(), low.data()), 1);
  const TMac last = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x02};
  EXPECT_EQ(CompareMAC(kOwn.data(), last.data()), -1);
}

TEST(GetIPv4Header, IPv4FrameGivesTheHeaderAtByte14) {
  const auto f = BuildFrame({kOwn, kOther, 0x0800, Ip("192.0.2.1"), Ip("192.0.2.2"), 60});
  const uint8_t* ip = nullptr;
  ASSERT_TRUE(GetIPv4Header(f.data(), static_cast<uint32_t>(f.size()), &ip));
  EXPECT_EQ(ip, f.data() + 14);
  EXPECT_TRUE(GetIPv4Header(f.data(), static_cast<uint32_t>(f.size())));
}

TEST(GetIPv4Header, OtherEtherTypesAreNotIPv4) {
  for (uint16_t type : {kIPv6, kVlan, kArp, uint16_t{0x0008}}) {
    const auto f = BuildFrame({kOwn, kOther, type, 0, 0, 60});
    const uint8_t* ip = nullptr;
    EXPECT_FALSE(GetIPv4Header(f.data(), static_cast<uint32_t>(f.size()), &ip)) << type;
    EXPECT_EQ(ip, nullptr);
  }
}

TEST(GetIPv4Header, FrameThatEndsBeforeTheDestinationAddressIsNotIPv4) {
  const auto f = BuildFrame({kOwn, kOther, 0x0800, Ip("192.0.2.1"), Ip("192.0.2.2"), 60});
  EXPECT_FALSE(GetIPv4Header(f.data(), 33));
  EXPECT_TRUE(GetIPv4Header(f.data(), 34));
  EXPECT_FALSE(GetIPv4Header(f.data(), 0));
  EXPECT_FALSE(GetIPv4Header(nullptr, 60));
}

class LocalAddress : public ::testing::Test {
 protected:
  TCounterBlock Block{};
  TWatch W{Block};
};

TEST_F(LocalAddress, AddressInsideASubnetIsLocal) {
  AddAddress(W, "192.168.1.20", "255.255.255.0");
  EXPECT_TRUE(IsLocalAddress(W, Ip("192.168.1.7")));
  EXPECT_TRUE(IsLocalAddress(W, Ip("192.168.1.255")));
  EXPECT_FALSE(IsLocalAddress(W, Ip("192.168.2.7")));
  EXPECT_FALSE(IsLocalAddress(W, Ip("198.51.100.7")));
}

TEST_F(LocalAddress, AnyOfSeveralSubnetsMakesAnAddressLocal) {
  AddAddress(W, "192.168.1.20", "255.255.255.0");
  AddAddress(W, "10.4.0.1", "255.255.0.0");
  EXPECT_TRUE(IsLocalAddress(W, Ip("10.4.200.9")));
  EXPECT_FALSE(IsLocalAddress(W, Ip("10.5.0.1")));
}

TEST_F(LocalAddress, LimitedBroadcastIsLocalOnlyWithAtLeastOneSubnet) {
  EXPECT_FALSE(IsLocalAddress(W, Ip("255.255.255.255")));
  AddAddress(W, "192.168.1.20", "255.255.255.0");
  EXPECT_TRUE(IsLocalAddress(W, Ip("255.255.255.255")));
}

TEST_F(LocalAddress, WatcherWithoutSubnetsFindsEveryAddressNonLocal) {
  EXPECT_FALSE(IsLocalAddress(W, Ip("192.168.1.20")));
  EXPECT_FALSE(IsLocalAddress(W, Ip("0.0.0.0")));
}

TEST_F(LocalAddress, MulticastKeptInsideTheSiteIsLocalWithOrWithoutSubnets) {
  const struct {
    const char* Address;
    bool Local;
  } rows[] = {
      {"224.0.0.251", true},     {"224.0.0.0", true},        {"224.0.0.255", true},
      {"239.255.255.250", true}, {"239.0.0.1", true},        {"224.0.1.1", false},
      {"225.0.0.1", false},      {"238.255.255.255", false}, {"240.0.0.1", false},
  };
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& row : rows)
      EXPECT_EQ(IsLocalAddress(W, Ip(row.Address)), row.Local) << row.Address << " pass " << pass;
    AddAddress(W, "192.168.1.20", "255.255.255.0");
  }
}

TEST_F(LocalAddress, IPv6IsLocalInAPrefixOnTheLinkOrInSiteMulticast) {
  AddPrefix6(W, "2001:db8:1::20", 64);
  AddPrefix6(W, "2001:db8:ab00::1", 40);
  AddPrefix6(W, "2001:db8:9::5", 128);
  const struct {
    const char* Address;
    bool Local;
  } rows[] = {
      {"2001:db8:1::7", true},
      {"2001:db8:1:0:ffff:ffff:ffff:ffff", true},
      {"2001:db8:1:1::7", false},  // the next /64
      {"2001:db8:abff::9", true},
      {"2001:db8:ac00::9", false},
      {"2001:db8:9::5", true},
      {"2001:db8:9::6", false},
      {"2001:db8:ff::9", false},
      {"fe80::1", true},
      {"febf:ffff::1", true},  // still fe80::/10
      {"fec0::1", false},
      {"ff02::fb", true},
      {"ff01::1", true},
      {"ff05::1:3", true},
      {"ff0e::1", false},  // global scope
      {"ff08::1", false},
      {"ff12::1", false},
      {"::", false},
      {"::1", false},
  };
  for (const auto& row : rows) {
    const TIp6 a = Ip6(row.Address);
    EXPECT_EQ(IsLocalAddress6(W, a.data()), row.Local) << row.Address;
  }
  TCounterBlock block{};
  TWatch none(block);
  EXPECT_FALSE(IsLocalAddress6(none, Ip6("2001:db8:1::7").data()));
  EXPECT_TRUE(IsLocalAddress6(none, Ip6("fe80::7").data()));
  EXPECT_FALSE(IsLocalAddress6(none, nullptr));
}

// One frame and the counters it must add to, by name.
struct TFrameRow {
  const char* Name;
  TFrameDesc Frame;
  uint32_t Captured;  // 0: the whole frame
  uint32_t Wire;      // 0: the frame's length
  std::map<int, uint32_t> Expected;
};

void PrintTo(const TFrameRow& r, std::ostream* os) {
  *os << r.Name;
}

std::string RowName(const ::testing::TestParamInfo<TFrameRow>& row) {
  return row.param.Name;
}

TCounterBlock Expect(const std::map<int, uint32_t>& m) {
  TCounterBlock b{};
  for (const auto& [index, value] : m) b[index] = value;
  return b;
}

TCounterBlock Count(TWatch& w, TCounterBlock& block, const TFrameRow& row) {
  const auto f = BuildFrame(row.Frame);
  pcap_pkthdr h{};
  h.caplen = row.Captured != 0 ? row.Captured : static_cast<uint32_t>(f.size());
  h.len = row.Wire != 0 ? row.Wire : static_cast<uint32_t>(f.size());
  // A buffer of exactly the captured bytes, so that a read past them is caught under ASan.
  std::vector<uint8_t> captured(f.begin(), f.begin() + std::min<std::size_t>(h.caplen, f.size()));
  block = {};
  w.HandlePacket(nullptr, &h, captured.empty() ? nullptr : captured.data());
  return block;
}

class HandlePacketOnLan : public ::testing::TestWithParam<TFrameRow> {
 protected:
  void SetUp() override {
    W.MAC = kOwn;
    W.MACFound = true;
    AddAddress(W, "192.168.1.20", "255.255.255.0");
    AddPrefix6(W, "2001:db8:1::20", 64);
  }
  TCounterBlock Block{};
  TWatch W{Block};
};

TEST_P(HandlePacketOnLan, AddsTheWireLengthToExactlyTheRightCounters) {
  EXPECT_EQ(Count(W, Block, GetParam()), Expect(GetParam().Expected));
}

const auto kHome = Ip("192.168.1.20");
const auto kNeighbour = Ip("192.168.1.7");
const auto kRemote = Ip("198.51.100.7");
const auto kRemote2 = Ip("203.0.113.9");
const TIp6 kHome6 = Ip6("2001:db8:1::20");
const TIp6 kNeighbour6 = Ip6("2001:db8:1::7");
const TIp6 kRemote6 = Ip6("2001:db8:ff::9");
const TIp6 kLinkLocal6 = Ip6("fe80::20");
const TIp6 kLinkNeighbour6 = Ip6("fe80::7");
const TMac kMulticast6 = {0x33, 0x33, 0x00, 0x00, 0x00, 0xFB};

// An IPv6 frame of `length` bytes.
TFrameDesc V6(const TMac& dst, const TMac& src, const TIp6& from, const TIp6& to, uint32_t length) {
  return {dst, src, kIPv6, 0, 0, length, from, to};
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HandlePacketOnLan,
    ::testing::Values(
        TFrameRow{"InternetDownloadToThisAdapter",
                  {kOwn, kOther, 0x0800, kRemote, kHome, 1000},
                  0,
                  0,
                  {{ciWanDown, 1000}, {ciAllPcsDown, 1000}}},
        TFrameRow{"InternetDownloadToAnotherComputer",
                  {kOther, kOther, 0x0800, kRemote, kHome, 1000},
                  0,
                  0,
                  {{ciAllPcsDown, 1000}}},
        TFrameRow{"InternetUploadFromThisAdapter",
                  {kOther, kOwn, 0x0800, kHome, kRemote2, 700},
                  0,
                  0,
                  {{ciWanUp, 700}, {ciAllPcsUp, 700}}},
        TFrameRow{"InternetUploadOfAnotherComputer",
                  {kOther, kOther, 0x0800, kNeighbour, kRemote2, 700},
                  0,
                  0,
                  {{ciAllPcsUp, 700}}},
        TFrameRow{"TrafficBetweenTwoRemoteHostsCountsAsDownload",
                  {kOwn, kOther, 0x0800, kRemote, kRemote2, 90},
                  0,
                  0,
                  {{ciWanDown, 90}, {ciAllPcsDown, 90}}},
        TFrameRow{"LanFrameSentByThisAdapter",
                  {kOther, kOwn, 0x0800, kHome, kNeighbour, 300},
                  0,
                  0,
                  {{ciLanUp, 300}}},
        TFrameRow{"LanReplyToThisAdapter",
                  {kOwn, kOther, 0x0800, kNeighbour, kHome, 300},
                  0,
                  0,
                  {{ciLanDown, 300}}},
        TFrameRow{"LanFrameBetweenTwoOtherComputers",
                  {kOther, kOther, 0x0800, kNeighbour, kHome, 300},
                  0,
                  0,
                  {}},
        TFrameRow{"ArpBroadcastByThisAdapter",
                  {kBroadcast, kOwn, kArp, 0, 0, 60},
                  0,
                  0,
                  {{ciLanUp, 60}, {ciLanDown, 60}}},
        TFrameRow{"ArpBroadcastByAnotherComputer",
                  {kBroadcast, kOther, kArp, 0, 0, 60},
                  0,
                  0,
                  {{ciLanDown, 60}}},
        TFrameRow{
            "MdnsFromThisAdapterIsLan",
            {{0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB}, kOwn, 0x0800, kHome, Ip("224.0.0.251"), 120},
            0,
            0,
            {{ciLanUp, 120}}},
        TFrameRow{"SsdpFromAnotherComputerIsLan",
                  {{0x01, 0x00, 0x5E, 0x7F, 0xFF, 0xFA},
                   kOther,
                   0x0800,
                   kNeighbour,
                   Ip("239.255.255.250"),
                   200},
                  0,
                  0,
                  {}},
        TFrameRow{"RoutedMulticastFromThisAdapterIsInternetUpload",
                  {{0x01, 0x00, 0x5E, 0x00, 0x01, 0x01}, kOwn, 0x0800, kHome, Ip("224.0.1.1"), 90},
                  0,
                  0,
                  {{ciWanUp, 90}, {ciAllPcsUp, 90}}},
        TFrameRow{"LimitedBroadcastFromThisAdapterIsLan",
                  {kBroadcast, kOwn, 0x0800, kHome, Ip("255.255.255.255"), 342},
                  0,
                  0,
                  {{ciLanUp, 342}, {ciLanDown, 342}}},
        TFrameRow{"LimitedBroadcastToAUnicastMacCountsOnlyTheSender",
                  {kOther, kOwn, 0x0800, kHome, Ip("255.255.255.255"), 342},
                  0,
                  0,
                  {{ciLanUp, 342}}},
        TFrameRow{"DhcpDiscoveryIsInternetDownload",
                  {kBroadcast, kOther, 0x0800, Ip("0.0.0.0"), Ip("255.255.255.255"), 342},
                  0,
                  0,
                  {{ciAllPcsDown, 342}}},
        TFrameRow{"DhcpDiscoveryToThisAdapterAlsoCountsAsItsDownload",
                  {kOwn, kOther, 0x0800, Ip("0.0.0.0"), Ip("255.255.255.255"), 342},
                  0,
                  0,
                  {{ciWanDown, 342}, {ciAllPcsDown, 342}}},
        TFrameRow{"ShortCaptureAddsTheLengthOnTheWire",
                  {kOwn, kOther, 0x0800, kRemote, kHome, 1514},
                  96,
                  1514,
                  {{ciWanDown, 1514}, {ciAllPcsDown, 1514}}},
        TFrameRow{"IPv6DownloadToAGlobalAddress",
                  V6(kOwn, kOther, kRemote6, kHome6, 1000),
                  0,
                  0,
                  {{ciWanDown, 1000}, {ciAllPcsDown, 1000}}},
        TFrameRow{"IPv6UploadFromThisAdapter",
                  V6(kOther, kOwn, kHome6, kRemote6, 700),
                  0,
                  0,
                  {{ciWanUp, 700}, {ciAllPcsUp, 700}}},
        TFrameRow{"IPv6InternetUploadOfAnotherComputer",
                  V6(kOther, kOther, kNeighbour6, kRemote6, 700),
                  0,
                  0,
                  {{ciAllPcsUp, 700}}},
        TFrameRow{"IPv6InternetDownloadOfAnotherComputer",
                  V6(kOther, kOther, kRemote6, kNeighbour6, 700),
                  0,
                  0,
                  {{ciAllPcsDown, 700}}},
        TFrameRow{"IPv6InsideTheOnLinkPrefixIsLan",
                  V6(kOwn, kOther, kNeighbour6, kHome6, 300),
                  0,
                  0,
                  {{ciLanDown, 300}}},
        TFrameRow{"IPv6LinkLocalIsLan",
                  V6(kOwn, kOther, kLinkNeighbour6, kLinkLocal6, 86),
                  0,
                  0,
                  {{ciLanDown, 86}}},
        TFrameRow{"IPv6FromLinkLocalToTheInternetIsUpload",
                  V6(kOther, kOwn, kLinkLocal6, kRemote6, 86),
                  0,
                  0,
                  {{ciWanUp, 86}, {ciAllPcsUp, 86}}},
        TFrameRow{"IPv6MdnsFromThisAdapterIsLan",
                  V6(kMulticast6, kOwn, kLinkLocal6, Ip6("ff02::fb"), 120),
                  0,
                  0,
                  {{ciLanUp, 120}}},
        TFrameRow{"IPv6SiteMulticastIsLan",
                  V6(kMulticast6, kOwn, kHome6, Ip6("ff05::1:3"), 120),
                  0,
                  0,
                  {{ciLanUp, 120}}},
        TFrameRow{"IPv6GlobalMulticastIsInternetUpload",
                  V6(kMulticast6, kOwn, kHome6, Ip6("ff0e::1"), 120),
                  0,
                  0,
                  {{ciWanUp, 120}, {ciAllPcsUp, 120}}},
        TFrameRow{"IPv6CutBeforeItsDestinationAddressCountsByTheLanRules",
                  V6(kOwn, kOther, kRemote6, kHome6, 100),
                  53,
                  100,
                  {{ciLanDown, 100}}},
        TFrameRow{"IPv6CapturedUpToItsDestinationAddressIsClassified",
                  V6(kOwn, kOther, kRemote6, kHome6, 100),
                  54,
                  100,
                  {{ciWanDown, 100}, {ciAllPcsDown, 100}}},

        TFrameRow{"VlanTaggedIPv4IsLanOnly",
                  {kOwn, kOther, kVlan, kRemote, kHome, 64},
                  0,
                  0,
                  {{ciLanDown, 64}}},
        TFrameRow{"IPv4CutBeforeItsAddressesCountsByTheLanRules",
                  {kOwn, kOther, 0x0800, kRemote, kHome, 60},
                  33,
                  60,
                  {{ciLanDown, 60}}},
        TFrameRow{"IPv4CapturedUpToItsDestinationAddressIsClassified",
                  {kOwn, kOther, 0x0800, kRemote, kHome, 60},
                  34,
                  60,
                  {{ciWanDown, 60}, {ciAllPcsDown, 60}}},
        TFrameRow{"RuntShorterThanAnEthernetHeaderCountsNothing",
                  {kBroadcast, kOwn, kArp, 0, 0, 60},
                  13,
                  60,
                  {}}),
    RowName);

TEST(HandlePacket, ZeroCapturedBytesCountNothing) {
  TCounterBlock block{};
  TWatch w(block);
  w.MAC = kOwn;
  w.MACFound = true;
  uint8_t byte = 0xFF;
  pcap_pkthdr h{};
  h.caplen = 0;
  h.len = 60;
  w.HandlePacket(nullptr, &h, &byte);
  w.HandlePacket(nullptr, nullptr, &byte);
  w.HandlePacket(nullptr, &h, nullptr);
  EXPECT_EQ(block, TCounterBlock{});
}

class HandlePacketWithoutMac : public ::testing::TestWithParam<TFrameRow> {
 protected:
  void SetUp() override { AddAddress(W, "192.168.1.20", "255.255.255.0"); }
  TCounterBlock Block{};
  TWatch W{Block};  // MAC all zero, not found
};

TEST_P(HandlePacketWithoutMac, NeverCountsAFrameAsThisComputers) {
  EXPECT_EQ(Count(W, Block, GetParam()), Expect(GetParam().Expected));
}

INSTANTIATE_TEST_SUITE_P(Rows, HandlePacketWithoutMac,
                         ::testing::Values(TFrameRow{"ZeroAddressedLanFrame",
                                                     {kZero, kZero, 0x0800, kHome, kNeighbour, 100},
                                                     0,
                                                     0,
                                                     {}},
                                           TFrameRow{"ZeroAddressedDownload",
                                                     {kZero, kOther, 0x0800, kRemote, kHome, 100},
                                                     0,
                                                     0,
                                                     {{ciAllPcsDown, 100}}},
                                           TFrameRow{"ZeroAddressedUpload",
                                                     {kOther, kZero, 0x0800, kHome, kRemote, 100},
                                                     0,
                                                     0,
                                                     {{ciAllPcsUp, 100}}},
                                           TFrameRow{"BroadcastStillCountsAsLanDownload",
                                                     {kBroadcast, kZero, kArp, 0, 0, 60},
                                                     0,
                                                     0,
                                                     {{ciLanDown, 60}}}),
                         RowName);

TEST(HandlePacket, WatcherWithoutSubnetsTreatsLanTrafficAsInternet) {
  TCounterBlock block{};
  TWatch w(block);
  w.MAC = kOwn;
  w.MACFound = true;
  const TFrameRow row{"", {kOther, kOwn, 0x0800, kHome, kNeighbour, 200}, 0, 0, {}};
  EXPECT_EQ(Count(w, block, row), Expect({{ciAllPcsDown, 200}}));
}

TEST(HandlePacket, CountersPass4GiBWithoutWrapping) {
  TCounterBlock block{};
  TWatch w(block);
  w.MAC = kOwn;
  w.MACFound = true;
  const auto f = BuildFrame({kBroadcast, kOther, kArp, 0, 0, 60});
  pcap_pkthdr h{};
  h.caplen = 60;
  h.len = 60;
  block[ciLanDown] = 0xFFFFFFF0u;
  w.HandlePacket(nullptr, &h, f.data());
  EXPECT_EQ(block[ciLanDown], 0x10000002Cu);  // 0xFFFFFFF0 + 60
}

TEST(HandlePacket, CaptureThatIsNotEthernetIsNotClassified) {
  TCounterBlock block{};
  TWatch w(block);
  w.MAC = kOwn;
  w.MACFound = true;
  TSnoop closed;  // no capture open: its link type is none, so nothing is Ethernet
  const auto f = BuildFrame({kBroadcast, kOwn, kArp, 0, 0, 60});
  pcap_pkthdr h{};
  h.caplen = h.len = 60;
  w.HandlePacket(&closed, &h, f.data());
  EXPECT_EQ(block, TCounterBlock{});
}

}  // namespace
}  // namespace zul
