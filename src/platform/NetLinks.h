// The network links of this machine as the kernel names them, with their hardware addresses.
// Qt-free.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zul {

struct TNetLink {
  std::string Name;
  // A 6-byte hardware address; HasHardwareAddress is false for links without one (tunnels).
  std::array<uint8_t, 6> HardwareAddress{};
  bool HasHardwareAddress = false;
};

// The links in the kernel's order. Returns an empty list when the kernel cannot be asked.
std::vector<TNetLink> ListNetLinks();

// How a link sits among the others, as the kernel's routing socket tells it.
struct TLinkInfo {
  std::string Name;
  int Index = 0;
  int Type = 0;               // the hardware type (ARPHRD_*): 1 Ethernet, 65534 none (tun), 512 PPP
  std::string Kind;           // the driver kind of a virtual link ("bridge", "veth", "vlan", ...);
                              // empty for a hardware adapter
  int Master = 0;             // the bridge or bond this link is a port of, 0 for none
  int Parent = 0;             // the link a VLAN or macvlan sits on, 0 for none
  bool DefaultRoute = false;  // holds a default route (IPv4 or IPv6) of the main table
};

// Every link of this network namespace. Returns an empty list when the kernel cannot be asked.
std::vector<TLinkInfo> ListLinkInfo();

// Why an adapter is not counted when every adapter is: its traffic is counted elsewhere, so
// counting it too would count it twice. Empty when it is counted. `links` is ListLinkInfo's;
// `watched(index)` says whether a link of that index is watched.
std::string NotCountedUnderAll(const TLinkInfo& link, const std::vector<TLinkInfo>& links,
                               const std::function<bool(int index)>& watched);

}  // namespace zul
