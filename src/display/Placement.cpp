#include "display/Placement.h"

#include <algorithm>
#include <limits>

namespace zul {

namespace {

constexpr int kTaskbarAllowance = 27;

int Clamp32(int64_t v) {
  return static_cast<int>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                              std::numeric_limits<int32_t>::max()));
}

bool IsFree(const TWinRect& candidate, std::span<const TWinRect> visible, const TWinRect& j) {
  const int64_t cl = candidate.Left, ct = candidate.Top;
  const int64_t cr = cl + candidate.Width, cb = ct + candidate.Height;
  for (const TWinRect& m : visible) {
    const int64_t ml = m.Left, mt = m.Top;
    if (Intersects(cl, ct, cr, cb, ml, mt, ml + j.Width - 1, mt + j.Height - 1)) return false;
  }
  return true;
}

}  // namespace

bool Intersects(int64_t l1, int64_t t1, int64_t r1, int64_t b1, int64_t l2, int64_t t2, int64_t r2,
                int64_t b2) {
  return std::min(r1, r2) - std::max(l1, l2) > 0 && std::min(b1, b2) - std::max(t1, t2) > 0;
}

std::optional<TSlot> FindFreeSlot(std::span<const TWinRect> visible, int workBottom) {
  for (std::size_t j = 0; j < visible.size(); ++j) {
    const TWinRect& w = visible[j];
    const TWinRect below{w.Left, Clamp32(int64_t{w.Top} + w.Height), w.Width, w.Height};
    if (below.Top < workBottom && IsFree(below, visible, w))
      return TSlot{static_cast<int>(j), below};
    const TWinRect above{w.Left, Clamp32(int64_t{w.Top} - w.Height), w.Width, w.Height};
    if (above.Top >= 0 && IsFree(above, visible, w)) return TSlot{static_cast<int>(j), above};
  }
  return std::nullopt;
}

int WorkAreaBottom(std::optional<TWinRect> workArea, int desktopHeight) {
  if (workArea) return Clamp32(int64_t{workArea->Top} + workArea->Height);
  return desktopHeight - kTaskbarAllowance;
}

TWinRect BottomRight(std::optional<TWinRect> workArea, int desktopWidth, int desktopHeight,
                     int width, int height) {
  if (workArea)
    return {Clamp32(int64_t{workArea->Left} + workArea->Width - width),
            Clamp32(int64_t{workArea->Top} + workArea->Height - height), width, height};
  return {desktopWidth - width, desktopHeight - height - kTaskbarAllowance, width, height};
}

std::optional<TWinRect> RestorableRect(const TCfgRect& stored) {
  if (stored.IsZero()) return std::nullopt;
  const int64_t width = int64_t{stored.Right} - stored.Left;
  const int64_t height = int64_t{stored.Bottom} - stored.Top;
  if (width <= 0 || height <= 0 || width > std::numeric_limits<int32_t>::max() ||
      height > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return TWinRect{stored.Left, stored.Top, static_cast<int>(width), static_cast<int>(height)};
}

std::optional<TRestored> RestoreRect(const TCfgRect& stored, std::span<const TWinRect> workAreas,
                                     int minWidth, int minHeight) {
  const std::optional<TWinRect> r = RestorableRect(stored);
  if (!r) return std::nullopt;
  TRestored out{*r, false};
  TWinRect& w = out.Rect;
  if (workAreas.empty()) {
    w.Width = std::max(w.Width, minWidth);
    w.Height = std::max(w.Height, minHeight);
    return out;
  }
  auto right = [](const TWinRect& a) { return int64_t{a.Left} + a.Width; };
  auto bottom = [](const TWinRect& a) { return int64_t{a.Top} + a.Height; };
  // The work area it is on, or else the nearest (by the gap between the rectangles).
  const TWinRect* area = nullptr;
  int64_t bestGap = std::numeric_limits<int64_t>::max();
  for (const TWinRect& a : workAreas) {
    if (Intersects(w.Left, w.Top, right(w), bottom(w), a.Left, a.Top, right(a), bottom(a))) {
      area = &a;
      bestGap = -1;
      break;
    }
    const int64_t dx = std::max<int64_t>({0, a.Left - right(w), w.Left - right(a)});
    const int64_t dy = std::max<int64_t>({0, a.Top - bottom(w), w.Top - bottom(a)});
    // Gaps up to 2^32 each: the sum of squares fits, halved, in 64 bits.
    const int64_t gap = (dx / 2) * (dx / 2) + (dy / 2) * (dy / 2);
    if (gap < bestGap) {
      bestGap = gap;
      area = &a;
    }
  }
  out.Moved = bestGap >= 0;
  const int width = std::clamp(w.Width, minWidth, std::max(area->Width, minWidth));
  const int height = std::clamp(w.Height, minHeight, std::max(area->Height, minHeight));
  if (!out.Moved && width == w.Width && height == w.Height) return out;  // exactly as saved
  w.Width = width;
  w.Height = height;
  // Brought wholly into the area: the nearest place to where it was.
  w.Left = Clamp32(
      std::clamp<int64_t>(w.Left, area->Left, std::max<int64_t>(area->Left, right(*area) - width)));
  w.Top = Clamp32(
      std::clamp<int64_t>(w.Top, area->Top, std::max<int64_t>(area->Top, bottom(*area) - height)));
  return out;
}

TCfgRect StoredRect(const TWinRect& r) {
  return {r.Left, r.Top, Clamp32(int64_t{r.Left} + r.Width), Clamp32(int64_t{r.Top} + r.Height)};
}

bool RecordWindowSet(std::array<bool, 4>& visible, std::array<TCfgRect, 4>& rects,
                     const std::array<std::optional<TWindowState>, 4>& now) {
  bool changed = false;
  for (std::size_t i = 0; i < now.size(); ++i) {
    if (!now[i]) continue;
    if (visible[i] != now[i]->Visible) changed = true;
    visible[i] = now[i]->Visible;
    if (!now[i]->Visible) continue;
    const TCfgRect r = StoredRect(now[i]->Rect);
    if (!(r == rects[i])) changed = true;
    rects[i] = r;
  }
  return changed;
}

}  // namespace zul
