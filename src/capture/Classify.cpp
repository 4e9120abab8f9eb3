// Which counters of the current second a frame belongs to: this computer's or not by the
// adapter's hardware address, LAN or Internet by the adapter's subnets (IPv4) and prefixes
// (IPv6).
#include "capture/Classify.h"

#include <cstring>

#include "capture/Watch.h"

namespace zul {
namespace {

// The exported functions below only forward to these: being internal, they are inlined into
// the per-frame path even in a position-independent build.
inline bool LocalAddress(const TWatch& W, uint32_t A) {
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

inline bool LocalAddress6(const TWatch& W, const uint8_t* A) {
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

// The watcher's own address; one that was never found matches nothing, not even a zero address.
inline bool IsOwnMAC(const TWatch& W, const uint8_t* mac) {
  return W.MACFound && CompareMAC(mac, W.MAC.data()) == 0;
}

inline void LanFrame(const TWatch& W, const uint8_t* frame, uint32_t L, TCounterBlock& counters) {
  const uint8_t* dest = frame + kDestMacOffset;
  if (IsOwnMAC(W, frame + kSourceMacOffset)) counters[ciLanUp] += L;
  if (IsOwnMAC(W, dest)) counters[ciLanDown] += L;
  if (CompareMAC(dest, BroadcastMAC.data()) == 0) counters[ciLanDown] += L;
}

}  // namespace

bool IsLocalAddress(const TWatch& W, uint32_t A) {
  return LocalAddress(W, A);
}

bool IsLocalAddress6(const TWatch& W, const uint8_t* A) {
  return A != nullptr && LocalAddress6(W, A);
}

void CountLanFrame(const TWatch& W, const uint8_t* frame, uint32_t L, TCounterBlock& counters) {
  LanFrame(W, frame, L, counters);
}

void TWatch::HandlePacket(TSnoop* Sender, const pcap_pkthdr* PacketHeader,
                          const uint8_t* EthernetHeader) {
  if (PacketHeader == nullptr || EthernetHeader == nullptr || Counters == nullptr) return;
  // A tunnel delivers raw IP; read as Ethernet its bytes would be nonsense.
  if (Sender != nullptr && Sender->LinkType() != DLT_EN10MB) return;
  const uint32_t captured = PacketHeader->caplen;
  if (captured < kEthernetHeaderLength) return;
  const uint32_t L = PacketHeader->len;  // the length on the wire, not what was captured
  TCounterBlock& c = *Counters;

  // Whether each end of an IP frame is local; frames of other protocols are LAN frames.
  bool sourceLocal = true;
  bool destLocal = true;
  const uint8_t* ip = nullptr;
  if (GetIPv4Header(EthernetHeader, captured, &ip)) {
    sourceLocal = LocalAddress(*this, ReadNetworkAddress(ip + kIPv4SourceOffset));
    destLocal = sourceLocal && LocalAddress(*this, ReadNetworkAddress(ip + kIPv4DestOffset));
  } else if (GetIPv6Header(EthernetHeader, captured, &ip)) {
    sourceLocal = LocalAddress6(*this, ip + kIPv6SourceOffset);
    destLocal = sourceLocal && LocalAddress6(*this, ip + kIPv6DestOffset);
  }
  if (!sourceLocal) {
    if (IsOwnMAC(*this, EthernetHeader + kDestMacOffset)) c[ciWanDown] += L;
    c[ciAllPcsDown] += L;
    return;
  }
  if (!destLocal) {
    if (IsOwnMAC(*this, EthernetHeader + kSourceMacOffset)) c[ciWanUp] += L;
    c[ciAllPcsUp] += L;
    return;
  }
  LanFrame(*this, EthernetHeader, L, c);
}

}  // namespace zul
