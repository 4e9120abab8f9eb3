#include "capture/FrameCounter.h"

#include "capture/Classify.h"

namespace zul {

void TFrameCounter::SetTable(const TAddressTable& table) {
  {
    std::lock_guard lock(M);
    Shared = table;
    HaveTable = true;
    // Under the lock, so that a reader that sees the new number finds the new table.
    Generation.fetch_add(1, std::memory_order_release);
  }
  Cv.notify_all();
}

void TFrameCounter::Abandon() {
  {
    std::lock_guard lock(M);
    Abandoned = true;
  }
  Cv.notify_all();
}

void TFrameCounter::Refresh() {
  std::unique_lock lock(M);
  Cv.wait(lock, [this] { return HaveTable || Abandoned; });
  LocalGeneration = Generation.load(std::memory_order_relaxed);
  LocalSeen = true;
  LocalValid = HaveTable;
  if (HaveTable) Local = Shared;
}

void TFrameCounter::Count(int linkType, const uint8_t* frame, uint32_t captured, uint32_t length) {
  // One relaxed load per frame: the table changes seldom.
  if (!LocalSeen || Generation.load(std::memory_order_acquire) != LocalGeneration) Refresh();
  if (LocalValid) ClassifyCaptured(Local, linkType, frame, captured, length, Sums);
}

bool TFrameCounter::TakeDeltas(TCountDeltas& deltas) {
  bool any = false;
  for (std::size_t i = 0; i < kCountedIndexes.size(); ++i) {
    deltas[i] = Sums[kCountedIndexes[i]];
    any = any || deltas[i] != 0;
    Sums[kCountedIndexes[i]] = 0;
  }
  return any;
}

}  // namespace zul
