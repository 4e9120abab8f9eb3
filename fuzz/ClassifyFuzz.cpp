// One captured frame through a watcher's classification, as the capture hands it over, on an
// address table that the input's first bytes describe.
//
// Input: byte 0 chooses the table (bits 0-1: IPv4 entries, 2-3: IPv6 entries, 4: the hardware
// address is known, 5: entries the tables must skip come first, 6: the entries repeat past the
// table's room); bytes 1-2 (little-endian) are what the wire length adds to the captured length;
// bytes 3-8 the watcher's hardware address; then 5 bytes per IPv4 entry (address, prefix length)
// and 17 per IPv6 entry; the rest is the frame, captured whole up to the input's end.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzKit.h"
#include "capture/Classify.h"
#include "capture/HelperStream.h"

namespace zul {
namespace {

using zulfuzz::Check;

class TReader {
 public:
  TReader(const uint8_t* data, std::size_t size) : Data(data), Size(size) {}
  bool Take(std::size_t n, const uint8_t*& at) {
    if (Size - Pos < n) return false;
    at = Data + Pos;
    Pos += n;
    return true;
  }
  const uint8_t* Rest() const { return Data + Pos; }
  std::size_t RestSize() const { return Size - Pos; }

 private:
  const uint8_t* Data;
  std::size_t Size;
  std::size_t Pos = 0;
};

// Address entries as the capture library lists a device's: each address and netmask in storage
// of its own, linked in order.
class TAddressList {
 public:
  void AddIPv4(const uint8_t* address, unsigned prefix) {
    sockaddr_in& a = New<sockaddr_in>(Addresses);
    a.sin_family = AF_INET;
    std::memcpy(&a.sin_addr, address, 4);
    sockaddr_in& m = New<sockaddr_in>(Masks);
    m.sin_family = AF_INET;
    const uint32_t host = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
    m.sin_addr.s_addr = htonl(host);
  }
  void AddIPv6(const uint8_t* address, unsigned prefix) {
    sockaddr_in6& a = New<sockaddr_in6>(Addresses);
    a.sin6_family = AF_INET6;
    std::memcpy(&a.sin6_addr, address, 16);
    sockaddr_in6& m = New<sockaddr_in6>(Masks);
    m.sin6_family = AF_INET6;
    for (unsigned bit = 0; bit < prefix; ++bit)
      m.sin6_addr.s6_addr[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
  }
  // An address without a netmask, and one of a family the tables do not keep.
  void AddSkipped() {
    New<sockaddr_in>(Addresses).sin_family = AF_INET;
    Masks.emplace_back();
    Masks.back().ss_family = AF_UNSPEC;
    NoMask.push_back(Addresses.size() - 1);
    New<sockaddr_storage>(Addresses).ss_family = AF_PACKET;
    New<sockaddr_storage>(Masks).ss_family = AF_PACKET;
  }
  const pcap_addr_t* Link() {
    Entries.assign(Addresses.size(), pcap_addr_t{});
    for (std::size_t i = 0; i < Entries.size(); ++i) {
      Entries[i].addr = reinterpret_cast<sockaddr*>(&Addresses[i]);
      const bool noMask = std::find(NoMask.begin(), NoMask.end(), i) != NoMask.end();
      Entries[i].netmask = noMask ? nullptr : reinterpret_cast<sockaddr*>(&Masks[i]);
      Entries[i].next = i + 1 < Entries.size() ? &Entries[i + 1] : nullptr;
    }
    return Entries.empty() ? nullptr : Entries.data();
  }

 private:
  template <typename T>
  static T& New(std::vector<sockaddr_storage>& list) {
    list.emplace_back();
    return *reinterpret_cast<T*>(&list.back());
  }
  std::vector<sockaddr_storage> Addresses;
  std::vector<sockaddr_storage> Masks;
  std::vector<std::size_t> NoMask;
  std::vector<pcap_addr_t> Entries;
};

// The counters that a frame of wire length `wire` may change, and by how much.
void CheckGrowth(const TAddressTable& w, const TCounterBlock& before, const TCounterBlock& after,
                 uint32_t wire) {
  const bool ownIsBroadcast = w.MACFound && w.MAC == BroadcastMAC;
  for (int c = 0; c < kCounterCount; ++c) {
    const uint64_t grew = after[c] - before[c];
    Check(after[c] >= before[c], "a counter went down");
    if (c == ciWanLanUp || c == ciWanLanDown || c == ciReserved) {
      Check(grew == 0, "the sums and the reserved slot are the sampler's");
    } else if (c == ciLanDown && ownIsBroadcast) {
      Check(grew == 0 || grew == wire || grew == 2 * wire, "LAN download grew by another amount");
    } else {
      Check(grew == 0 || grew == wire, "a counter grew by other than the wire length");
    }
  }
}

}  // namespace
}  // namespace zul

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace zul;
  TReader in(data, size);
  const uint8_t* head = nullptr;
  if (!in.Take(9, head)) return 0;
  const unsigned ipv4Count = head[0] & 3u;
  const unsigned ipv6Count = (head[0] >> 2) & 3u;
  const bool macFound = (head[0] & 0x10) != 0;
  const bool skipped = (head[0] & 0x20) != 0;
  const int rounds = (head[0] & 0x40) != 0 ? kMaxAddresses + 2 : 1;
  const uint32_t extra = static_cast<uint32_t>(head[1] | (head[2] << 8));

  TAddressList list;
  if (skipped) list.AddSkipped();
  std::vector<const uint8_t*> v4(ipv4Count);
  std::vector<const uint8_t*> v6(ipv6Count);
  for (auto& e : v4)
    if (!in.Take(5, e)) return 0;
  for (auto& e : v6)
    if (!in.Take(17, e)) return 0;
  for (int r = 0; r < rounds; ++r) {
    for (const uint8_t* e : v4) list.AddIPv4(e, e[4] % 33u);
    for (const uint8_t* e : v6) list.AddIPv6(e, e[16] % 129u);
  }

  TCounterBlock counters{};
  TAddressTable w;
  w.MACFound = macFound;
  std::memcpy(w.MAC.data(), head + 3, 6);
  const pcap_addr_t* addresses = list.Link();
  FillAddressTable(addresses, w);
  FillAddressTable6(addresses, w);
  Check(w.AddressCount >= 0 && w.AddressCount <= kMaxAddresses, "IPv4 table overran");
  Check(w.Address6Count >= 0 && w.Address6Count <= kMaxAddresses, "IPv6 table overran");
  Check(w.AddressCount <= static_cast<int32_t>(ipv4Count) * rounds,
        "IPv4 table took a skipped entry");
  // The table as the program sends it to the capture helper reads back alike.
  std::vector<uint8_t> encoded;
  EncodeTable(w, encoded);
  TAddressTable decoded;
  std::string why;
  Check(DecodeTable(encoded, decoded, why), "a table's own encoding is refused");
  Check(SameAddresses(w, decoded), "a table reads back otherwise");

  // The frame ends where the input does, so a read past the capture trips the address sanitizer.
  const uint8_t* frame = in.Rest();
  const auto captured = static_cast<uint32_t>(in.RestSize());
  const uint32_t wire = captured + extra;
  pcap_pkthdr h{};
  h.caplen = captured;
  h.len = wire;

  const uint8_t* ip = nullptr;
  if (GetIPv4Header(frame, captured, &ip)) {
    Check(ip == frame + kEthernetHeaderLength && captured >= kIPv4MinFrameLength,
          "IPv4 header past the capture");
  }
  if (GetIPv6Header(frame, captured, &ip)) {
    Check(ip == frame + kEthernetHeaderLength && captured >= kIPv6MinFrameLength,
          "IPv6 header past the capture");
  }

  // A frame without a header or a block to count into counts nothing.
  ClassifyFrame(w, nullptr, h.caplen, h.len, counters);
  Check(counters == TCounterBlock{}, "a call without a frame counted");

  const TCounterBlock before = counters;
  ClassifyFrame(w, frame, h.caplen, h.len, counters);
  const TCounterBlock once = counters;
  CheckGrowth(w, before, once, wire);
  if (captured < kEthernetHeaderLength || wire == 0) {
    Check(once == before, "a frame without an Ethernet header counted");
    return 0;
  }

  // The same frame again counts the same again.
  ClassifyFrame(w, frame, h.caplen, h.len, counters);
  for (int c = 0; c < kCounterCount; ++c)
    Check(counters[c] - once[c] == once[c] - before[c], "the same frame counted differently");

  // The Internet counters tick exactly when an end of a fully captured IP frame is outside the
  // watcher's subnets; the LAN counters then stay.
  bool sourceLocal = true;
  bool destLocal = true;
  if (GetIPv4Header(frame, captured, &ip)) {
    sourceLocal = IsLocalAddress(w, ReadNetworkAddress(ip + kIPv4SourceOffset));
    destLocal = IsLocalAddress(w, ReadNetworkAddress(ip + kIPv4DestOffset));
  } else if (GetIPv6Header(frame, captured, &ip)) {
    sourceLocal = IsLocalAddress6(w, ip + kIPv6SourceOffset);
    destLocal = IsLocalAddress6(w, ip + kIPv6DestOffset);
  }
  const uint64_t down = once[ciAllPcsDown] - before[ciAllPcsDown];
  const uint64_t up = once[ciAllPcsUp] - before[ciAllPcsUp];
  Check((down == wire) == !sourceLocal, "all PCs' download is not the outside sender's");
  Check((up == wire) == (sourceLocal && !destLocal),
        "all PCs' upload is not the outside receiver's");
  if (!sourceLocal || !destLocal) {
    Check(once[ciLanUp] == before[ciLanUp] && once[ciLanDown] == before[ciLanDown],
          "an Internet frame counted as LAN");
  }
  if (!w.MACFound) {
    Check(once[ciLanUp] == before[ciLanUp] && once[ciWanUp] == before[ciWanUp] &&
              once[ciWanDown] == before[ciWanDown],
          "an unknown hardware address matched");
  }
  return 0;
}
