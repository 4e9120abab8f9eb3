// Shared folders, flags and traffic types that every unit of the program reads.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace zul {

// Folder of the running executable and the per-user data folder; both end with '/'.
extern std::string ExeDir;
extern std::string DataDir;

// True once the program is ending: closing the primary window then ends the program.
extern bool Quitting;

// Message that makes a running instance show its graph windows.
inline constexpr int WM_OPENMONITOR = 1124;

enum TrafficView : int {
  tvInternetLan = 0,  // "Internet & LAN"
  tvInternet = 1,     // "Internet"
  tvLan = 2,          // "LAN"
  tvAllPcs = 3,       // "INTERNET (All PCs)"
};
inline constexpr int kViewCount = 4;

inline constexpr std::array<const char*, kViewCount> kViewNames = {"Internet & LAN", "Internet",
                                                                   "LAN", "INTERNET (All PCs)"};

// Indexes into a counter block.
enum CounterIndex : int {
  ciLanUp = 0,
  ciLanDown = 1,
  ciWanUp = 2,
  ciWanDown = 3,
  ciWanLanUp = 4,
  ciWanLanDown = 5,
  ciAllPcsUp = 6,
  ciAllPcsDown = 7,
  ciReserved = 8,
};
inline constexpr int kCounterCount = 9;
inline constexpr int kTotalSlots = 10;

// Byte counts of one second. 64 bits: a fast link, or a second that gathered a stalled loop's
// traffic, passes 4 GiB.
using TCounterBlock = std::array<uint64_t, kCounterCount>;
// Byte totals of a period (hour or day); slots 8 and 9 are reserved.
using TPeriodTotals = std::array<uint64_t, kTotalSlots>;

struct TCounterPair {
  int Up;
  int Down;
};

// The (upload, download) counters that make up each view.
inline constexpr std::array<TCounterPair, kViewCount> kViewCounters = {{
    {ciWanLanUp, ciWanLanDown},
    {ciWanUp, ciWanDown},
    {ciLanUp, ciLanDown},
    {ciAllPcsUp, ciAllPcsDown},
}};

// Period groupings of the traffic log; a record's Flag is grouping * 16 + view.
enum LogGrouping : int {
  lgHourly = 0,
  lgDaily = 1,
  lgWeekly = 2,
  lgMonthly = 3,
  lgYearly = 4,
};

}  // namespace zul
