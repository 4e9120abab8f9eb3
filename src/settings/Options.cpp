// The options dialog's OK, without the dialog: the record stored from the controls' values.
#include "settings/Options.h"

#include <limits>
#include <string>

namespace zul {

namespace {

// The blanks the edit's trimming takes away: the space separators and the ASCII controls.
bool IsBlank(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r') || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// A number in the form the dialog shows a stored value in.
std::u16string Shown(uint64_t value) {
  const std::string digits = std::to_string(value);
  return {digits.begin(), digits.end()};
}

// A selection as the 16-bit index fields store it: none (-1) becomes 65535.
uint16_t IndexField(int selection) {
  return static_cast<uint16_t>(selection);
}

// Stores `value` into `field`; true when it was different.
template <class T, class V>
bool Put(T& field, V value) {
  const T v = static_cast<T>(value);
  if (field == v) return false;
  field = v;
  return true;
}

}  // namespace

std::optional<int32_t> IntegerOf(const std::u16string& text) {
  std::size_t i = 0;
  std::size_t end = text.size();
  while (i < end && IsBlank(text[i])) ++i;
  while (end > i && IsBlank(text[end - 1])) --end;
  bool negative = false;
  if (i < end && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  if (i == end) return std::nullopt;
  int64_t value = 0;
  for (; i < end; ++i) {
    if (text[i] < u'0' || text[i] > u'9') return std::nullopt;
    value = value * 10 + (text[i] - u'0');
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int32_t>(value);
}

bool ApplyOptions(const TOptionsInput& in, TCfgRec& cfg, TOptionEffects& effects) {
  bool changed = false;
  bool repaint = false;
  bool notify = false;
  bool scale = false;

  if (Put(cfg.OnTop, in.OnTop)) {
    effects.SetTopmost(cfg.OnTop);
    changed = true;
  }
  if (Put(cfg.ShowCaption, in.ShowCaption)) {
    effects.SetAllCaptions(cfg.ShowCaption);
    changed = true;
  }
  changed |= Put(cfg.StartMinimized, in.StartMinimized);
  changed |= Put(cfg.ShowAverage, in.ShowAverage);

  bool transparency = Put(cfg.Transparent, in.Transparent);
  transparency |= Put(cfg.VisiblePercent, in.VisiblePercent);
  if (transparency) {
    effects.SetAllTransparency(cfg.Transparent, cfg.VisiblePercent);
    changed = true;
  }

  if (Put(cfg.DisplayMode, in.DisplayMode)) repaint = changed = true;
  if (Put(cfg.RateUnit, in.RateUnit)) repaint = changed = true;

  if (Put(cfg.AllInterfaces, in.AllInterfaces)) {
    if (cfg.AllInterfaces)
      effects.StartAllWatchers();
    else
      effects.MonitorOneAdapter(in.Adapter);
    changed = true;
  }
  // With every adapter monitored the list may select none (the remembered adapter is gone):
  // the remembered index is kept for when it comes back.
  if (in.Adapter >= 0 && Put(cfg.InterfaceIndex, IndexField(in.Adapter)) && !cfg.AllInterfaces) {
    effects.MonitorOneAdapter(in.Adapter);
    changed = true;
  }

  if (Put(cfg.GridLines, in.GridLines)) repaint = changed = true;
  if (Put(cfg.ShowMaxValue, in.ShowMaxValue)) repaint = changed = true;
  if (Put(cfg.GridPeriod, IndexField(in.GridPeriod))) repaint = changed = true;
  if (Put(cfg.ColorDownload, in.ColorDownload)) repaint = changed = true;
  if (Put(cfg.ColorUpload, in.ColorUpload)) repaint = changed = true;
  if (Put(cfg.ColorBoth, in.ColorBoth)) repaint = changed = true;
  if (Put(cfg.ColorIdle, in.ColorIdle)) repaint = changed = true;

  if (Put(cfg.Connection, IndexField(in.Connection))) scale = repaint = changed = true;
  // The numbers count as changed when their text is not the stored value's own form, as typed.
  if (in.CustomKbps != Shown(static_cast<uint32_t>(cfg.CustomKbps))) {
    cfg.CustomKbps = IntegerOf(in.CustomKbps).value_or(cfg.CustomKbps);
    scale = repaint = changed = true;
  }
  if (in.CustomPlus != Shown(cfg.CustomPlus)) {
    cfg.CustomPlus = static_cast<uint16_t>(IntegerOf(in.CustomPlus).value_or(0));
    scale = repaint = changed = true;
  }
  if (scale) effects.UpdateFullScale();

  if (Put(cfg.NotifyEnabled, in.NotifyEnabled)) notify = changed = true;
  if (Put(cfg.NotifyCondition, IndexField(in.NotifyCondition))) notify = changed = true;
  const int64_t amount = IntegerOf(in.NotifyAmount).value_or(0);
  if (amount != int64_t{cfg.NotifyAmount}) {
    cfg.NotifyAmount = static_cast<uint32_t>(amount);
    notify = changed = true;
  }
  if (Put(cfg.NotifyUnit, IndexField(in.NotifyUnit))) notify = changed = true;
  if (Put(cfg.NotifyTarget, IndexField(in.NotifyTarget))) notify = changed = true;
  if (in.NotifyTime != Shown(cfg.NotifyTime)) {
    cfg.NotifyTime = static_cast<uint16_t>(IntegerOf(in.NotifyTime).value_or(0));
    notify = changed = true;
  }
  if (Put(cfg.NotifyTimeUnit, IndexField(in.NotifyTimeUnit))) notify = changed = true;
  if (notify) effects.ArmNotification();

  changed |= Put(cfg.PlaySound, in.PlaySound);
  if (in.SoundFile) {
    // The record holds 200 bytes; a cut never splits a UTF-8 character.
    std::string bytes = *in.SoundFile;
    if (bytes.size() > kSoundFileMax) {
      std::size_t cut = kSoundFileMax;
      while (cut > 0 && (static_cast<uint8_t>(bytes[cut]) & 0xC0) == 0x80) --cut;
      bytes.resize(cut);
    }
    cfg.SoundFile = bytes;
    changed = true;
  }
  changed |= Put(cfg.DisplayMessage, in.DisplayMessage);
  changed |= Put(cfg.TrayView, in.TrayView);

  if (repaint) effects.RepaintAll();
  return changed;
}

}  // namespace zul
