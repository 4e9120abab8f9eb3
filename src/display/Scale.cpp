#include "display/Scale.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>

namespace zul {

uint32_t FixedFullScale = 0;

namespace {

constexpr int32_t kDefaultCustomKbps = 1000;
constexpr uint16_t kMinVisiblePercent = 10;
constexpr uint16_t kMaxVisiblePercent = 90;

// Fixed notation with one decimal, right-aligned to `width`. Locale-free: the application
// object sets the C locale from the environment, which would turn the point into a comma.
std::string Fixed1(double value, int width) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 1);
  std::string text = ec == std::errc() ? std::string(buf, end) : std::string("?");
  if (static_cast<int>(text.size()) < width) text.insert(0, width - text.size(), ' ');
  return text;
}

const char* UnitText(uint16_t rateUnit, int step = 0) {
  static constexpr std::array<const char*, kUnitSteps> bytes = {"kB/s", "MB/s", "GB/s"};
  static constexpr std::array<const char*, kUnitSteps> bits = {"kbps", "Mbps", "Gbps"};
  const auto k = static_cast<std::size_t>(std::clamp(step, 0, kUnitSteps - 1));
  return rateUnit == 1 ? bits[k] : bytes[k];
}

double Divisor(uint16_t rateUnit, int step = 0) {
  double d = rateUnit == 1 ? 128.0 : 1024.0;
  for (int k = 0; k < std::clamp(step, 0, kUnitSteps - 1); ++k) d *= 1024.0;
  return d;
}

}  // namespace

uint32_t FullScaleFor(uint16_t connection, int32_t customKbps, uint16_t customPlus,
                      uint32_t previous) {
  if (connection == kConnAutomatic) return 0;
  if (connection < ConnectionSpeeds.size()) return ConnectionSpeeds[connection];
  if (connection != kConnCustom) return previous;
  const uint64_t kbps = customKbps > 0 ? static_cast<uint64_t>(customKbps) : kDefaultCustomKbps;
  // At most 65635 * (2^31 - 1) / 100 * 128, far inside 64 bits.
  const uint64_t bytes = (static_cast<uint64_t>(customPlus) + 100) * kbps / 100 * 128;
  return static_cast<uint32_t>(std::min<uint64_t>(bytes, std::numeric_limits<uint32_t>::max()));
}

void UpdateFullScale() {
  FixedFullScale = FullScaleFor(Cfg.Connection, Cfg.CustomKbps, Cfg.CustomPlus, FixedFullScale);
}

TDisplayMode EffectiveDisplayMode(const TCfgRec& cfg) {
  return cfg.DisplayMode <= dmBoth ? static_cast<TDisplayMode>(cfg.DisplayMode) : dmBoth;
}

uint16_t EffectiveRateUnit(const TCfgRec& cfg) {
  return cfg.RateUnit == 1 ? 1 : 0;
}

bool IsAutomaticScale(const TCfgRec& cfg) {
  return cfg.Connection == kConnAutomatic || cfg.Connection > kConnCustom;
}

int EffectiveTrayView(const TCfgRec& cfg) {
  return cfg.TrayView < kViewCount ? cfg.TrayView : 0;
}

int GridPeriodSeconds(uint16_t gridPeriod) {
  return gridPeriod < GridPeriods.size() ? GridPeriods[gridPeriod] : 0;
}

uint16_t EffectiveVisiblePercent(uint16_t percent) {
  return std::clamp(percent, kMinVisiblePercent, kMaxVisiblePercent);
}

uint8_t OpacityAlpha(bool transparent, uint16_t percent) {
  if (!transparent) return 255;
  return static_cast<uint8_t>(EffectiveVisiblePercent(percent) * 255 / 100);
}

int64_t BarHeight(int base, uint64_t value, uint32_t fullScale) {
  if (base <= 0 || fullScale == 0) return 0;
  // In two steps, so that base * value cannot wrap; a bar many times the graph's height is as
  // good as any taller one.
  const uint64_t whole = value / fullScale;
  if (whole > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
    return std::numeric_limits<int32_t>::max();
  const uint64_t b = static_cast<uint64_t>(base);
  return static_cast<int64_t>(whole * b + value % fullScale * b / fullScale);
}

TBar BarOf(uint64_t down, uint64_t up, int base, uint32_t fullScale) {
  TBar bar;
  if (down == 0 && up == 0) return bar;
  const int64_t hd = BarHeight(base, down, fullScale);
  const int64_t hu = BarHeight(base, up, fullScale);
  if (up == 0) {
    bar.First = TBarColor::Download;
    bar.FirstTop = hd;
  } else if (down == 0) {
    bar.First = TBarColor::Upload;
    bar.FirstTop = hu;
  } else if (down == up) {
    bar.First = TBarColor::Both;
    bar.FirstTop = hd;
  } else {
    // The part both directions share, then the excess of the larger one in its own colour.
    bar.First = TBarColor::Both;
    bar.FirstTop = std::min(hd, hu);
    bar.Second = down > up ? TBarColor::Download : TBarColor::Upload;
    bar.SecondTop = std::max(hd, hu);
  }
  return bar;
}

uint32_t AutoScaleCandidate(const TTraffic& traffic, int upIndex, int downIndex, int maxSeconds) {
  const int n = std::min(traffic.SampleCount(), maxSeconds);
  uint64_t top = 0;
  for (int i = 0; i < n; ++i) {
    const TCounterBlock& s = traffic.Newest(i);
    top = std::max({top, s[downIndex], s[upIndex]});
  }
  return static_cast<uint32_t>(std::min<uint64_t>(top, std::numeric_limits<uint32_t>::max()));
}

std::string FormatScaleLabel(uint32_t fullScale, uint16_t rateUnit) {
  return Fixed1(fullScale / Divisor(rateUnit), 5) + UnitText(rateUnit);
}

std::string FormatReadout(double down, double up, uint16_t rateUnit) {
  const std::string unit = UnitText(rateUnit);
  return "DL: " + Fixed1(down, 3) + " " + unit + "  UL: " + Fixed1(up, 3) + " " + unit;
}

std::string FormatScaleLabelIn(uint32_t fullScale, uint16_t rateUnit, int step) {
  return Fixed1(fullScale / Divisor(rateUnit, step), 5) + UnitText(rateUnit, step);
}

std::string FormatRatesIn(double downBytes, double upBytes, uint16_t rateUnit, int step) {
  const std::string unit = UnitText(rateUnit, step);
  const double d = Divisor(rateUnit, step);
  return "DL: " + Fixed1(downBytes / d, 3) + " " + unit + "  UL: " + Fixed1(upBytes / d, 3) + " " +
         unit;
}

std::string FormatSecond(uint64_t downBytes, uint64_t upBytes, uint16_t rateUnit) {
  return FormatReadout(static_cast<double>(downBytes) / Divisor(rateUnit),
                       static_cast<double>(upBytes) / Divisor(rateUnit), rateUnit);
}

std::string FormatAverage(uint64_t downBytes, uint64_t upBytes, uint16_t hourSeconds,
                          uint16_t rateUnit) {
  const double seconds = hourSeconds == 0 ? 1.0 : hourSeconds;
  return FormatReadout(static_cast<double>(downBytes) / seconds / Divisor(rateUnit),
                       static_cast<double>(upBytes) / seconds / Divisor(rateUnit), rateUnit);
}

}  // namespace zul
