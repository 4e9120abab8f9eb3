#include "capture/AddressTable.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "capture/StreamBytes.h"

namespace zul {
namespace {

bool IsLinkLocal6(const uint8_t* a) {
  return a[0] == 0xFE && (a[1] & 0xC0) == 0x80;
}

std::string DottedText(uint32_t networkOrder) {
  in_addr a{};
  a.s_addr = networkOrder;
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &a, text, sizeof(text)) == nullptr) return {};
  return text;
}

std::string Text6(const uint8_t* a) {
  char text[INET6_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET6, a, text, sizeof(text)) == nullptr) return {};
  return text;
}

}  // namespace

bool IsOwnAddress(const TAddressTable& t, uint32_t A) {
  for (int32_t i = 0; i < t.AddressCount && i < kMaxAddresses; ++i)
    if (t.Addresses[i].IP == A) return true;
  return false;
}

bool IsOwnAddress6(const TAddressTable& t, const uint8_t* A) {
  for (int32_t i = 0; i < t.Address6Count && i < kMaxAddresses; ++i)
    if (std::memcmp(t.Addresses6[i].IP.data(), A, 16) == 0) return true;
  return false;
}

bool SameAddresses(const TAddressTable& a, const TAddressTable& b) {
  if (a.MAC != b.MAC || a.MACFound != b.MACFound || a.Downstream != b.Downstream ||
      a.AddressCount != b.AddressCount || a.Address6Count != b.Address6Count)
    return false;
  for (int32_t i = 0; i < a.AddressCount && i < kMaxAddresses; ++i)
    if (a.Addresses[i].IP != b.Addresses[i].IP || a.Addresses[i].Mask != b.Addresses[i].Mask)
      return false;
  for (int32_t i = 0; i < a.Address6Count && i < kMaxAddresses; ++i)
    if (a.Addresses6[i].IP != b.Addresses6[i].IP || a.Addresses6[i].Mask != b.Addresses6[i].Mask)
      return false;
  return true;
}

void AddAddress(TAddressTable& t, uint32_t ip, uint32_t mask) {
  if (t.AddressCount < 0 || t.AddressCount >= kMaxAddresses) return;
  TNetIPMask& e = t.Addresses[t.AddressCount];
  e.IP = ip;
  e.Mask = mask;
  e.Net = ip & mask;
  e.InvMask = ~mask;
  e.IPText = DottedText(ip);
  e.MaskText = DottedText(mask);
  ++t.AddressCount;
}

void AddAddress6(TAddressTable& t, const uint8_t* ip, const uint8_t* mask) {
  if (t.Address6Count < 0 || t.Address6Count >= kMaxAddresses || IsLinkLocal6(ip)) return;
  TNetIP6Mask& e = t.Addresses6[t.Address6Count];
  std::memcpy(e.IP.data(), ip, 16);
  std::memcpy(e.Mask.data(), mask, 16);
  std::array<uint64_t, 2> halves{};
  std::memcpy(halves.data(), ip, 16);
  e.Net[0] = halves[0] & e.Mask[0];
  e.Net[1] = halves[1] & e.Mask[1];
  e.PrefixLength = 0;
  for (int i = 0; i < 16; ++i) {
    uint8_t m = mask[i];
    while ((m & 0x80) != 0) {
      ++e.PrefixLength;
      m = static_cast<uint8_t>(m << 1);
    }
    if (mask[i] != 0xFF) break;
  }
  e.IPText = Text6(ip);
  ++t.Address6Count;
}

void FillAddressTable(const pcap_addr_t* addresses, TAddressTable& t) {
  for (const pcap_addr_t* a = addresses; a != nullptr && t.AddressCount < kMaxAddresses;
       a = a->next) {
    if (a->addr == nullptr || a->netmask == nullptr || a->addr->sa_family != AF_INET) continue;
    sockaddr_in ip{};
    sockaddr_in mask{};
    std::memcpy(&ip, a->addr, sizeof(ip));
    std::memcpy(&mask, a->netmask, sizeof(mask));
    AddAddress(t, ip.sin_addr.s_addr, mask.sin_addr.s_addr);
  }
}

void FillAddressTable6(const pcap_addr_t* addresses, TAddressTable& t) {
  for (const pcap_addr_t* a = addresses; a != nullptr && t.Address6Count < kMaxAddresses;
       a = a->next) {
    if (a->addr == nullptr || a->netmask == nullptr || a->addr->sa_family != AF_INET6) continue;
    sockaddr_in6 ip{};
    sockaddr_in6 mask{};
    std::memcpy(&ip, a->addr, sizeof(ip));
    // Some listings give the netmask with a family of its own; only its address bytes count.
    std::memcpy(&mask, a->netmask, sizeof(mask));
    AddAddress6(t, ip.sin6_addr.s6_addr, mask.sin6_addr.s6_addr);
  }
}

void EncodeTable(const TAddressTable& t, std::vector<uint8_t>& out) {
  const int32_t n4 = std::clamp<int32_t>(t.AddressCount, 0, kMaxAddresses);
  const int32_t n6 = std::clamp<int32_t>(t.Address6Count, 0, kMaxAddresses);
  out.insert(out.end(), t.MAC.begin(), t.MAC.end());
  bytes::Append<uint8_t>(out, t.MACFound ? 1 : 0);
  bytes::Append<uint8_t>(out, static_cast<uint8_t>(n4));
  bytes::Append<uint8_t>(out, static_cast<uint8_t>(n6));
  bytes::Append<uint8_t>(out, t.Downstream ? 1 : 0);
  bytes::Append<uint16_t>(out, 0);
  for (int32_t i = 0; i < n4; ++i) {
    bytes::Append<uint32_t>(out, t.Addresses[i].IP);
    bytes::Append<uint32_t>(out, t.Addresses[i].Mask);
  }
  for (int32_t i = 0; i < n6; ++i) {
    out.insert(out.end(), t.Addresses6[i].IP.begin(), t.Addresses6[i].IP.end());
    const auto* m = reinterpret_cast<const uint8_t*>(t.Addresses6[i].Mask.data());
    out.insert(out.end(), m, m + 16);
  }
}

bool DecodeTable(std::span<const uint8_t> bytes, TAddressTable& t, std::string& error) {
  if (bytes.size() < kTableFixedBytes) {
    error = "an address table cut short";
    return false;
  }
  const uint8_t* p = bytes.data();
  const uint8_t found = p[6];
  const std::size_t n4 = p[7];
  const std::size_t n6 = p[8];
  if (found > 1 || n4 > kMaxAddresses || n6 > kMaxAddresses || p[9] > 1 || p[10] != 0 ||
      p[11] != 0 ||
      bytes.size() != kTableFixedBytes + n4 * kTableEntryBytes + n6 * kTableEntry6Bytes) {
    error = "an address table whose lengths do not add up";
    return false;
  }
  TAddressTable next;
  std::memcpy(next.MAC.data(), p, 6);
  next.MACFound = found == 1;
  next.Downstream = p[9] == 1;
  p += kTableFixedBytes;
  for (std::size_t i = 0; i < n4; ++i, p += kTableEntryBytes) {
    uint32_t ip = 0, mask = 0;
    std::memcpy(&ip, p, 4);
    std::memcpy(&mask, p + 4, 4);
    AddAddress(next, ip, mask);
  }
  for (std::size_t i = 0; i < n6; ++i, p += kTableEntry6Bytes) AddAddress6(next, p, p + 16);
  t = std::move(next);
  return true;
}

}  // namespace zul
