// Which listed devices get a watcher, and the address table each watcher keeps.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <netinet/in.h>

#include <deque>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "FrameKit.h"
#include "capture/Watch.h"

namespace zul {
namespace {

// A device listing built by hand, shaped like the capture library's.
class FakeListing {
 public:
  pcap_if_t* AddDevice(const char* name, const char* description, bpf_u_int32 flags = 0) {
    pcap_if_t& d = Devices.emplace_back();
    d.name = const_cast<char*>(name);
    d.description = const_cast<char*>(description);
    d.flags = flags;
    if (Devices.size() > 1) Devices[Devices.size() - 2].next = &d;
    return &d;
  }
  void AddIPv4(pcap_if_t* d, const char* ip, const char* mask) {
    sockaddr* a = Inet(ip);
    Append(d, a, mask != nullptr ? Inet(mask) : nullptr);
  }
  // An IPv6 entry; "::" without a prefix unless told.
  void AddIPv6(pcap_if_t* d, const char* ip = "::", int prefix = -1) {
    sockaddr_in6& s = V6.emplace_back();
    s.sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, ip, &s.sin6_addr) != 1) throw std::runtime_error("bad address");
    sockaddr* mask = nullptr;
    if (prefix >= 0) {
      sockaddr_in6& m = V6.emplace_back();
      m.sin6_family = AF_INET6;
      for (int bit = 0; bit < prefix; ++bit)
        m.sin6_addr.s6_addr[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
      mask = reinterpret_cast<sockaddr*>(&m);
    }
    Append(d, reinterpret_cast<sockaddr*>(&s), mask);
  }
  void AddLinkLayer(pcap_if_t* d) {
    sockaddr_ll& s = Links.emplace_back();
    s.sll_family = AF_PACKET;
    s.sll_halen = 6;
    Append(d, reinterpret_cast<sockaddr*>(&s), nullptr);
  }
  const pcap_if_t* List() const { return Devices.empty() ? nullptr : &Devices.front(); }

 private:
  sockaddr* Inet(const char* dotted) {
    sockaddr_in& s = V4.emplace_back();
    s.sin_family = AF_INET;
    s.sin_addr.s_addr = zultest::Ip(dotted);
    return reinterpret_cast<sockaddr*>(&s);
  }
  void Append(pcap_if_t* d, sockaddr* addr, sockaddr* mask) {
    pcap_addr_t& a = Addresses.emplace_back();
    a.addr = addr;
    a.netmask = mask;
    pcap_addr_t** tail = &d->addresses;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = &a;
  }
  // Deques keep every element where it is, so the links between them stay valid.
  std::deque<pcap_if_t> Devices;
  std::deque<pcap_addr_t> Addresses;
  std::deque<sockaddr_in> V4;
  std::deque<sockaddr_in6> V6;
  std::deque<sockaddr_ll> Links;
};

class WatchedDevices : public ::testing::Test {
 protected:
  FakeListing L;
};

TEST_F(WatchedDevices, OnlyADeviceWithAnAddressIsWatchedAtItsListingPosition) {
  L.AddDevice("any", "Pseudo-device");
  pcap_if_t* eth = L.AddDevice("eth0", "Ethernet adapter");
  L.AddIPv4(eth, "192.168.1.20", "255.255.255.0");
  pcap_if_t* dummy = L.AddDevice("nflog", "netfilter log");
  L.AddLinkLayer(dummy);
  const auto picked = SelectWatchedDevices(L.List());
  ASSERT_EQ(picked.size(), 1u);
  EXPECT_EQ(picked[0].Index, 1);
  EXPECT_EQ(picked[0].Name, "eth0");
  EXPECT_EQ(picked[0].Description, "Ethernet adapter");
}

TEST_F(WatchedDevices, LinkLayerEntryAloneIsNoAddress) {
  pcap_if_t* down = L.AddDevice("ifb0", nullptr);
  L.AddLinkLayer(down);
  EXPECT_TRUE(SelectWatchedDevices(L.List()).empty());
}

TEST_F(WatchedDevices, IPv6MakesAnAdapterOnlyWhenNotLinkLocal) {
  const struct {
    const char* Name;
    std::vector<std::pair<const char*, int>> V6;  // address, prefix
    bool WithIPv4;
    bool Watched;
  } rows[] = {
      {"GlobalOnly", {{"2001:db8:1::20", 64}}, false, true},
      {"LinkLocalOnly", {{"fe80::1", 64}}, false, false},
      {"SeveralLinkLocal", {{"fe80::1", 64}, {"febf::2", 64}}, false, false},
      {"LinkLocalAndGlobal", {{"fe80::1", 64}, {"2001:db8:1::20", 64}}, false, true},
      {"LinkLocalAndIPv4", {{"fe80::1", 64}}, true, true},
      {"UniqueLocal", {{"fd00::5", 64}}, false, true},
  };
  for (const auto& row : rows) {
    FakeListing listing;
    pcap_if_t* d = listing.AddDevice("veth0", nullptr);
    listing.AddLinkLayer(d);
    for (const auto& [ip, prefix] : row.V6) listing.AddIPv6(d, ip, prefix);
    if (row.WithIPv4) listing.AddIPv4(d, "192.0.2.5", "255.255.255.0");
    EXPECT_EQ(HasNetworkAddress(*d), row.Watched) << row.Name;
    EXPECT_EQ(SelectWatchedDevices(listing.List()).size(), row.Watched ? 1u : 0u) << row.Name;
  }
}

TEST_F(WatchedDevices, LoopbackIsNeverWatched) {
  pcap_if_t* lo = L.AddDevice("lo", nullptr, PCAP_IF_LOOPBACK | PCAP_IF_UP);
  L.AddIPv4(lo, "127.0.0.1", "255.0.0.0");
  pcap_if_t* eth = L.AddDevice("eth0", nullptr);
  L.AddIPv4(eth, "192.168.1.20", "255.255.255.0");
  const auto picked = SelectWatchedDevices(L.List());
  ASSERT_EQ(picked.size(), 1u);
  EXPECT_EQ(picked[0].Name, "eth0");
  EXPECT_EQ(picked[0].Index, 1);
}

TEST_F(WatchedDevices, DeviceWithoutDescriptionIsDescribedByItsName) {
  pcap_if_t* a = L.AddDevice("enp3s0", nullptr);
  L.AddIPv4(a, "192.168.1.20", "255.255.255.0");
  pcap_if_t* b = L.AddDevice("enp4s0", "");
  L.AddIPv4(b, "192.168.2.20", "255.255.255.0");
  const auto picked = SelectWatchedDevices(L.List());
  ASSERT_EQ(picked.size(), 2u);
  EXPECT_EQ(picked[0].Description, "enp3s0");
  EXPECT_EQ(picked[1].Description, "enp4s0");
}

TEST_F(WatchedDevices, TableHoldsAtMostSixteenDevices) {
  std::deque<std::string> names;
  for (int i = 0; i < 20; ++i) {
    pcap_if_t* d = L.AddDevice(names.emplace_back("veth" + std::to_string(i)).c_str(), nullptr);
    L.AddIPv6(d);
  }
  std::vector<std::string> leftOut;
  const auto picked = SelectWatchedDevices(L.List(), kMaxWatchers, &leftOut);
  ASSERT_EQ(picked.size(), 16u);
  EXPECT_EQ(picked.back().Name, "veth15");
  EXPECT_EQ(picked.back().Index, 15);
  EXPECT_EQ(leftOut, (std::vector<std::string>{"veth16", "veth17", "veth18", "veth19"}));
  // A table that already holds 14 takes two more.
  leftOut.clear();
  EXPECT_EQ(SelectWatchedDevices(L.List(), 2, &leftOut).size(), 2u);
  EXPECT_EQ(leftOut.size(), 18u);
  EXPECT_EQ(leftOut.front(), "veth2");
}

class AddressTable : public ::testing::Test {
 protected:
  FakeListing L;
  TCounterBlock Block{};
  TWatch W{Block};
};

TEST_F(AddressTable, EntryHoldsNetworkInverseMaskAndTexts) {
  pcap_if_t* d = L.AddDevice("eth0", nullptr);
  L.AddIPv4(d, "192.168.1.20", "255.255.255.0");
  FillAddressTable(d->addresses, W);
  ASSERT_EQ(W.AddressCount, 1);
  const TNetIPMask& e = W.Addresses[0];
  EXPECT_EQ(e.IP, zultest::Ip("192.168.1.20"));
  EXPECT_EQ(e.Mask, zultest::Ip("255.255.255.0"));
  EXPECT_EQ(e.Net, zultest::Ip("192.168.1.0"));
  EXPECT_EQ(e.InvMask, zultest::Ip("0.0.0.255"));
  EXPECT_EQ(e.IPText, "192.168.1.20");
  EXPECT_EQ(e.MaskText, "255.255.255.0");
}

TEST_F(AddressTable, KeepsTheFirstSixteenOfTwentyAddressesInListingOrder) {
  pcap_if_t* d = L.AddDevice("eth0", nullptr);
  std::deque<std::string> ips;
  for (int i = 1; i <= 20; ++i)
    L.AddIPv4(d, ips.emplace_back("192.0.2." + std::to_string(i)).c_str(), "255.255.255.0");
  FillAddressTable(d->addresses, W);
  ASSERT_EQ(W.AddressCount, 16);
  EXPECT_EQ(W.Addresses[0].IPText, "192.0.2.1");
  EXPECT_EQ(W.Addresses[15].IPText, "192.0.2.16");
}

TEST_F(AddressTable, SkipsEntriesThatAreNotIPv4OrHaveNoNetmask) {
  pcap_if_t* d = L.AddDevice("eth0", nullptr);
  L.AddLinkLayer(d);
  L.AddIPv6(d);
  L.AddIPv4(d, "192.0.2.9", nullptr);
  L.AddIPv4(d, "203.0.113.5", "255.255.255.128");
  FillAddressTable(d->addresses, W);
  ASSERT_EQ(W.AddressCount, 1);
  EXPECT_EQ(W.Addresses[0].IPText, "203.0.113.5");
  EXPECT_EQ(W.Addresses[0].MaskText, "255.255.255.128");
}

TEST_F(AddressTable, IPv6TableKeepsPrefixesButNotLinkLocalOnes) {
  pcap_if_t* d = L.AddDevice("eth0", nullptr);
  L.AddIPv4(d, "192.0.2.9", "255.255.255.0");
  L.AddIPv6(d, "fe80::1", 64);
  L.AddIPv6(d, "2001:db8:1::20", 64);
  L.AddIPv6(d, "2001:db8:2::1");  // without a prefix: not kept, like IPv4 without a netmask
  L.AddIPv6(d, "2001:db8:ab00::1", 40);
  L.AddIPv6(d, "2001:db8:9::5", 128);
  FillAddressTable6(d->addresses, W);
  ASSERT_EQ(W.Address6Count, 3);
  EXPECT_EQ(W.Addresses6[0].IPText, "2001:db8:1::20");
  EXPECT_EQ(W.Addresses6[0].PrefixLength, 64);
  EXPECT_EQ(W.Addresses6[1].IPText, "2001:db8:ab00::1");
  EXPECT_EQ(W.Addresses6[1].PrefixLength, 40);
  EXPECT_EQ(W.Addresses6[2].PrefixLength, 128);
  EXPECT_EQ(W.AddressCount, 0);  // the IPv4 table is filled on its own
  // The tables classify: in the /64, in the /40, and just outside both.
  EXPECT_TRUE(IsLocalAddress6(W, zultest::Ip6("2001:db8:1::ffff").data()));
  EXPECT_TRUE(IsLocalAddress6(W, zultest::Ip6("2001:db8:abcd::1").data()));
  EXPECT_FALSE(IsLocalAddress6(W, zultest::Ip6("2001:db8:1:1::1").data()));
  EXPECT_FALSE(IsLocalAddress6(W, zultest::Ip6("2001:db8:2::1").data()));
}

TEST_F(AddressTable, IPv6TableKeepsTheFirstSixteen) {
  pcap_if_t* d = L.AddDevice("eth0", nullptr);
  std::deque<std::string> ips;
  for (int i = 1; i <= 20; ++i)
    L.AddIPv6(d, ips.emplace_back("2001:db8:" + std::to_string(i) + "::1").c_str(), 64);
  FillAddressTable6(d->addresses, W);
  ASSERT_EQ(W.Address6Count, 16);
  EXPECT_EQ(W.Addresses6[15].IPText, "2001:db8:16::1");
}

TEST_F(AddressTable, DeviceWithoutIPv4KeepsAnEmptyTable) {
  pcap_if_t* d = L.AddDevice("wg0", nullptr);
  L.AddIPv6(d);
  FillAddressTable(d->addresses, W);
  EXPECT_EQ(W.AddressCount, 0);
}

TEST(GuidPart, BracedGuidIsTakenWithItsBraces) {
  EXPECT_EQ(GuidPartOf("\\Device\\NPF_{AB12-CD}"), "{AB12-CD}");
  EXPECT_EQ(GuidPartOf("x_{AB12-CD}_{EF}"), "{AB12-CD}");
}

TEST(GuidPart, NameWithoutACompleteGuidIsTakenWhole) {
  EXPECT_EQ(GuidPartOf("eth0"), "eth0");
  EXPECT_EQ(GuidPartOf("odd{name"), "odd{name");
  EXPECT_EQ(GuidPartOf("}odd{"), "}odd{");
}

TEST(AdapterMAC, UnknownAdapterGivesAZeroAddressAndFalse) {
  TMacAddress mac;
  mac.fill(0xAB);
  EXPECT_FALSE(GetAdapterMAC("no-such-adapter-zul", mac));
  EXPECT_EQ(mac, TMacAddress{});
  EXPECT_FALSE(GetAdapterMAC("", mac));
}

TEST(AdapterMAC, PlainNameMustMatchTheWholeAdapterName) {
  // "o" is inside "lo" but names no adapter.
  TMacAddress mac;
  EXPECT_FALSE(GetAdapterMAC("o", mac));
  EXPECT_TRUE(GetAdapterMAC("lo", mac));
  EXPECT_EQ(mac, TMacAddress{});  // loopback has an all-zero address
}

}  // namespace
}  // namespace zul
