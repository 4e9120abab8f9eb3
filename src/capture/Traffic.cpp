#include "capture/Traffic.h"

namespace zul {

TTraffic Traffic;

int TTraffic::SampleCount() const {
  if (!IndexesValid()) return 0;
  return static_cast<int>(Slot(HistoryTail - HistoryHead));
}

void TTraffic::Push(const TCounterBlock& block) {
  if (!IndexesValid()) ClearHistory();
  const int next = (HistoryTail + 1) % kHistorySlots;
  if (next == HistoryHead) HistoryHead = (HistoryHead + 1) % kHistorySlots;
  History[static_cast<std::size_t>(HistoryTail)] = block;
  HistoryTail = next;
}

void TTraffic::ClearHistory() {
  HistoryHead = 0;
  HistoryTail = 0;
}

}  // namespace zul
