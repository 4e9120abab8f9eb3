// Which counters of the current second a frame belongs to: this computer's or not by the
// adapter's hardware address, LAN or Internet by the adapter's subnets (IPv4) and prefixes
// (IPv6).
#include "capture/Classify.h"

#include <pcap/dlt.h>

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

// Whether the source (or destination) end of an IP header is one of the table's own addresses.
// `v4` tells which of the two headers `ip` points at, as the frame's EtherType said.
inline bool OwnEnd(const TAddressTable& W, const uint8_t* ip, bool v4, bool source) {
  if (ip == nullptr) return true;
  if (v4)
    return IsOwnAddress(W, ReadNetworkAddress(ip + (source ? kIPv4SourceOffset : kIPv4DestOffset)));
  return IsOwnAddress6(W, ip + (source ? kIPv6SourceOffset : kIPv6DestOffset));
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
  const bool v4 = GetIPv4Header(frame, captured, &ip);
  if (v4) {
    sourceLocal = LocalAddress(W, ReadNetworkAddress(ip + kIPv4SourceOffset));
    destLocal = sourceLocal && LocalAddress(W, ReadNetworkAddress(ip + kIPv4DestOffset));
  } else if (GetIPv6Header(frame, captured, &ip)) {
    sourceLocal = LocalAddress6(W, ip + kIPv6SourceOffset);
    destLocal = sourceLocal && LocalAddress6(W, ip + kIPv6DestOffset);
  }
  if (!sourceLocal) {
    // This computer passing an Internet reply on to another: counted on the uplink it came by.
    if (W.Downstream && IsOwnMAC(W, frame + kSourceMacOffset) && !OwnEnd(W, ip, v4, false)) return;
    if (IsOwnMAC(W, frame + kDestMacOffset)) c[ciWanDown] += L;
    c[ciAllPcsDown] += L;
    return;
  }
  if (!destLocal) {
    // Another computer's frame that this computer forwards: counted on the uplink it leaves by.
    if (W.Downstream && IsOwnMAC(W, frame + kDestMacOffset) && !OwnEnd(W, ip, v4, true)) return;
    if (IsOwnMAC(W, frame + kSourceMacOffset)) c[ciWanUp] += L;
    c[ciAllPcsUp] += L;
    return;
  }
  LanFrame(W, frame, L, c);
}

void ClassifyPacket(const TAddressTable& W, const uint8_t* packet, uint32_t captured, uint32_t L,
                    TCounterBlock& c) {
  if (packet == nullptr || captured < 1) return;
  bool sourceLocal = true, destLocal = true, fromUs = false, toUs = false;
  const int version = packet[0] >> 4;
  if (version == 4 && captured >= kIPv4DestOffset + 4) {
    const uint32_t src = ReadNetworkAddress(packet + kIPv4SourceOffset);
    const uint32_t dst = ReadNetworkAddress(packet + kIPv4DestOffset);
    sourceLocal = LocalAddress(W, src);
    destLocal = LocalAddress(W, dst);
    fromUs = IsOwnAddress(W, src);
    toUs = IsOwnAddress(W, dst);
  } else if (version == 6 && captured >= kIPv6HeaderLength) {
    sourceLocal = LocalAddress6(W, packet + kIPv6SourceOffset);
    destLocal = LocalAddress6(W, packet + kIPv6DestOffset);
    fromUs = IsOwnAddress6(W, packet + kIPv6SourceOffset);
    toUs = IsOwnAddress6(W, packet + kIPv6DestOffset);
  } else {
    return;
  }
  // A point-to-point link's peer is its one neighbour: what is not this computer's Internet
  // traffic is LAN traffic between the two.
  if (fromUs) {
    if (destLocal) {
      c[ciLanUp] += L;
    } else {
      c[ciWanUp] += L;
      c[ciAllPcsUp] += L;
    }
  } else if (toUs) {
    if (sourceLocal) {
      c[ciLanDown] += L;
    } else {
      c[ciWanDown] += L;
      c[ciAllPcsDown] += L;
    }
  } else if (!sourceLocal) {
    c[ciAllPcsDown] += L;
  } else if (!destLocal) {
    c[ciAllPcsUp] += L;
  }
}

void ClassifyCaptured(const TAddressTable& W, int linkType, const uint8_t* data, uint32_t captured,
                      uint32_t L, TCounterBlock& c) {
  if (data == nullptr) return;
  switch (linkType) {
    case DLT_EN10MB:
      ClassifyFrame(W, data, captured, L, c);
      break;
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
      ClassifyPacket(W, data, captured, L, c);
      break;
    case DLT_LINUX_SLL:
      // A cooked header of 16 bytes, the protocol in its last two.
      if (captured > 16) ClassifyPacket(W, data + 16, captured - 16, L, c);
      break;
    case DLT_LINUX_SLL2:
      if (captured > 20) ClassifyPacket(W, data + 20, captured - 20, L, c);
      break;
    default:
      break;
  }
}

}  // namespace zul
