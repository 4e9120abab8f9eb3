// What the capture helper does with each frame: classifies it by the adapter's address table
// into the counters it belongs to, and keeps the sums until they are taken. The table comes from
// the program and may change at any time; the frames come on the capture's reader. No Qt.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "capture/AddressTable.h"
#include "capture/HelperStream.h"
#include "vartype.h"

namespace zul {

class TFrameCounter {
 public:
  // Any thread: the table that frames from now on are classified by.
  void SetTable(const TAddressTable& table);
  // Any thread: no table will come; a reader waiting for the first one goes on, and frames
  // count nowhere until a table comes after all.
  void Abandon();

  // Reader thread: counts one frame of a capture of link-layer type `linkType`. Before the first
  // table a frame waits for it, since a frame classified without its adapter's addresses would
  // land in the wrong counters.
  void Count(int linkType, const uint8_t* frame, uint32_t captured, uint32_t length);
  // Reader thread, or any thread once the reader has ended: the sums since the last take. False
  // when nothing was counted meanwhile.
  bool TakeDeltas(TCountDeltas& deltas);

 private:
  void Refresh();

  std::mutex M;
  std::condition_variable Cv;
  TAddressTable Shared;    // guarded by M
  bool HaveTable = false;  // guarded by M
  bool Abandoned = false;  // guarded by M
  std::atomic<uint32_t> Generation{0};

  // Reader-owned.
  TAddressTable Local;
  uint32_t LocalGeneration = 0;
  bool LocalSeen = false;  // a first table came, or none will
  bool LocalValid = false;
  TCounterBlock Sums{};
};

}  // namespace zul
