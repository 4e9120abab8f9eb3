#include "platform/SessionEnd.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "platform/UniqueFd.h"

namespace zul {
namespace {

// Written by the signal handler, read on the main thread: only async-signal-safe calls there.
// Made once per process and kept to its end, since a signal may arrive at any moment.
TUniqueFd WakeRead;
TUniqueFd WakeWrite;

extern "C" void OnSignal(int sig) {
  const int saved = errno;
  const char b = static_cast<char>(sig);
  [[maybe_unused]] ssize_t n = write(WakeWrite.Get(), &b, 1);
  errno = saved;
}

}  // namespace

TSessionEnd::TSessionEnd(std::function<void()> onEnd, QObject* parent)
    : QObject(parent), FOnEnd(std::move(onEnd)) {
  if (!WakeRead) {
    int fds[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
      throw std::runtime_error("Cannot create the signal pipe");
    WakeRead.Reset(fds[0]);
    WakeWrite.Reset(fds[1]);
  }
  FNotifier = std::make_unique<QSocketNotifier>(WakeRead.Get(), QSocketNotifier::Read);
  connect(FNotifier.get(), &QSocketNotifier::activated, this, &TSessionEnd::OnReadable);

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
}

TSessionEnd::~TSessionEnd() {
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
}

void TSessionEnd::OnReadable() {
  char buf[32];
  bool any = false;
  while (read(WakeRead.Get(), buf, sizeof(buf)) > 0) any = true;
  if (any && FOnEnd) FOnEnd();
}

}  // namespace zul
