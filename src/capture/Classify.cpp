// Which counters of the current second a frame belongs to: this computer's or not by the
// adapter's hardware address, LAN or Internet by the adapter's subnets.
#include "capture/Classify.h"

#include <cstring>

#include "capture/Watch.h"

namespace zul {

uint16_t EtherTypeOf(const uint8_t* frame) {
  return static_cast<uint16_t>((frame[kEtherTypeOffset] << 8) | frame[kEtherTypeOffset + 1]);
}

bool GetIPv4Header(const uint8_t* frame, uint32_t capturedLength, const uint8_t** ipv4Header) {
  if (frame == nullptr || capturedLength < kIPv4MinFrameLength) return false;
  if (EtherTypeOf(frame) != kEtherTypeIPv4) return false;
  if (ipv4Header != nullptr) *ipv4Header = frame + kEthernetHeaderLength;
  return true;
}

int CompareMAC(const uint8_t* a, const uint8_t* b) {
  for (int i = 0; i < 6; ++i) {
    if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
  }
  return 0;
}

uint32_t ReadNetworkAddress(const uint8_t* p) {
  uint32_t v = 0;
  std::memcpy(&v, p, sizeof(v));  // keeps the wire's byte order, as the address tables do
  return v;
}

bool IsLocalAddress(const TWatch& W, uint32_t A) {
  for (int32_t i = 0; i < W.AddressCount && i < kMaxAddresses; ++i) {
    const TNetIPMask& e = W.Addresses[i];
    if ((A & e.Mask) == e.Net) return true;
    if (A == 0xFFFFFFFFu) return true;
  }
  return false;
}

namespace {

// The watcher's own address; one that was never found matches nothing, not even a zero address.
bool IsOwnMAC(const TWatch& W, const uint8_t* mac) {
  return W.MACFound && CompareMAC(mac, W.MAC.data()) == 0;
}

}  // namespace

void CountLanFrame(const TWatch& W, const uint8_t* frame, uint32_t L, TCounterBlock& counters) {
  const uint8_t* dest = frame + kDestMacOffset;
  if (IsOwnMAC(W, frame + kSourceMacOffset)) counters[ciLanUp] += L;
  if (IsOwnMAC(W, dest)) counters[ciLanDown] += L;
  if (CompareMAC(dest, BroadcastMAC.data()) == 0) counters[ciLanDown] += L;
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
    if (!IsLocalAddress(*this, source)) {
      if (IsOwnMAC(*this, EthernetHeader + kDestMacOffset)) c[ciWanDown] += L;
      c[ciAllPcsDown] += L;
      return;
    }
    if (!IsLocalAddress(*this, dest)) {
      if (IsOwnMAC(*this, EthernetHeader + kSourceMacOffset)) c[ciWanUp] += L;
      c[ciAllPcsUp] += L;
      return;
    }
  }
  CountLanFrame(*this, EthernetHeader, L, c);
}

}  // namespace zul
