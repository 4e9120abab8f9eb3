#include "platform/ThreadWake.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace zul {

TThreadWake::TThreadWake(std::function<void()> onWake, QObject* parent)
    : QObject(parent), OnWake(std::move(onWake)) {
  TUniqueFd fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!fd) {
    FErrorText = std::string("cannot create a wake-up descriptor: ") + std::strerror(errno);
    return;
  }
  Fd = std::move(fd);
  Notifier = std::make_unique<QSocketNotifier>(Fd.Get(), QSocketNotifier::Read);
  connect(Notifier.get(), &QSocketNotifier::activated, this, [this] { Readable(); });
}

TThreadWake::~TThreadWake() {
  // The notifier goes before the descriptor it watches.
  Notifier.reset();
}

void TThreadWake::Post() const {
  if (!Fd) return;
  const uint64_t one = 1;
  // EAGAIN means the counter is full: the handler is due anyway.
  while (::write(Fd.Get(), &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}

void TThreadWake::Readable() {
  uint64_t count = 0;
  while (::read(Fd.Get(), &count, sizeof(count)) < 0 && errno == EINTR) {
  }
  if (OnWake) OnWake();
}

TReadiness WaitReadable(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  int r = 0;
  do {
    r = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (r < 0 && errno == EINTR);
  if (r < 0) return TReadiness::Failed;
  if (r == 0) return TReadiness::TimedOut;
  if ((p.revents & POLLIN) != 0) return TReadiness::Readable;
  return TReadiness::Failed;
}

}  // namespace zul
