// A bounded random run over the frame classification: random frames of every length in buffers
// of exactly their captured size (so that a read past them trips the address sanitizer), on
// random watchers, checked against the rules every classification must keep.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

#include "capture/Classify.h"
#include "capture/Watch.h"

namespace zul {
namespace {

constexpr int kRounds = 200000;

uint32_t Seed() {
  const char* env = std::getenv("ZUL_FUZZ_SEED");
  return env != nullptr ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : 20240331u;
}

class ClassifyFuzz : public ::testing::Test {
 protected:
  std::mt19937 Rng{Seed()};

  uint32_t Below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(Rng); }
  uint8_t Byte() { return static_cast<uint8_t>(Below(256)); }

  // Addresses from a small pool, so that subnet matches and misses both happen often.
  uint32_t PoolAddress() {
    static const uint8_t kPool[][4] = {{192, 168, 1, 20}, {192, 168, 1, 7},     {198, 51, 100, 7},
                                       {203, 0, 113, 9},  {255, 255, 255, 255}, {0, 0, 0, 0},
                                       {224, 0, 0, 251},  {10, 0, 0, 1}};
    uint32_t a = 0;
    if (Below(4) == 0) {
      for (int i = 0; i < 4; ++i) reinterpret_cast<uint8_t*>(&a)[i] = Byte();
    } else {
      std::memcpy(&a, kPool[Below(8)], 4);
    }
    return a;
  }

  void RandomWatcher(TWatch& w) {
    w.MACFound = Below(4) != 0;
    for (auto& b : w.MAC) b = w.MACFound ? Byte() : 0;
    w.AddressCount = static_cast<int32_t>(Below(kMaxAddresses + 1));
    for (int32_t i = 0; i < w.AddressCount; ++i) {
      const uint32_t prefix = Below(33);
      const uint32_t hostMask = prefix == 0 ? 0 : ~0u << (32 - prefix);
      TNetIPMask& e = w.Addresses[i];
      e.IP = PoolAddress();
      e.Mask = htonl(hostMask);
      e.Net = e.IP & e.Mask;
      e.InvMask = ~e.Mask;
    }
    w.Address6Count = static_cast<int32_t>(Below(kMaxAddresses + 1));
    for (int32_t i = 0; i < w.Address6Count; ++i) {
      TNetIP6Mask& e = w.Addresses6[i];
      PoolAddress6(e.IP.data());
      const uint32_t prefix = Below(129);
      std::array<uint8_t, 16> mask{};
      for (uint32_t bit = 0; bit < prefix; ++bit)
        mask[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
      std::array<uint8_t, 16> net{};
      for (int b = 0; b < 16; ++b) net[b] = e.IP[b] & mask[b];
      std::memcpy(e.Mask.data(), mask.data(), 16);
      std::memcpy(e.Net.data(), net.data(), 16);
    }
  }

  // IPv6 addresses from a small pool (prefix, link-local, multicast scopes) or random.
  void PoolAddress6(uint8_t* at) {
    static const uint8_t kHeads[][4] = {{0x20, 0x01, 0x0d, 0xb8}, {0xfe, 0x80, 0, 0},
                                        {0xff, 0x02, 0, 0},       {0xff, 0x05, 0, 0},
                                        {0xff, 0x0e, 0, 0},       {0xfd, 0x00, 0, 0}};
    for (int i = 0; i < 16; ++i) at[i] = Below(3) == 0 ? Byte() : 0;
    if (Below(4) != 0) std::memcpy(at, kHeads[Below(6)], 4);
  }

  // Hardware address for a frame: the watcher's own, broadcast, zero, or random.
  void PutMac(uint8_t* at, const TWatch& w) {
    switch (Below(4)) {
      case 0:
        std::memcpy(at, w.MAC.data(), 6);
        break;
      case 1:
        std::memset(at, 0xFF, 6);
        break;
      case 2:
        std::memset(at, 0, 6);
        break;
      default:
        for (int i = 0; i < 6; ++i) at[i] = Byte();
    }
  }
};

TEST_F(ClassifyFuzz, EveryFrameKeepsTheCountingRules) {
  for (int round = 0; round < kRounds; ++round) {
    TCounterBlock block{};
    TWatch w(block);
    RandomWatcher(w);

    const uint32_t captured = Below(5) == 0 ? Below(kIPv6MinFrameLength + 2) : Below(120);
    // The wire length is never below the captured length.
    const uint32_t wire = captured + (Below(2) == 0 ? 0 : Below(1600));
    auto bytes = std::make_unique<uint8_t[]>(captured == 0 ? 1 : captured);
    uint8_t* f = bytes.get();
    std::vector<uint8_t> full(std::max<uint32_t>(captured, kIPv6MinFrameLength));
    for (auto& b : full) b = Byte();
    PutMac(full.data(), w);
    PutMac(full.data() + 6, w);
    switch (Below(3)) {
      case 0: {
        full[12] = 0x08;
        full[13] = 0x00;
        const uint32_t src = PoolAddress();
        const uint32_t dst = PoolAddress();
        std::memcpy(full.data() + 26, &src, 4);
        std::memcpy(full.data() + 30, &dst, 4);
        break;
      }
      case 1:
        full[12] = 0x86;
        full[13] = 0xDD;
        PoolAddress6(full.data() + 22);
        PoolAddress6(full.data() + 38);
        break;
      default:
        break;  // whatever EtherType the random bytes make
    }
    std::memcpy(f, full.data(), captured);

    pcap_pkthdr h{};
    h.caplen = captured;
    h.len = wire;
    w.HandlePacket(nullptr, &h, f);

    SCOPED_TRACE(::testing::Message() << "round " << round << " caplen " << captured);
    // Sums and the reserved slot belong to nobody here.
    ASSERT_EQ(block[ciWanLanUp], 0u);
    ASSERT_EQ(block[ciWanLanDown], 0u);
    ASSERT_EQ(block[ciReserved], 0u);
    if (captured < kEthernetHeaderLength) {
      ASSERT_EQ(block, TCounterBlock{});
      continue;
    }
    const bool ownIsBroadcast = w.MACFound && w.MAC == BroadcastMAC;
    for (int c : {ciLanUp, ciWanUp, ciWanDown, ciAllPcsUp, ciAllPcsDown})
      ASSERT_TRUE(block[c] == 0 || block[c] == wire) << c;
    ASSERT_TRUE(block[ciLanDown] == 0 || block[ciLanDown] == wire ||
                (ownIsBroadcast && block[ciLanDown] == 2 * wire));
    const bool internet = block[ciAllPcsUp] != 0 || block[ciAllPcsDown] != 0;
    if (wire == 0) continue;
    ASSERT_FALSE(block[ciAllPcsUp] != 0 && block[ciAllPcsDown] != 0);
    if (block[ciWanDown] != 0) {
      ASSERT_NE(block[ciAllPcsDown], 0u);
    }
    if (block[ciWanUp] != 0) {
      ASSERT_NE(block[ciAllPcsUp], 0u);
    }
    if (internet) {
      // Only a fully captured IPv4 or IPv6 address pair can cross the boundary.
      const uint16_t type = EtherTypeOf(f);
      ASSERT_TRUE((type == kEtherTypeIPv4 && captured >= kIPv4MinFrameLength) ||
                  (type == kEtherTypeIPv6 && captured >= kIPv6MinFrameLength))
          << type;
      ASSERT_EQ(block[ciLanUp] + block[ciLanDown], 0u);
      // Link-local and site multicast destinations never do.
      if (type == kEtherTypeIPv6) {
        const uint8_t* ip = f + kEthernetHeaderLength;
        ASSERT_FALSE(IsLocalAddress6(w, ip + kIPv6SourceOffset) &&
                     IsLocalAddress6(w, ip + kIPv6DestOffset));
      }
    }
    if (!w.MACFound) {
      ASSERT_EQ(block[ciLanUp] + block[ciWanUp] + block[ciWanDown], 0u);
    }
    // The broadcast destination always reaches LAN download outside the Internet rules.
    if (!internet && std::memcmp(f, BroadcastMAC.data(), 6) == 0) {
      ASSERT_NE(block[ciLanDown], 0u);
    }
  }
}

TEST_F(ClassifyFuzz, CompareMACOrdersLikeAnUnsignedByteCompare) {
  for (int round = 0; round < kRounds; ++round) {
    uint8_t a[6];
    uint8_t b[6];
    for (int i = 0; i < 6; ++i) {
      a[i] = Byte();
      b[i] = Below(3) == 0 ? Byte() : a[i];
    }
    const int expected = std::memcmp(a, b, 6);
    const int got = CompareMAC(a, b);
    ASSERT_EQ(got, expected < 0 ? -1 : expected > 0 ? 1 : 0);
    ASSERT_EQ(CompareMAC(b, a), -got);
  }
}

TEST_F(ClassifyFuzz, GetIPv6HeaderNeverPointsPastTheCapture) {
  for (int round = 0; round < kRounds; ++round) {
    const uint32_t captured = Below(80);
    auto bytes = std::make_unique<uint8_t[]>(captured == 0 ? 1 : captured);
    for (uint32_t i = 0; i < captured; ++i) bytes[i] = Byte();
    if (captured >= 14 && Below(2) == 0) {
      bytes[12] = 0x86;
      bytes[13] = 0xDD;
    }
    const uint8_t* ip = nullptr;
    if (GetIPv6Header(bytes.get(), captured, &ip)) {
      ASSERT_EQ(ip, bytes.get() + kEthernetHeaderLength);
      ASSERT_GE(captured, kIPv6MinFrameLength);
      volatile uint8_t last = ip[kIPv6DestOffset + 15];
      (void)last;
    }
  }
}

TEST_F(ClassifyFuzz, GetIPv4HeaderNeverPointsPastTheCapture) {
  for (int round = 0; round < kRounds; ++round) {
    const uint32_t captured = Below(64);
    auto bytes = std::make_unique<uint8_t[]>(captured == 0 ? 1 : captured);
    for (uint32_t i = 0; i < captured; ++i) bytes[i] = Below(2) == 0 ? 0x08 : Byte();
    const uint8_t* ip = nullptr;
    if (GetIPv4Header(bytes.get(), captured, &ip)) {
      ASSERT_EQ(ip, bytes.get() + kEthernetHeaderLength);
      ASSERT_GE(captured, kIPv4MinFrameLength);
      // Reading the last address byte must stay inside the buffer.
      volatile uint32_t dest = ReadNetworkAddress(ip + kIPv4DestOffset);
      (void)dest;
    }
  }
}

}  // namespace
}  // namespace zul
