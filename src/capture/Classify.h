// The classification of a frame into the counters of the current second, and the frame functions
// it uses: the few header fields it reads, each read only when the captured bytes hold it. Qt-free.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "capture/AddressTable.h"
#include "vartype.h"

namespace zul {

inline constexpr TMacAddress BroadcastMAC = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Ethernet header: destination MAC 0-5, source MAC 6-11, EtherType 12-13 (network byte order).
inline constexpr uint32_t kEthernetHeaderLength = 14;
inline constexpr uint32_t kDestMacOffset = 0;
inline constexpr uint32_t kSourceMacOffset = 6;
inline constexpr uint32_t kEtherTypeOffset = 12;
inline constexpr uint16_t kEtherTypeIPv4 = 0x0800;
// Inside the IPv4 header: the source and destination addresses.
inline constexpr uint32_t kIPv4SourceOffset = 12;
inline constexpr uint32_t kIPv4DestOffset = 16;
// A frame must hold this many bytes before both IPv4 addresses can be read.
inline constexpr uint32_t kIPv4MinFrameLength = kEthernetHeaderLength + kIPv4DestOffset + 4;
// IPv6: the fixed 40-byte header, with the source address at 8 and the destination at 24.
inline constexpr uint16_t kEtherTypeIPv6 = 0x86DD;
inline constexpr uint32_t kIPv6HeaderLength = 40;
inline constexpr uint32_t kIPv6SourceOffset = 8;
inline constexpr uint32_t kIPv6DestOffset = 24;
inline constexpr uint32_t kIPv6MinFrameLength = kEthernetHeaderLength + kIPv6HeaderLength;

// Defined here rather than out of line: the library is built position-independent, where the
// compiler may not inline an exported function, and these run for every captured frame.

// The EtherType of a frame of at least kEthernetHeaderLength captured bytes.
inline uint16_t EtherTypeOf(const uint8_t* frame) {
  return static_cast<uint16_t>((frame[kEtherTypeOffset] << 8) | frame[kEtherTypeOffset + 1]);
}

// True when the frame carries IPv4 (EtherType 0x0800) and its capture holds both addresses; then
// *ipv4Header (when given) points at byte 14. A shorter IPv4 frame is not treated as IPv4, since
// its addresses were never captured. VLAN-tagged frames (0x8100) are not IPv4.
inline bool GetIPv4Header(const uint8_t* frame, uint32_t capturedLength,
                          const uint8_t** ipv4Header = nullptr) {
  if (frame == nullptr || capturedLength < kIPv4MinFrameLength) return false;
  if (EtherTypeOf(frame) != kEtherTypeIPv4) return false;
  if (ipv4Header != nullptr) *ipv4Header = frame + kEthernetHeaderLength;
  return true;
}

// True when the frame carries IPv6 (EtherType 0x86DD) and its capture holds the whole fixed
// header; then *ipv6Header (when given) points at byte 14. A shorter one is not treated as IPv6.
inline bool GetIPv6Header(const uint8_t* frame, uint32_t capturedLength,
                          const uint8_t** ipv6Header = nullptr) {
  if (frame == nullptr || capturedLength < kIPv6MinFrameLength) return false;
  if (EtherTypeOf(frame) != kEtherTypeIPv6) return false;
  if (ipv6Header != nullptr) *ipv6Header = frame + kEthernetHeaderLength;
  return true;
}

// Compares two 6-byte hardware addresses byte by byte as unsigned values: -1, 0 or 1.
inline int CompareMAC(const uint8_t* a, const uint8_t* b) {
  for (int i = 0; i < 6; ++i) {
    if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
  }
  return 0;
}

// The 4 bytes at p as a 32-bit value in network byte order, the way the address tables keep them.
inline uint32_t ReadNetworkAddress(const uint8_t* p) {
  uint32_t v = 0;
  std::memcpy(&v, p, sizeof(v));  // keeps the wire's byte order, as the address tables do
  return v;
}

// Whether A (network byte order) lies in one of the table's subnets, is link- or site-scoped
// multicast, or is the limited broadcast address while the table has at least one subnet.
bool IsLocalAddress(const TAddressTable& W, uint32_t A);
// Whether the 16-byte IPv6 address at A lies in one of the table's prefixes, is link-local
// (fe80::/10) or is multicast that no router forwards beyond the site (ff01::/16, ff02::/16,
// ff05::/16).
bool IsLocalAddress6(const TAddressTable& W, const uint8_t* A);

// Counts a frame of wire length L that holds at least an Ethernet header, by the LAN rules.
void CountLanFrame(const TAddressTable& W, const uint8_t* frame, uint32_t L,
                   TCounterBlock& counters);

// Adds an Ethernet frame's length on the wire, L, to the counters it belongs to by the table:
// this computer's or not by hardware address, LAN or Internet by subnet. `captured` bytes of it
// are at `frame`; a frame shorter than an Ethernet header counts nowhere.
void ClassifyFrame(const TAddressTable& W, const uint8_t* frame, uint32_t captured, uint32_t L,
                   TCounterBlock& counters);

// Adds an IP packet's length L by the table alone, for an adapter without hardware addresses (a
// tunnel, a point-to-point link): this computer's when an end is one of the adapter's own
// addresses, LAN or Internet by subnet. `captured` bytes of it are at `packet`.
void ClassifyPacket(const TAddressTable& W, const uint8_t* packet, uint32_t captured, uint32_t L,
                    TCounterBlock& counters);

// Classifies what a capture of link-layer type `linkType` delivered: Ethernet frames by
// ClassifyFrame, raw and cooked IP by ClassifyPacket; other link types count nowhere.
void ClassifyCaptured(const TAddressTable& W, int linkType, const uint8_t* data, uint32_t captured,
                      uint32_t L, TCounterBlock& counters);

}  // namespace zul
