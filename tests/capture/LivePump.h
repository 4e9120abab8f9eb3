// The live tests serve the main thread's events (the helpers' answers, the netlink monitor's
// changes) while they wait for what they expect.
#pragma once

#include <QCoreApplication>
#include <chrono>
#include <thread>

namespace zultest {

// Serves the main thread's events until `done` or `ms` run out; whether `done` came.
template <class F>
bool PumpUntil(F done, int ms) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (Clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline void Pump(int ms) {
  PumpUntil([] { return false; }, ms);
}

}  // namespace zultest
