// The traffic counters shared by classification, sampler, graph windows and tray: the current
// second's counter block, the history ring of the last seconds and the running period totals.
// Qt-free and storage-free, so that the display links none of the log. Main thread only.
#pragma once

#include <array>
#include <cstdint>

#include "vartype.h"

namespace zul {

inline constexpr int kHistorySlots = 500;

struct TTraffic {
  TCounterBlock Counters{};    // the current second, filled by packet classification
  TCounterBlock LastSample{};  // the last completed second
  std::array<TCounterBlock, kHistorySlots> History{};
  int32_t HistoryHead = 0;  // oldest sample
  int32_t HistoryTail = 0;  // next slot to write; empty when equal to HistoryHead
  TPeriodTotals HourTotals{};
  TPeriodTotals DayTotals{};
  uint16_t CurrentHour = 0;
  uint16_t HourSeconds = 1;  // one more than the seconds in HourTotals; never 0
  uint16_t MinuteTick = 0;

  // The one way to walk the ring. A ring whose indexes were corrupted reads as empty.
  int SampleCount() const;
  // i = 0 is the oldest stored second, SampleCount() - 1 the newest.
  const TCounterBlock& Sample(int i) const { return History[Slot(HistoryHead + i)]; }
  // i = 0 is the newest stored second.
  const TCounterBlock& Newest(int i) const { return History[Slot(HistoryTail - 1 - i)]; }
  // Stores one second as the newest; the oldest goes when the ring is full (499 seconds).
  void Push(const TCounterBlock& block);
  void ClearHistory();

 private:
  static std::size_t Slot(int i) {
    return static_cast<std::size_t>(((i % kHistorySlots) + kHistorySlots) % kHistorySlots);
  }
  bool IndexesValid() const {
    return HistoryHead >= 0 && HistoryHead < kHistorySlots && HistoryTail >= 0 &&
           HistoryTail < kHistorySlots;
  }
};

// The program's counters.
extern TTraffic Traffic;

}  // namespace zul
