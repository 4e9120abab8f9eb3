// Puts one second into a history ring the way the sampler does, for the display tests.
#pragma once

#include "capture/Traffic.h"

namespace zul {

inline void PushSecond(TTraffic& T, uint32_t down, uint32_t up, int view = 0) {
  TCounterBlock block{};
  block[kViewCounters[view].Down] = down;
  block[kViewCounters[view].Up] = up;
  T.Push(block);
}

}  // namespace zul
