// Full scale, bar heights, settings as the graphs read them, and the texts the graphs show.
// Qt-free, so that the rules are tested without a display.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "capture/Traffic.h"
#include "settings/CfgF.h"

namespace zul {

// Full scales in bytes per second by connection type 1..14 (index 0 unused: automatic).
inline constexpr std::array<uint32_t, 15> ConnectionSpeeds = {
    0,     4300,   6822,   8192,   16384,   32768,   49152,   65536,
    98304, 131072, 196608, 262144, 1310720, 5863637, 13107200};
inline constexpr uint16_t kConnAutomatic = 0;
inline constexpr uint16_t kConnCustom = 15;

// Grid-line periods in seconds by GridPeriod 0..3.
inline constexpr std::array<uint16_t, 4> GridPeriods = {10, 20, 30, 60};

// A client area wider than this holds more bar columns than the ring has seconds.
inline constexpr int kMaxClientWidth = 501;

enum TDisplayMode : uint16_t { dmGraphical = 0, dmNumeric = 1, dmBoth = 2 };

// Bytes per second of the fixed full scale; 0 = automatic. Main thread only.
extern uint32_t FixedFullScale;

// Full scale of a connection type, or `previous` for a type outside 0..15. A custom speed whose
// full scale passes 32 bits saturates at the largest 32-bit value; a custom speed that is not
// above zero (only a damaged file holds one) counts as the default 1000 kbps.
uint32_t FullScaleFor(uint16_t connection, int32_t customKbps, uint16_t customPlus,
                      uint32_t previous);

// FixedFullScale from Cfg.Connection, Cfg.CustomKbps and Cfg.CustomPlus.
void UpdateFullScale();

// The settings as the graphs use them: a value outside its range draws as the default.
TDisplayMode EffectiveDisplayMode(const TCfgRec& cfg);
uint16_t EffectiveRateUnit(const TCfgRec& cfg);  // 0 kB/s, 1 kbps
bool IsAutomaticScale(const TCfgRec& cfg);       // also for a connection type outside 0..15
int EffectiveTrayView(const TCfgRec& cfg);
// Seconds between grid lines, or 0 (no grid lines) for a GridPeriod outside the table.
int GridPeriodSeconds(uint16_t gridPeriod);
// VisiblePercent clamped to 10..90, so that no window turns invisible.
uint16_t EffectiveVisiblePercent(uint16_t percent);
// Constant opacity out of 255.
uint8_t OpacityAlpha(bool transparent, uint16_t percent);

// Height in pixels of a value on base row `base`: (base * value) div fullScale at full width;
// 0 for a base row that is not positive or a full scale of 0.
int64_t BarHeight(int base, uint64_t value, uint32_t fullScale);

// The one or two runs of a bar, drawn upward from the base row. Rows are heights above the
// base: the first run covers heights [0, FirstTop), the second [FirstTop, SecondTop).
enum class TBarColor : uint8_t { None, Download, Upload, Both };
struct TBar {
  TBarColor First = TBarColor::None;
  int64_t FirstTop = 0;
  TBarColor Second = TBarColor::None;
  int64_t SecondTop = 0;
  int64_t Top() const { return Second == TBarColor::None ? FirstTop : SecondTop; }
};
TBar BarOf(uint64_t down, uint64_t up, int base, uint32_t fullScale);

// Largest download or upload value over the newest min(count, maxSeconds) seconds, at most the
// largest full scale; 0 when none.
uint32_t AutoScaleCandidate(const TTraffic& traffic, int upIndex, int downIndex, int maxSeconds);

// "%5.1fkB/s" or "%5.1fkbps" of the full scale.
std::string FormatScaleLabel(uint32_t fullScale, uint16_t rateUnit);
// Units by step: 0 the setting's own (kB/s or kbps), 1 MB/s or Mbps, 2 GB/s or Gbps (1024 each).
// The drawing takes the first step whose text fits its place.
inline constexpr int kUnitSteps = 3;
std::string FormatScaleLabelIn(uint32_t fullScale, uint16_t rateUnit, int step);
// The readout's format in the unit of `step`, from bytes per second.
std::string FormatRatesIn(double downBytes, double upBytes, uint16_t rateUnit, int step);
// "DL: %3.1f kB/s  UL: %3.1f kB/s" (or kbps) of values already in the unit.
std::string FormatReadout(double down, double up, uint16_t rateUnit);
// The same text for one second's byte counts.
std::string FormatSecond(uint64_t downBytes, uint64_t upBytes, uint16_t rateUnit);
// The same text for the hour's average rate.
std::string FormatAverage(uint64_t downBytes, uint64_t upBytes, uint16_t hourSeconds,
                          uint16_t rateUnit);

}  // namespace zul
