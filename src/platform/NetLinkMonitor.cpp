#include "platform/NetLinkMonitor.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <QSocketNotifier>
#include <array>
#include <cerrno>
#include <cstring>

namespace zul {

TNetLinkNews ParseNetLinkMessages(const uint8_t* data, std::size_t length) {
  TNetLinkNews news;
  if (data == nullptr) return news;
  std::size_t at = 0;
  while (length - at >= sizeof(nlmsghdr)) {
    nlmsghdr h{};
    std::memcpy(&h, data + at, sizeof(h));  // the buffer need not be aligned for the header
    if (h.nlmsg_len < sizeof(nlmsghdr) || h.nlmsg_len > length - at) {
      ++news.Malformed;
      break;  // the rest cannot be framed
    }
    switch (h.nlmsg_type) {
      case RTM_NEWLINK:
      case RTM_DELLINK:
        if (h.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
          ++news.Malformed;
        else
          ++news.Links;
        break;
      case RTM_NEWADDR:
      case RTM_DELADDR:
        if (h.nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
          ++news.Malformed;
        else
          ++news.Addresses;
        break;
      default:
        break;  // NLMSG_DONE, NLMSG_ERROR, routes: nothing to follow
    }
    const std::size_t step = NLMSG_ALIGN(h.nlmsg_len);
    if (step >= length - at) break;
    at += step;
  }
  return news;
}

TNetLinkMonitor::TNetLinkMonitor(QObject* parent) : QObject(parent) {
  Settle.setSingleShot(true);
  Settle.setInterval(kNetLinkSettleMs);
  // Runs on the main thread: the timer lives there.
  connect(&Settle, &QTimer::timeout, this, &TNetLinkMonitor::Changed);

  TUniqueFd fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
  if (!fd) {
    FErrorText = std::string("cannot open a netlink socket: ") + std::strerror(errno);
    return;
  }
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
    FErrorText = std::string("cannot listen to network changes: ") + std::strerror(errno);
    return;
  }
  Fd = std::move(fd);
  Notifier = std::make_unique<QSocketNotifier>(Fd.Get(), QSocketNotifier::Read);
  connect(Notifier.get(), &QSocketNotifier::activated, this, [this] { SocketReadable(); });
}

TNetLinkMonitor::~TNetLinkMonitor() {
  // The notifier goes before the socket it watches.
  Notifier.reset();
}

void TNetLinkMonitor::SocketReadable() {
  // Aligned for the headers; a link message with all its attributes fits many times over.
  alignas(nlmsghdr) std::array<uint8_t, 32 * 1024> buffer;
  bool changed = false;
  // Bounded: a burst larger than this is left for the next notification.
  for (int i = 0; i < 256; ++i) {
    sockaddr_nl from{};
    iovec io{buffer.data(), buffer.size()};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof(from);
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    const ssize_t n = recvmsg(Fd.Get(), &msg, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // The kernel dropped messages for want of room: something changed, but we do not know what.
      if (errno == ENOBUFS) changed = true;
      break;
    }
    if (n == 0) break;
    // Only the kernel speaks on these groups; anything else is not news.
    if (from.nl_pid != 0 || (msg.msg_flags & MSG_TRUNC) != 0) {
      changed |= (msg.msg_flags & MSG_TRUNC) != 0 && from.nl_pid == 0;
      continue;
    }
    changed |= ParseNetLinkMessages(buffer.data(), static_cast<std::size_t>(n)).Relevant();
  }
  // Not restarted by later news: a steady stream of changes still gets a refresh every period.
  if (changed && !Settle.isActive()) Settle.start();
}

}  // namespace zul
