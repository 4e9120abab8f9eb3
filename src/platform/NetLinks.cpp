#include "platform/NetLinks.h"

#include <ifaddrs.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/UniqueFd.h"

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

namespace {

// Sends one dump request and hands every message of the answer to `take`. False when the kernel
// cannot be asked.
template <class F>
bool Dump(uint16_t type, uint8_t family, F take) {
  TUniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!fd) return false;
  struct {
    nlmsghdr h;
    rtgenmsg g;
  } req{};
  req.h.nlmsg_len = sizeof(req);
  req.h.nlmsg_type = type;
  req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  req.h.nlmsg_seq = 1;
  req.g.rtgen_family = family;
  if (::send(fd.Get(), &req, sizeof(req), 0) < 0) return false;
  std::vector<uint8_t> buf(64 * 1024);
  for (;;) {
    const ssize_t n = ::recv(fd.Get(), buf.data(), buf.size(), 0);
    if (n <= 0) return false;
    auto left = static_cast<unsigned>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buf.data()); NLMSG_OK(h, left);
         h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE) return true;
      if (h->nlmsg_type == NLMSG_ERROR) return false;
      take(h);
    }
  }
}

// The attributes of a message after its fixed part of `fixed` bytes.
template <class F>
void Attributes(const nlmsghdr* h, std::size_t fixed, F take) {
  if (h->nlmsg_len < NLMSG_LENGTH(fixed)) return;
  auto len = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(fixed));
  for (auto* a = reinterpret_cast<const rtattr*>(reinterpret_cast<const uint8_t*>(NLMSG_DATA(h)) +
                                                 NLMSG_ALIGN(fixed));
       RTA_OK(a, len); a = RTA_NEXT(a, len))
    take(a);
}

int IntOf(const rtattr* a) {
  int v = 0;
  if (RTA_PAYLOAD(a) >= sizeof(v)) std::memcpy(&v, RTA_DATA(a), sizeof(v));
  return v;
}

std::string TextOf(const rtattr* a) {
  const auto* p = static_cast<const char*>(RTA_DATA(a));
  return std::string(p, strnlen(p, RTA_PAYLOAD(a)));
}

}  // namespace

std::vector<TLinkInfo> ListLinkInfo() {
  std::vector<TLinkInfo> links;
  const bool listed = Dump(RTM_GETLINK, AF_UNSPEC, [&](const nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWLINK || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
    const auto* ifi = static_cast<const ifinfomsg*>(NLMSG_DATA(h));
    TLinkInfo l;
    l.Index = ifi->ifi_index;
    l.Type = ifi->ifi_type;
    Attributes(h, sizeof(ifinfomsg), [&](const rtattr* a) {
      switch (a->rta_type) {
        case IFLA_IFNAME:
          l.Name = TextOf(a);
          break;
        case IFLA_MASTER:
          l.Master = IntOf(a);
          break;
        case IFLA_LINK:
          l.Parent = IntOf(a);
          break;
        case IFLA_LINKINFO: {
          int len = static_cast<int>(RTA_PAYLOAD(a));
          for (auto* i = static_cast<const rtattr*>(RTA_DATA(a)); RTA_OK(i, len);
               i = RTA_NEXT(i, len))
            if (i->rta_type == IFLA_INFO_KIND) l.Kind = TextOf(i);
          break;
        }
        default:
          break;
      }
    });
    // A veth's link is its peer, in whatever namespace: no parent of ours.
    if (l.Kind == "veth") l.Parent = 0;
    links.push_back(std::move(l));
  });
  if (!listed) return {};
  for (const uint8_t family : {uint8_t{AF_INET}, uint8_t{AF_INET6}}) {
    Dump(RTM_GETROUTE, family, [&](const nlmsghdr* h) {
      if (h->nlmsg_type != RTM_NEWROUTE || h->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return;
      const auto* rt = static_cast<const rtmsg*>(NLMSG_DATA(h));
      if (rt->rtm_dst_len != 0 || rt->rtm_table != RT_TABLE_MAIN || rt->rtm_type != RTN_UNICAST)
        return;
      Attributes(h, sizeof(rtmsg), [&](const rtattr* a) {
        if (a->rta_type != RTA_OIF) return;
        for (TLinkInfo& l : links)
          if (l.Index == IntOf(a)) l.DefaultRoute = true;
      });
    });
  }
  return links;
}

std::string NotCountedUnderAll(const TLinkInfo& link, const std::vector<TLinkInfo>& links,
                               const std::function<bool(int index)>& watched) {
  auto nameOf = [&](int index) {
    for (const TLinkInfo& l : links)
      if (l.Index == index) return l.Name;
    return std::string();
  };
  if (link.Type == ARPHRD_NONE)
    return "a tunnel: its traffic is counted on the adapter that carries it";
  const bool stacked = link.Kind == "vlan" || link.Kind == "macvlan" || link.Kind == "ipvlan";
  if (stacked && link.Parent != 0 && watched(link.Parent))
    return "its traffic is part of " + nameOf(link.Parent) + "'s";
  if (link.Master != 0 && watched(link.Master)) {
    for (const TLinkInfo& m : links)
      if (m.Index == link.Master && m.Kind == "bond") return "a member of " + m.Name;
  }
  if (link.Kind == "bridge" && !link.DefaultRoute) {
    // A bridge of containers or virtual machines: what they send leaves through the uplink.
    bool allVirtual = true;
    for (const TLinkInfo& p : links)
      if (p.Master == link.Index) allVirtual = allVirtual && !p.Kind.empty();
    if (allVirtual)
      return "a bridge of containers or virtual machines: their traffic is counted where it "
             "leaves";
  }
  return {};
}

}  // namespace zul
