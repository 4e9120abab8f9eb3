// Which counters of the current second a frame belongs to: this computer's or not by the
// adapter's hardware address, LAN or Internet by the adapter's subnets.
#include "capture/Classify.h"

#include <cstring>

#include "capture/Watch.h"

namespace zul {
namespace {

// The exported functions below only forward to these: being internal, they are inlined into
// the per-frame path even in a position-independent build.
inline bool LocalAddress(const TWatch& W, uint32_t A) {
  for (int32_t i = 0; i < W.AddressCount && i < kMaxAddresses; ++i) {
    const TNetIPMask& e = W.Addresses[i];
    if ((A & e.Mask) == e.Net) return true;
    if (A == 0xFFFFFFFFu) return true;
  }
  return false;
}

// The watcher's own address; one that was never found matches nothing, not even a zero address.
inline bool IsOwnMAC(const TWatch& W, const uint8_t* mac) {
  return W.MACFound && std::memcmp(mac, W.MAC.data(), W.MAC.size()) == 0;
}

inline void LanFrame(const TWatch& W, const uint8_t* frame, uint32_t L, TCounterBlock& counters) {
  const uint8_t* dest = frame + kDestMacOffset;
  if (IsOwnMAC(W, frame + kSourceMacOffset)) counters[ciLanUp] += L;
  if (IsOwnMAC(W, dest)) counters[ciLanDown] += L;
  if (std::memcmp(dest, BroadcastMAC.data(), BroadcastMAC.size()) == 0) counters[ciLanDown] += L;
}

}  // namespace

bool IsLocalAddress(const TWatch& W, uint32_t A) {
  return LocalAddress(W, A);
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

  const uint8_t* ip = nullptr;
  if (GetIPv4Header(EthernetHeader, captured, &ip)) {
    const uint32_t source = ReadNetworkAddress(ip + kIPv4SourceOffset);
    const uint32_t dest = ReadNetworkAddress(ip + kIPv4DestOffset);
    if (!LocalAddress(*this, source)) {
      if (IsOwnMAC(*this, EthernetHeader + kDestMacOffset)) c[ciWanDown] += L;
      c[ciAllPcsDown] += L;
      return;
    }
    if (!LocalAddress(*this, dest)) {
      if (IsOwnMAC(*this, EthernetHeader + kSourceMacOffset)) c[ciWanUp] += L;
      c[ciAllPcsUp] += L;
      return;
    }
  }
  LanFrame(*this, EthernetHeader, L, c);
}

}  // namespace zul
