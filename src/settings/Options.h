// What OK in the options dialog does to the settings record: the controls' values, read into a
// plain input, stored field by field in the dialog's order, each change handed to the part of the
// program that shows it. Qt-free, so every rule is tested without a display.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "settings/CfgF.h"

namespace zul {

// The controls as OK finds them. Lists give their selection (-1 for none); number fields give
// their text as typed (UTF-16, as the edit holds it), since a text that is not the stored value's
// own form counts as a change.
struct TOptionsInput {
  // "General"
  bool OnTop = false;
  bool ShowCaption = false;
  bool StartMinimized = false;
  bool ShowAverage = false;
  bool Transparent = false;
  int VisiblePercent = 0;
  uint16_t DisplayMode = 0;  // 0 graphic, 1 numeric, 2 both
  uint16_t RateUnit = 0;     // 0 kB/s, 1 kbps
  // "Network Interface"
  bool AllInterfaces = false;
  int Adapter = -1;
  // "Graph"
  bool GridLines = false;
  bool ShowMaxValue = false;
  int GridPeriod = -1;
  uint32_t ColorDownload = 0;
  uint32_t ColorUpload = 0;
  uint32_t ColorBoth = 0;
  uint32_t ColorIdle = 0;
  int Connection = -1;
  std::u16string CustomKbps;
  std::u16string CustomPlus;
  // "Notifications"
  bool NotifyEnabled = false;
  int NotifyCondition = -1;
  std::u16string NotifyAmount;
  int NotifyUnit = -1;
  int NotifyTarget = -1;
  std::u16string NotifyTime;
  int NotifyTimeUnit = -1;
  bool PlaySound = false;
  // The typed sound file in the local code page, or nullopt while the edit still shows the
  // stored name: only the dialog can tell, since the stored bytes need not decode.
  std::optional<std::string> SoundFile;
  bool DisplayMessage = false;
  // "Systray": 0 "Internet & LAN", 1 Internet, 2 LAN, 3 all PCs
  uint16_t TrayView = 0;
};

// The running program's side of a change. Called on the main thread, in the order of the fields.
class TOptionEffects {
 public:
  virtual ~TOptionEffects() = default;
  virtual void SetTopmost(bool on) = 0;
  virtual void SetAllCaptions(bool show) = 0;
  virtual void SetAllTransparency(bool on, uint16_t percent) = 0;
  virtual void StartAllWatchers() = 0;
  virtual void MonitorOneAdapter(int32_t index) = 0;
  virtual void UpdateFullScale() = 0;
  virtual void ArmNotification() = 0;
  virtual void RepaintAll() = 0;
};

// Stores `in` into `cfg`, each field that differs applied through `effects` as soon as it and
// those it goes with are stored; the graphs are repainted once at the end. True when anything
// changed. `in` is expected to have passed the dialog's checks; a number that does not parse
// keeps the stored value (the speed) or becomes 0.
bool ApplyOptions(const TOptionsInput& in, TCfgRec& cfg, TOptionEffects& effects);

// A number field's text as a signed 32-bit integer: optional blanks (as the edit trims them), an
// optional sign, decimal digits; nullopt for anything else or a value out of range.
std::optional<int32_t> IntegerOf(const std::u16string& text);

}  // namespace zul
