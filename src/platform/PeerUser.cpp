#include "platform/PeerUser.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>

#include "platform/UniqueFd.h"

namespace zul {

std::optional<uint32_t> LocalPeerUser(int fd) {
  sockaddr_storage local{};
  sockaddr_storage peer{};
  socklen_t localLen = sizeof local;
  socklen_t peerLen = sizeof peer;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0 ||
      local.ss_family != peer.ss_family)
    return std::nullopt;

  // One exact lookup, not a dump: the client's socket has the peer's address as its own and ours
  // as its destination.
  struct {
    nlmsghdr Header;
    inet_diag_req_v2 Request;
  } req{};
  req.Header.nlmsg_len = sizeof req;
  req.Header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  req.Header.nlmsg_flags = NLM_F_REQUEST;
  req.Request.sdiag_family = static_cast<uint8_t>(local.ss_family);
  req.Request.sdiag_protocol = IPPROTO_TCP;
  req.Request.idiag_states = ~0u;
  inet_diag_sockid& id = req.Request.id;
  id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  if (local.ss_family == AF_INET) {
    sockaddr_in p{};
    sockaddr_in l{};
    std::memcpy(&p, &peer, sizeof p);
    std::memcpy(&l, &local, sizeof l);
    id.idiag_sport = p.sin_port;
    id.idiag_dport = l.sin_port;
    std::memcpy(id.idiag_src, &p.sin_addr, sizeof p.sin_addr);
    std::memcpy(id.idiag_dst, &l.sin_addr, sizeof l.sin_addr);
  } else if (local.ss_family == AF_INET6) {
    sockaddr_in6 p{};
    sockaddr_in6 l{};
    std::memcpy(&p, &peer, sizeof p);
    std::memcpy(&l, &local, sizeof l);
    id.idiag_sport = p.sin6_port;
    id.idiag_dport = l.sin6_port;
    std::memcpy(id.idiag_src, &p.sin6_addr, sizeof p.sin6_addr);
    std::memcpy(id.idiag_dst, &l.sin6_addr, sizeof l.sin6_addr);
  } else {
    return std::nullopt;
  }

  const TUniqueFd diag(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!diag) return std::nullopt;
  // The kernel answers at once; the bound only guards against a kernel that never does.
  const timeval bound{0, 200000};
  setsockopt(diag.Get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(diag.Get(), &req, sizeof req, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) != static_cast<ssize_t>(sizeof req))
    return std::nullopt;
  alignas(nlmsghdr) char reply[4096];
  const ssize_t n = recv(diag.Get(), reply, sizeof reply, 0);
  if (n <= 0) return std::nullopt;
  nlmsghdr header{};
  if (static_cast<std::size_t>(n) < sizeof header) return std::nullopt;
  std::memcpy(&header, reply, sizeof header);
  if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || header.nlmsg_len > static_cast<uint32_t>(n) ||
      header.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
    return std::nullopt;
  inet_diag_msg msg{};
  std::memcpy(&msg, reply + NLMSG_HDRLEN, sizeof msg);
  return msg.idiag_uid;
}

}  // namespace zul
