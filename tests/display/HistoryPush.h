// Puts one second into a history ring the way the sampler does, for the display tests.
#pragma once

#include "capture/Sampler.h"

namespace zul {

inline void PushSecond(TTraffic& T, uint32_t down, uint32_t up) {
  T.History[T.HistoryTail] = {};
  T.History[T.HistoryTail][ciWanLanDown] = down;
  T.History[T.HistoryTail][ciWanLanUp] = up;
  T.HistoryTail = (T.HistoryTail + 1) % kHistorySlots;
  if (T.HistoryTail == T.HistoryHead) T.HistoryHead = (T.HistoryHead + 1) % kHistorySlots;
}

}  // namespace zul
