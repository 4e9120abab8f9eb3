#include "capture/DeviceListing.h"

#include <netinet/in.h>

#include <algorithm>
#include <cstring>

#include "capture/StreamBytes.h"

namespace zul {
namespace {

using bytes::Get;

constexpr std::size_t kDeviceFieldBytes = 12;
constexpr std::size_t kAddressBytes = 8 + 3 * 16;

// The address bytes of an entry the library gave, with the family we carry, or none.
bool AddressBytes(const sockaddr* sa, int family, uint8_t* out, uint32_t* scope) {
  if (sa == nullptr || sa->sa_family != family) return false;
  if (family == AF_INET) {
    sockaddr_in in{};
    std::memcpy(&in, sa, sizeof(in));
    std::memcpy(out, &in.sin_addr, 4);
  } else {
    sockaddr_in6 in6{};
    std::memcpy(&in6, sa, sizeof(in6));
    std::memcpy(out, &in6.sin6_addr, 16);
    if (scope != nullptr) *scope = in6.sin6_scope_id;
  }
  return true;
}

}  // namespace

void EncodeDevice(const pcap_if_t& dev, std::vector<uint8_t>& out) {
  const std::string name = dev.name != nullptr ? dev.name : "";
  const std::string desc = dev.description != nullptr ? dev.description : "";
  const std::size_t nameLen = std::min(name.size(), kMaxNameBytes);
  const std::size_t descLen = std::min(desc.size(), kMaxNameBytes);
  std::size_t count = 0;
  for (const pcap_addr_t* a = dev.addresses; a != nullptr && count < kMaxListedAddresses;
       a = a->next)
    if (a->addr != nullptr && (a->addr->sa_family == AF_INET || a->addr->sa_family == AF_INET6))
      ++count;
  bytes::Append<uint32_t>(out, dev.flags);
  bytes::Append<uint16_t>(out, static_cast<uint16_t>(nameLen));
  bytes::Append<uint16_t>(out, static_cast<uint16_t>(descLen));
  bytes::Append<uint16_t>(out, static_cast<uint16_t>(count));
  bytes::Append<uint16_t>(out, 0);
  out.insert(out.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(nameLen));
  out.insert(out.end(), desc.begin(), desc.begin() + static_cast<std::ptrdiff_t>(descLen));
  std::size_t written = 0;
  for (const pcap_addr_t* a = dev.addresses; a != nullptr && written < count; a = a->next) {
    if (a->addr == nullptr) continue;
    const int family = a->addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    uint8_t addr[16] = {}, mask[16] = {}, broad[16] = {};
    uint32_t scope = 0;
    AddressBytes(a->addr, family, addr, &scope);
    const bool hasMask = AddressBytes(a->netmask, family, mask, nullptr) ||
                         // Some listings give an IPv6 netmask without its family.
                         (family == AF_INET6 && a->netmask != nullptr &&
                          AddressBytes(a->netmask, a->netmask->sa_family, mask, nullptr));
    const bool hasBroad = AddressBytes(a->broadaddr, family, broad, nullptr);
    bytes::Append<uint8_t>(out, family == AF_INET ? 4 : 6);
    bytes::Append<uint8_t>(out, static_cast<uint8_t>((hasMask ? 1 : 0) | (hasBroad ? 2 : 0)));
    bytes::Append<uint16_t>(out, 0);
    bytes::Append<uint32_t>(out, scope);
    out.insert(out.end(), addr, addr + 16);
    out.insert(out.end(), mask, mask + 16);
    out.insert(out.end(), broad, broad + 16);
    ++written;
  }
}

bool DecodeDevice(const uint8_t* p, std::size_t n, TDeviceList& list, std::string& error) {
  if (n < kDeviceFieldBytes) {
    error = "a device cut short";
    return false;
  }
  const uint32_t flags = Get<uint32_t>(p);
  const std::size_t nameLen = Get<uint16_t>(p);
  const std::size_t descLen = Get<uint16_t>(p);
  const std::size_t count = Get<uint16_t>(p);
  p += 2;
  if (nameLen == 0 || nameLen > kMaxNameBytes || descLen > kMaxNameBytes ||
      count > kMaxListedAddresses ||
      n != kDeviceFieldBytes + nameLen + descLen + count * kAddressBytes) {
    error = "a device whose lengths do not add up";
    return false;
  }
  const std::string name(reinterpret_cast<const char*>(p), nameLen);
  p += nameLen;
  const std::string desc(reinterpret_cast<const char*>(p), descLen);
  p += descLen;
  if (name.find('\0') != std::string::npos || desc.find('\0') != std::string::npos) {
    error = "a device name with a zero byte";
    return false;
  }
  // Every address is checked before the device joins the listing.
  for (std::size_t i = 0; i < count; ++i) {
    const uint8_t family = p[i * kAddressBytes];
    const uint8_t present = p[i * kAddressBytes + 1];
    if ((family != 4 && family != 6) || present > 3) {
      error = "an address of no family";
      return false;
    }
  }
  pcap_if_t& dev = list.AddDevice(name, desc, flags);
  for (std::size_t i = 0; i < count; ++i) {
    const uint8_t family = Get<uint8_t>(p);
    const uint8_t present = Get<uint8_t>(p);
    p += 2;
    const uint32_t scope = Get<uint32_t>(p);
    list.AddAddress(dev, family == 4 ? AF_INET : AF_INET6, p, (present & 1) != 0 ? p + 16 : nullptr,
                    (present & 2) != 0 ? p + 32 : nullptr, scope);
    p += 48;
  }
  return true;
}

pcap_if_t& TDeviceList::AddDevice(const std::string& name, const std::string& description,
                                  uint32_t flags) {
  pcap_if_t& d = Nodes.emplace_back();
  d.name = Texts.emplace_back(name).data();
  d.description = description.empty() ? nullptr : Texts.emplace_back(description).data();
  d.flags = flags;
  // A deque keeps its elements in place, so the links stay valid as the listing grows.
  if (Nodes.size() > 1) Nodes[Nodes.size() - 2].next = &d;
  return d;
}

sockaddr* TDeviceList::Sockaddr(int family, const uint8_t* bytes, uint32_t scope) {
  if (bytes == nullptr) return nullptr;
  sockaddr_storage& s = Sockaddrs.emplace_back();
  std::memset(&s, 0, sizeof(s));
  if (family == AF_INET) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    std::memcpy(&in.sin_addr, bytes, 4);
    std::memcpy(&s, &in, sizeof(in));
  } else {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_scope_id = scope;
    std::memcpy(&in6.sin6_addr, bytes, 16);
    std::memcpy(&s, &in6, sizeof(in6));
  }
  return reinterpret_cast<sockaddr*>(&s);
}

void TDeviceList::AddAddress(pcap_if_t& dev, int family, const uint8_t* addr,
                             const uint8_t* netmask, const uint8_t* broadcast, uint32_t scope) {
  pcap_addr_t& a = Addresses.emplace_back();
  a.addr = Sockaddr(family, addr, scope);
  a.netmask = Sockaddr(family, netmask, 0);
  a.broadaddr = Sockaddr(family, broadcast, 0);
  pcap_addr_t** tail = &dev.addresses;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = &a;
}

}  // namespace zul
