// Which counters of the current second a frame belongs to: this computer's or not by the
// adapter's hardware address, LAN or Internet by the adapter's subnets (IPv4) and prefixes
// (IPv6).
#include "capture/Classify.h"

#include <cstring>

namespace zul {
namespace {

// The exported functions below only forward to these: being internal, they are inlined into
// the per-frame path even in a position-independent build.
inline bool LocalAddress(const TAddressTable& W, uint32_t A) {
  // Multicast that routers keep inside the link (224.0.0.0/24) or the site (239.0.0.0/8): mDNS,
  // SSDP and their like never reach the Internet.
  const auto* b = reinterpret_cast<const uint8_t*>(&A);
  if ((b[0] == 224 && b[1] == 0 && b[2] == 0) || b[0] == 239) return true;
  for (int32_t i = 0; i < W.AddressCount && i < kMaxAddresses; ++i) {
    const TNetIPMask& e = W.Addresses[i];
    if ((A & e.Mask) == e.Net) return true;
    if (A == 0xFFFFFFFFu) return true;
  }
  return false;
}

inline bool LocalAddress6(const TAddressTable& W, const uint8_t* A) {
  if (A[0] == 0xFE && (A[1] & 0xC0) == 0x80) return true;                           // fe80::/10
  if (A[0] == 0xFF && (A[1] == 0x01 || A[1] == 0x02 || A[1] == 0x05)) return true;  // ff0X::/16
  uint64_t half[2];
  std::memcpy(half, A, sizeof(half));
  for (int32_t i = 0; i < W.Address6Count && i < kMaxAddresses; ++i) {
    const TNetIP6Mask& e = W.Addresses6[i];
    if ((half[0] & e.Mask[0]) == e.Net[0] && (half[1] & e.Mask[1]) == e.Net[1]) return true;
  }
  return false;
}

// The table's own address; one that was never found matches nothing, not even a zero address.
inline bool IsOwnMAC(const TAddressTable& W, const uint8_t* mac) {
  return W.MACFound && CompareMAC(mac, W.MAC.data()) == 0;
}

inline void LanFrame(const TAddressTable& W, const uint8_t* frame, uint32_t L,
                     TCounterBlock& counters) {
  const uint8_t* dest = frame + kDestMacOffset;
  if (IsOwnMAC(W, frame + kSourceMacOffset)) counters[ciLanUp] += L;
  if (IsOwnMAC(W, dest)) counters[ciLanDown] += L;
  if (CompareMAC(dest, BroadcastMAC.data()) == 0) counters[ciLanDown] += L;
}

}  // namespace

bool IsLocalAddress(const TAddressTable& W, uint32_t A) {
  return LocalAddress(W, A);
}

bool IsLocalAddress6(const TAddressTable& W, const uint8_t* A) {
  return A != nullptr && LocalAddress6(W, A);
}

void CountLanFrame(const TAddressTable& W, const uint8_t* frame, uint32_t L,
                   TCounterBlock& counters) {
  LanFrame(W, frame, L, counters);
}

void ClassifyFrame(const TAddressTable& W, const uint8_t* frame, uint32_t captured, uint32_t L,
                   TCounterBlock& c) {
  if (frame == nullptr || captured < kEthernetHeaderLength) return;
  // Whether each end of an IP frame is local; frames of other protocols are LAN frames.
  bool sourceLocal = true;
  bool destLocal = true;
  const uint8_t* ip = nullptr;
  if (GetIPv4Header(frame, captured, &ip)) {
    sourceLocal = LocalAddress(W, ReadNetworkAddress(ip + kIPv4SourceOffset));
    destLocal = sourceLocal && LocalAddress(W, ReadNetworkAddress(ip + kIPv4DestOffset));
  } else if (GetIPv6Header(frame, captured, &ip)) {
    sourceLocal = LocalAddress6(W, ip + kIPv6SourceOffset);
    destLocal = sourceLocal && LocalAddress6(W, ip + kIPv6DestOffset);
  }
  if (!sourceLocal) {
    if (IsOwnMAC(W, frame + kDestMacOffset)) c[ciWanDown] += L;
    c[ciAllPcsDown] += L;
    return;
  }
  if (!destLocal) {
    if (IsOwnMAC(W, frame + kSourceMacOffset)) c[ciWanUp] += L;
    c[ciAllPcsUp] += L;
    return;
  }
  LanFrame(W, frame, L, c);
}

}  // namespace zul
