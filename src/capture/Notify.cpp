#include "capture/Notify.h"

#include <limits>

#include "settings/CfgF.h"

namespace zul {

namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
constexpr int kTargetCount = 3 * kViewCount;

TNotifyState State;

uint64_t AddSaturating(uint64_t a, uint64_t b) {
  return b > kMax - a ? kMax : a + b;
}

}  // namespace

const TNotifyState& NotifyState() {
  return State;
}

uint64_t NotifySecondsLeft() {
  const uint64_t window = State.WindowSeconds > 0 ? State.WindowSeconds : 1;
  return State.Ticks < window ? window - State.Ticks : 1;
}

uint64_t NotifyThresholdBytes(uint32_t amount, uint16_t unit) {
  uint64_t bytes = amount;
  for (uint16_t step = 0; step < unit && bytes != 0; ++step) {
    if (bytes > kMax / 1024) return kMax;
    bytes *= 1024;
  }
  return bytes;
}

uint64_t NotifyWindowLength(uint16_t time, uint16_t timeUnit) {
  static constexpr uint64_t kFactor[] = {1, 60, 3600, 86400};
  const uint64_t factor = timeUnit < 4 ? kFactor[timeUnit] : 1;
  return uint64_t{time} * factor;
}

uint64_t NotifyTargetBytes(uint16_t target, const TCounterBlock& counters) {
  if (target >= kTargetCount) return 0;
  const TCounterPair pair = kViewCounters[target / 3];
  const uint64_t down = counters[static_cast<std::size_t>(pair.Down)];
  const uint64_t up = counters[static_cast<std::size_t>(pair.Up)];
  switch (target % 3) {
    case 0:
      return down;
    case 1:
      return up;
    default:
      return down + up;
  }
}

void ArmNotification() {
  State.Accum = 0;
  State.Ticks = 0;
  State.Threshold = NotifyThresholdBytes(Cfg.NotifyAmount, Cfg.NotifyUnit);
  State.WindowSeconds = NotifyWindowLength(Cfg.NotifyTime, Cfg.NotifyTimeUnit);
}

TNotifyDue CheckNotification(const TCounterBlock& counters) {
  if (!Cfg.NotifyEnabled) return {};
  State.Accum = AddSaturating(State.Accum, NotifyTargetBytes(Cfg.NotifyTarget, counters));
  ++State.Ticks;
  if (State.Ticks < State.WindowSeconds) return {};

  const char* text = nullptr;
  if (Cfg.NotifyCondition == 0 && State.Accum < State.Threshold)
    text = kNotifyBelowText;
  else if (Cfg.NotifyCondition == 1 && State.Accum > State.Threshold)
    text = kNotifyAboveText;
  // The next window starts from zero whatever the notification does.
  ArmNotification();
  TNotifyDue due;
  if (text == nullptr) return due;
  if (Cfg.PlaySound) due.SoundFile = Cfg.SoundFile;
  if (Cfg.DisplayMessage) due.Message = text;
  return due;
}

}  // namespace zul
