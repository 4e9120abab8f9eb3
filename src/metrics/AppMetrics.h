// The applications' byte counters for the metrics endpoint. Qt-free. Main thread only.
#pragma once

#include <map>
#include <string>

#include "capture/AppUsage.h"

namespace zul {

// At most this many applications have series of their own; the rest is one, app="other".
inline constexpr std::size_t kAppMetricsTop = 10;
inline constexpr const char* kAppMetricsRest = "other";

class TAppMetrics {
 public:
  // The family zul_app_traffic_bytes_total from each application's bytes since the program
  // started (TAppHours::SinceStart): the kAppMetricsTop applications with the most bytes, and the
  // rest, each with view "internet" or "lan" and direction "download" or "upload". Empty before
  // any application had traffic.
  //
  // Counters must never go down, so an application that gets a series of its own leaves in
  // "other" what "other" already reported of it, and its series counts from there; one that
  // drops out of the top loses its series and adds its bytes to "other" again. The series add up
  // to all bytes counted.
  std::string Lines(const TAppDeltas& sinceStart);

 private:
  // The applications with a series, and what "other" had reported of each when it got it.
  std::map<std::string, TAppBytes, std::less<>> Base;
  // The applications in "other" at the last call, with their bytes then.
  std::map<std::string, TAppBytes, std::less<>> InRest;
  // What each series last reported, so that none goes down (the System row of the running hour
  // may shrink a little as late seconds of the applications arrive).
  std::map<std::string, TAppBytes, std::less<>> Last;
  TAppBytes LastRest;
};

}  // namespace zul
