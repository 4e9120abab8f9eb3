#include "platform/NetLinks.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

namespace zul {
namespace {

struct TIfAddrsDeleter {
  void operator()(ifaddrs* p) const { freeifaddrs(p); }
};

}  // namespace

std::vector<TNetLink> ListNetLinks() {
  std::vector<TNetLink> links;
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) return links;
  const std::unique_ptr<ifaddrs, TIfAddrsDeleter> list(raw);
  // The link-layer entry of each device carries its hardware address.
  for (const ifaddrs* i = list.get(); i != nullptr; i = i->ifa_next) {
    if (i->ifa_name == nullptr || i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_PACKET)
      continue;
    TNetLink link;
    link.Name = i->ifa_name;
    sockaddr_ll ll{};
    std::memcpy(&ll, i->ifa_addr, sizeof(ll));
    if (ll.sll_halen == link.HardwareAddress.size()) {
      std::memcpy(link.HardwareAddress.data(), ll.sll_addr, link.HardwareAddress.size());
      link.HasHardwareAddress = true;
    }
    links.push_back(std::move(link));
  }
  return links;
}

}  // namespace zul
