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

}  // namespace
}  // namespace zul
