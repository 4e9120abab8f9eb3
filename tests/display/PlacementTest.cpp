// Stacking beside visible windows, the bottom-right corner, and the rectangles kept in the
// settings.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "display/Placement.h"

namespace zul {
namespace {

// A 1024 x 768 desktop whose work area ends at 738 (a taskbar of 30 pixels).
constexpr int kWorkBottom = 738;
constexpr TWinRect kAtBottom{807, kWorkBottom - 111, 217, 111};

TEST(WindowStacking, BelowOutsideTheWorkAreaSoAboveWithTheSameSize) {
  const std::vector<TWinRect> visible = {kAtBottom};
  const auto slot = FindFreeSlot(visible, kWorkBottom);
  ASSERT_TRUE(slot);
  EXPECT_EQ(slot->Beside, 0);
  EXPECT_EQ(slot->Place, (TWinRect{807, kWorkBottom - 222, 217, 111}));
}

TEST(WindowStacking, ThirdWindowGoesAboveTheUpperOfTwo) {
  const TWinRect upper{807, kWorkBottom - 222, 217, 111};
  const std::vector<TWinRect> visible = {kAtBottom, upper};
  const auto slot = FindFreeSlot(visible, kWorkBottom);
  ASSERT_TRUE(slot);
  EXPECT_EQ(slot->Beside, 1);
  EXPECT_EQ(slot->Place, (TWinRect{807, kWorkBottom - 333, 217, 111}));
}

TEST(WindowStacking, WindowsThatOnlyTouchDoNotOverlap) {
  // A window right below the only slot's top edge would overlap; one ending exactly there
  // touches it and leaves the slot free.
  const std::vector<TWinRect> touching = {{100, 100, 200, 100}, {100, 300, 200, 100}};
  const auto slot = FindFreeSlot(touching, kWorkBottom);
  ASSERT_TRUE(slot);
  EXPECT_EQ(slot->Place, (TWinRect{100, 200, 200, 100}));

  const std::vector<TWinRect> overlapping = {{100, 100, 200, 100}, {100, 298, 200, 100}};
  EXPECT_EQ(FindFreeSlot(overlapping, kWorkBottom)->Place, (TWinRect{100, 0, 200, 100}));
}

TEST(WindowStacking, NoFreeSlotLeavesTheWindowWhereItIs) {
  // Full height: below is past the work area, above would start above the screen.
  const std::vector<TWinRect> visible = {{0, 0, 200, kWorkBottom}};
  EXPECT_FALSE(FindFreeSlot(visible, kWorkBottom));
  EXPECT_FALSE(FindFreeSlot({}, kWorkBottom));
}

TEST(CornerPlacement, BottomRightOfTheWorkAreaOrOfTheDesktopLess27) {
  const TWinRect work{0, 0, 1024, kWorkBottom};
  EXPECT_EQ(BottomRight(work, 1024, 768, 217, 111), (TWinRect{807, 627, 217, 111}));
  EXPECT_EQ(BottomRight(std::nullopt, 1024, 768, 217, 111), (TWinRect{807, 630, 217, 111}));
  EXPECT_EQ(WorkAreaBottom(work, 768), kWorkBottom);
  EXPECT_EQ(WorkAreaBottom(std::nullopt, 768), 741);
}

TEST(StoredWindowRect, AppliesAsPositionAndSize) {
  EXPECT_EQ(RestorableRect({100, 50, 317, 161}), (TWinRect{100, 50, 217, 111}));
  EXPECT_EQ(RestorableRect({-300, -20, -83, 91}), (TWinRect{-300, -20, 217, 111}))
      << "off the screen is restored unchanged";
}

TEST(StoredWindowRect, NothingStoredOrCollapsedIsNotApplied) {
  EXPECT_FALSE(RestorableRect({0, 0, 0, 0}));
  EXPECT_FALSE(RestorableRect({100, 50, 100, 161})) << "zero width";
  EXPECT_FALSE(RestorableRect({100, 50, 317, 40})) << "negative height";
  EXPECT_FALSE(RestorableRect(
      {std::numeric_limits<int32_t>::min(), 0, std::numeric_limits<int32_t>::max(), 10}))
      << "a width past 32 bits";
}

TEST(StoredWindowRect, IsFittedToTheScreensWorkAreas) {
  // Two screens side by side, each with a panel at the bottom.
  const std::vector<TWinRect> areas = {{0, 0, 1280, 994}, {1280, 0, 1024, 738}};
  constexpr int kMinW = 40, kMinH = 30;
  struct TRow {
    const char* Name;
    TCfgRect Stored;
    std::optional<TRestored> Want;
  } rows[] = {
      {"on the first screen: exactly as saved",
       {100, 50, 317, 161},
       TRestored{{100, 50, 217, 111}}},
      {"partly off the second screen: exactly as saved",
       {2200, 700, 2417, 811},
       TRestored{{2200, 700, 217, 111}}},
      {"far left and above", {-100000, -100000, -99783, -99889}, TRestored{{0, 0, 217, 111}, true}},
      {"far right and below",
       {100000, 100000, 100217, 100111},
       TRestored{{2087, 627, 217, 111}, true}},
      {"in the gap below the second screen's panel",
       {1400, 800, 1617, 911},
       TRestored{{1400, 627, 217, 111}, true}},
      {"tiny", {100, 50, 101, 51}, TRestored{{100, 50, kMinW, kMinH}}},
      {"huge, on the first screen",
       {10, 10, 10 + (1 << 30), 10 + (1 << 30)},
       TRestored{{0, 0, 1280, 994}}},
      {"a size of 2^31", {-1, 0, std::numeric_limits<int32_t>::max(), 1}, std::nullopt},
      {"nothing stored", {0, 0, 0, 0}, std::nullopt},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    const std::optional<TRestored> got = RestoreRect(row.Stored, areas, kMinW, kMinH);
    ASSERT_EQ(got.has_value(), row.Want.has_value());
    if (!got) continue;
    EXPECT_EQ(got->Rect, row.Want->Rect);
    EXPECT_EQ(got->Moved, row.Want->Moved);
  }
  // No screen known: only the smallest size.
  const auto alone = RestoreRect({-5000, 0, -4999, 1}, {}, kMinW, kMinH);
  ASSERT_TRUE(alone);
  EXPECT_EQ(alone->Rect, (TWinRect{-5000, 0, kMinW, kMinH}));
}

}  // namespace
}  // namespace zul
