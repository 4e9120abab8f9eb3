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
