// What the kill test and its victim, log_writer, agree on.
#pragma once

#include <chrono>
#include <cstdint>

#include "settings/CfgF.h"
#include "vartype.h"

namespace zul::test {

// The writer's hours are counted from 20 December 2026 00:00.
inline constexpr std::chrono::sys_days kWriterEpoch{std::chrono::December / 20 / 2026};

// Every second of the writer carries this traffic.
inline constexpr TCounterBlock kWriterSecond = {1024, 2048, 3072, 512, 0, 0, 4096, 256, 0};

// The settings record the writer saves after the hour `stamp`: the defaults, stamped twice.
inline TCfgRec StampedCfg(int32_t stamp) {
  TCfgRec rec;
  SetDefaultCfg(rec, "");
  rec.CustomKbps = stamp;
  rec.WindowRect[0] = {stamp, -stamp, stamp + 640, 480 - stamp};
  return rec;
}

}  // namespace zul::test
