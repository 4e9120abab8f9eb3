#include "platform/ExitSteps.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

namespace zul {
namespace {

std::function<void()>& Steps() {
  static std::function<void()> steps;
  return steps;
}

}  // namespace

void SetExitSteps(std::function<void()> steps) {
  Steps() = std::move(steps);
}

void RunExitSteps() {
  // Once per run: a second close or signal while quitting must not write the hour again.
  static bool ran = false;
  if (ran) return;
  ran = true;
  if (Steps()) Steps()();
}

void ArmExitWatchdog() {
  static std::atomic<bool> armed{false};
  if (armed.exchange(true)) return;
  std::thread([] {
    std::this_thread::sleep_for(kExitDeadline);
    static const char msg[] = "zul: exit steps did not finish in time; ending now\n";
    [[maybe_unused]] ssize_t n = write(STDERR_FILENO, msg, sizeof(msg) - 1);
    _exit(3);
  }).detach();
}

}  // namespace zul
