// Where graph windows go: stacking beside the visible ones, the bottom-right corner, the
// rectangles stored in the settings. Plain functions over rectangles; Qt-free.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "settings/CfgF.h"

namespace zul {

// A window on the screen: position and size in pixels.
struct TWinRect {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
  bool operator==(const TWinRect&) const = default;
};

// Rectangles with right and bottom exclusive; they intersect when their overlap has a positive
// width and a positive height.
bool Intersects(int64_t l1, int64_t t1, int64_t r1, int64_t b1, int64_t l2, int64_t t2, int64_t r2,
                int64_t b2);

struct TSlot {
  int Beside = 0;  // index into `visible` of the window stacked against
  TWinRect Place;  // the placed window: that window's size, below or above it
};

// The first free slot below, then above, each visible window in order. A slot below is tried
// only when its top is above `workBottom`, a slot above only when its top is not negative. A
// slot is free when it meets none of the visible windows, each taken at its own top-left corner
// with the size of the window stacked against less one pixel, so that touching is no overlap.
std::optional<TSlot> FindFreeSlot(std::span<const TWinRect> visible, int workBottom);

// The bottom edge that stacking compares with: the work area's, or the desktop height less
// 27 pixels when the work area is unknown.
int WorkAreaBottom(std::optional<TWinRect> workArea, int desktopHeight);

// Top-left corner that puts a window of `size` into the bottom-right corner of the work area,
// or of the desktop less 27 pixels at the bottom when the work area is unknown.
TWinRect BottomRight(std::optional<TWinRect> workArea, int desktopWidth, int desktopHeight,
                     int width, int height);

// The rectangle to restore from a stored one: none when all zero (nothing stored) or when its
// width or height is not positive (a damaged file), since applying it would collapse the window.
std::optional<TWinRect> RestorableRect(const TCfgRect& stored);
TCfgRect StoredRect(const TWinRect& r);

// A stored rectangle fitted to the screens' work areas as a restore applies it.
struct TRestored {
  TWinRect Rect;
  bool Moved = false;  // it met no work area and was brought into the nearest one
};

// Restores `stored` (see RestorableRect) onto `workAreas`: the size is kept between
// `minWidth` x `minHeight` (the smallest window that still draws a bar) and the size of the
// work area it is on; a rectangle that meets no work area is moved into the nearest one; a
// rectangle on a screen, of a size in range, comes back exactly as it was saved. Without any
// work area only the smallest size is enforced.
std::optional<TRestored> RestoreRect(const TCfgRect& stored, std::span<const TWinRect> workAreas,
                                     int minWidth, int minHeight);

// What one graph window looks like at exit; absent for a window that does not exist.
struct TWindowState {
  bool Visible = false;
  TWinRect Rect;
};

// Records visibility and the rectangles of visible windows into `visible` and `rects`; a
// hidden window keeps its stored rectangle. Returns whether any value changed.
bool RecordWindowSet(std::array<bool, 4>& visible, std::array<TCfgRect, 4>& rects,
                     const std::array<std::optional<TWindowState>, 4>& now);

}  // namespace zul
