// Pixel tests of a graph drawn into its surface: bars, scale, overlay, readout and the
// scrolling display step.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QGuiApplication>
#include <QPalette>
#include <memory>
#include <vector>

#include "HistoryPush.h"
#include "display/FigureDraw.h"

namespace zul {
namespace {

// Colours as the surface holds them (0xRRGGBB), written out from the defaults 0x00BBGGRR.
constexpr QRgb kRed = 0xFF0000;     // download
constexpr QRgb kLime = 0x00FF00;    // upload
constexpr QRgb kYellow = 0xFFFF00;  // both
constexpr QRgb kIdle = 0xB0B0D0;
constexpr QRgb kBlack = 0x000000;
constexpr QRgb kWhite = 0xFFFFFF;

// 217 x 111 client area in graphical mode: base row 109, newest column 215.
constexpr int kB = 109;
constexpr int kR = 215;

QRgb Face() {
  return QGuiApplication::palette().color(QPalette::Window).rgb() & 0xFFFFFF;
}

class GraphPixels : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDefaultCfg(C, "");
    C.DisplayMode = dmGraphical;
    FixedFullScale = 0;
    G = std::make_unique<TGraph>(C, T);
    G->SetClientSize({217, 111});
    G->OnTrayHint = [this](const QString& s) { Hints.push_back(s); };
    G->OnTrayLevel = [this](uint32_t bar, uint32_t h) { Levels.push_back({bar, h}); };
  }
  void Push(uint32_t down, uint32_t up) { PushSecond(T, down, up); }
  void UseFixedScale() {
    C.Connection = 1;  // 33.6 kbps
    FixedFullScale = 4300;
  }
  QRgb Px(int x, int y) const { return G->Surface().pixel(x, y) & 0xFFFFFF; }
  // Rows from..to (inclusive) of column x all hold `rgb`.
  ::testing::AssertionResult Run(int x, int from, int to, QRgb rgb) const {
    for (int y = from; y <= to; ++y)
      if (Px(x, y) != rgb)
        return ::testing::AssertionFailure()
               << "column " << x << " row " << y << " is " << std::hex << Px(x, y);
    return ::testing::AssertionSuccess();
  }

  TCfgRec C;
  TTraffic T;
  std::unique_ptr<TGraph> G;
  std::vector<QString> Hints;
  std::vector<std::pair<uint32_t, uint32_t>> Levels;
};

TEST_F(GraphPixels, OneStoredSecondDrawsOneBarInColumnRByACompleteRedraw) {
  Push(300, 0);
  G->FormPaint();
  EXPECT_TRUE(Run(kR, 1, kB, kRed)) << "the automatic scale fills the height";
  EXPECT_TRUE(Run(kR - 1, 1, kB, kIdle));
  EXPECT_TRUE(Run(kR + 1, 0, 110, kBlack)) << "right border";
  EXPECT_EQ(Px(kR, 0), kBlack) << "top border";
  EXPECT_EQ(Px(kR, 110), kBlack) << "bottom border";
}

TEST_F(GraphPixels, OneStoredSecondDrawsOneBarInColumnRByATick) {
  UseFixedScale();
  G->FormPaint();
  Push(2150, 0);
  EXPECT_FALSE(G->UpdateDisplay()) << "an unchanged scale scrolls instead of redrawing";
  // 109 * 2150 div 4300 = 54 rows.
  EXPECT_TRUE(Run(kR, kB - 53, kB, kRed));
  EXPECT_TRUE(Run(kR, 1, kB - 54, kIdle));
  EXPECT_TRUE(Run(kR - 1, 1, kB, kIdle));
  ASSERT_EQ(Levels.size(), 1u);
  EXPECT_EQ(Levels[0], std::make_pair(54u, 109u));
}

TEST_F(GraphPixels, IdleSecondsDrawNothingWhateverTheScale) {
  for (const bool automatic : {true, false}) {
    SCOPED_TRACE(automatic ? "automatic scale" : "fixed scale");
    if (!automatic) UseFixedScale();
    T.ClearHistory();
    G->FormPaint();
    const QImage before = G->Surface();
    for (int s = 0; s < 3; ++s) {
      Push(0, 0);
      EXPECT_FALSE(G->UpdateDisplay()) << "an idle second is no change of scale";
      EXPECT_FALSE(G->LastStepDrew()) << "second " << s;
    }
    EXPECT_EQ(G->Surface(), before);
    Push(300, 0);
    G->UpdateDisplay();
    EXPECT_TRUE(G->LastStepDrew()) << "traffic draws";
  }
}

TEST_F(GraphPixels, FullRingFillsA501PixelClientOldestInColumnOne) {
  // Custom 109 kbps without headroom: full scale 109 * 128 bytes, so 128 bytes per row.
  C.Connection = 15;
  C.CustomKbps = 109;
  C.CustomPlus = 0;
  FixedFullScale = FullScaleFor(15, C.CustomKbps, C.CustomPlus, 0);
  G->SetClientSize({501, 111});
  for (int k = 0; k < 499; ++k) Push(static_cast<uint32_t>(128 * (k % 100 + 1)), 0);
  G->FormPaint();
  // Second k stands k % 100 + 1 rows high, in column k + 1.
  for (int k = 0; k < 499; ++k) {
    const int h = k % 100 + 1;
    ASSERT_TRUE(Run(k + 1, kB - h + 1, kB, kRed)) << "second " << k;
    ASSERT_TRUE(Run(k + 1, 1, kB - h, kIdle)) << "second " << k;
  }
  EXPECT_TRUE(Run(0, 0, 110, kBlack));
  EXPECT_TRUE(Run(500, 0, 110, kBlack));
}

struct ColourRow {
  uint32_t Down;
  uint32_t Up;
  QRgb Upper;  // colour above the shared part
};

class BarColours : public GraphPixels, public ::testing::WithParamInterface<ColourRow> {};

TEST_P(BarColours, SharedPartInBothColourExcessInItsDirection) {
  Push(GetParam().Down, GetParam().Up);
  G->FormPaint();
  if (GetParam().Down == GetParam().Up) {
    EXPECT_TRUE(Run(kR, 1, kB, kYellow));
    return;
  }
  // Full scale 300: the smaller value 100 stands 10900 div 300 = 36 rows high.
  EXPECT_TRUE(Run(kR, kB - 35, kB, kYellow));
  EXPECT_TRUE(Run(kR, 1, kB - 36, GetParam().Upper));
}

INSTANTIATE_TEST_SUITE_P(DownloadUploadEqual, BarColours,
                         ::testing::Values(ColourRow{300, 100, kRed}, ColourRow{100, 300, kLime},
                                           ColourRow{300, 300, kYellow}));

TEST_F(GraphPixels, ExceededFixedScaleIsCutAtTheTopAndTheBorderRedrawn) {
  UseFixedScale();
  Push(10000, 0);
  G->FormPaint();
  EXPECT_TRUE(Run(kR, 1, kB, kRed));
  EXPECT_EQ(Px(kR, 0), kBlack);

  // The display step draws the same cut bar and leaves the border as a redraw would.
  Push(10000, 0);
  G->UpdateDisplay();
  EXPECT_TRUE(Run(kR, 1, kB, kRed));
  EXPECT_TRUE(Run(kR - 1, 1, kB, kRed));
  EXPECT_EQ(Px(kR, 0), kBlack);
  ASSERT_EQ(Levels.size(), 1u);
  EXPECT_EQ(Levels[0], std::make_pair(109u, 109u)) << "the tray gets at most the full height";
}

TEST_F(GraphPixels, OverlayDrawnTwiceLeavesThePixelsAsTheyWere) {
  C.GridLines = true;
  C.GridPeriod = 0;
  C.Connection = 15;
  FixedFullScale = FullScaleFor(15, C.CustomKbps, C.CustomPlus, 0);
  for (int i = 0; i < 80; ++i) Push(static_cast<uint32_t>(i * 2000), 50000);
  G->FormPaint();
  const QImage before = G->Surface().copy();
  G->DrawOverlay();
  EXPECT_NE(G->Surface(), before);
  G->DrawOverlay();
  EXPECT_EQ(G->Surface(), before);
}

TEST_F(GraphPixels, GridLinesStandEveryPeriodFromColumnR) {
  C.GridLines = true;
  const QRgb dot = kIdle ^ 0x808080;
  const QRgb gap = kIdle ^ (~kIdle & 0xFFFFFF);
  for (const uint16_t period : {uint16_t{0}, uint16_t{3}}) {
    C.GridPeriod = period;
    const int p = period == 0 ? 10 : 60;
    G->FormPaint();
    for (int x = 1; x <= kR; ++x) {
      const bool line = x != kR && (kR - x) % p == 0;
      ASSERT_EQ(Px(x, kB), line ? dot : kIdle) << "period " << p << " column " << x;
      ASSERT_EQ(Px(x, kB - 1), line ? gap : kIdle) << "period " << p << " column " << x;
    }
  }
}

TEST_F(GraphPixels, GridPeriodOutsideTheTableDrawsNoLines) {
  G->FormPaint();
  const QImage plain = G->Surface().copy();
  C.GridLines = true;
  C.GridPeriod = 4;
  G->FormPaint();
  EXPECT_EQ(G->Surface(), plain);
}

TEST_F(GraphPixels, NominalLineOfACustomConnection) {
  C.Connection = 15;
  C.CustomPlus = 10;
  FixedFullScale = FullScaleFor(15, C.CustomKbps, C.CustomPlus, 0);
  G->FormPaint();
  // Graph height 111 * 10 div 110 = row 10, from column 1 up to column R, which stays clear.
  EXPECT_EQ(G->FNominalY, 10);
  for (int x = 1; x < kR; ++x) ASSERT_EQ(Px(x, 10), kIdle ^ Face()) << "column " << x;
  EXPECT_EQ(Px(kR, 10), kIdle);
  EXPECT_EQ(Px(1, 9), kIdle);

  C.CustomPlus = 0;
  G->FormPaint();
  EXPECT_TRUE(Run(100, 1, kB, kIdle));
}

TEST_F(GraphPixels, NumericModeFillsTheClientAreaWithTheReadout) {
  C.DisplayMode = dmNumeric;
  T.LastSample[ciWanLanDown] = 2048;
  T.LastSample[ciWanLanUp] = 512;
  G->FormPaint();
  EXPECT_EQ(G->FGraphHeight, 0);
  EXPECT_EQ(Px(0, 0), kBlack);
  EXPECT_EQ(Px(216, 110), kBlack);
  EXPECT_EQ(Px(1, 1), kWhite);
  for (int y = 0; y < 111; ++y)
    for (int x = 0; x < 217; ++x) ASSERT_NE(Px(x, y), kIdle);

  const QString text = QStringLiteral("DL: 2.0 kB/s  UL: 0.5 kB/s");
  ASSERT_EQ(Hints.size(), 1u);
  EXPECT_EQ(Hints[0], text);
  const QFontMetrics fm(FigureFont());
  const int left = (217 - fm.horizontalAdvance(text)) / 2;
  const int top = (111 - fm.height() - 2) / 2;
  int inkLeft = 1000, inkTop = 1000, inkBottom = -1;
  for (int y = 1; y < 110; ++y)
    for (int x = 1; x < 216; ++x)
      if (Px(x, y) != kWhite) {
        inkLeft = std::min(inkLeft, x);
        inkTop = std::min(inkTop, y);
        inkBottom = std::max(inkBottom, y);
      }
  EXPECT_GE(inkLeft, left);
  EXPECT_LE(inkLeft, left + 3);
  EXPECT_GE(inkTop, top);
  EXPECT_LT(inkBottom, top + fm.height());

  Push(5000, 0);
  G->UpdateDisplay();
  EXPECT_TRUE(Levels.empty()) << "numeric mode does not feed the tray picture";
}

TEST_F(GraphPixels, BothModesKeepTwoRowsBetweenFrameAndReadout) {
  C.DisplayMode = dmBoth;
  G->FormPaint();
  const int numHeight = QFontMetrics(FigureFont()).height() + 8;
  const int graphHeight = 111 - numHeight;
  EXPECT_EQ(G->FGraphHeight, graphHeight);
  EXPECT_EQ(Px(50, graphHeight - 1), kBlack) << "frame bottom";
  EXPECT_EQ(Px(50, graphHeight), Face());
  EXPECT_EQ(Px(50, graphHeight + 1), Face());
  EXPECT_EQ(Px(50, graphHeight + 2), kBlack) << "readout top";
  EXPECT_EQ(Px(50, graphHeight - 2), kIdle);
}

TEST_F(GraphPixels, ReadoutShowsTheHourAverageWhenAsked) {
  C.DisplayMode = dmBoth;
  C.RateUnit = 1;
  C.ShowAverage = true;
  T.HourTotals[ciWanLanDown] = 12800;
  T.HourSeconds = 10;
  G->FormPaint();
  ASSERT_EQ(Hints.size(), 1u);
  EXPECT_EQ(Hints[0], QStringLiteral("DL: 10.0 kbps  UL: 0.0 kbps"));

  C.DisplayMode = dmGraphical;
  G->FormPaint();
  G->UpdateDisplay();
  EXPECT_EQ(Hints.size(), 1u) << "graphical mode shows no readout";
}

TEST_F(GraphPixels, RatesThatDoNotFitTakeTheNextUnit) {
  C.DisplayMode = dmNumeric;
  const QFontMetrics fm(FigureFont());
  const struct {
    uint16_t unit;
    uint32_t down, up;
    const char* unitShown;  // the unit the readout must show
  } cases[] = {
      {0, 2048, 512, "kB/s"},  // fits: the setting's own format
      {0, 4'000'000'000u, 4'000'000'000u, "MB/s"},
      {1, 12'800, 0, "kbps"},
      {1, 4'000'000'000u, 4'000'000'000u, "Mbps"},
  };
  for (const auto& c : cases) {
    C.RateUnit = c.unit;
    T.LastSample[ciWanLanDown] = c.down;
    T.LastSample[ciWanLanUp] = c.up;
    Hints.clear();
    G->FormPaint();
    ASSERT_EQ(Hints.size(), 1u);
    EXPECT_TRUE(Hints[0].contains(QString::fromUtf8(c.unitShown))) << Hints[0].toStdString();
    EXPECT_LE(fm.horizontalAdvance(Hints[0]), 217 - 4) << Hints[0].toStdString();
  }
  // In a window too narrow for any unit's text the largest one is used.
  G->SetClientSize(QSize(60, 111));
  C.RateUnit = 0;
  Hints.clear();
  G->FormPaint();
  ASSERT_EQ(Hints.size(), 1u);
  EXPECT_TRUE(Hints[0].contains(QStringLiteral("GB/s"))) << Hints[0].toStdString();
  EXPECT_EQ(FormatRatesIn(77'560'000, 1'048'576, 0, 1), "DL: 74.0 MB/s  UL: 1.0 MB/s");
  EXPECT_EQ(FormatScaleLabelIn(13'107'200, 1, 1), "100.0Mbps");
}

TEST_F(GraphPixels, SilentSecondLeavesTheTrayLevel) {
  UseFixedScale();
  G->FormPaint();
  Push(0, 0);
  G->UpdateDisplay();
  EXPECT_TRUE(Levels.empty());
  Push(1, 0);
  G->UpdateDisplay();
  ASSERT_EQ(Levels.size(), 1u);
  EXPECT_EQ(Levels[0], std::make_pair(0u, 109u)) << "little traffic still reports";
  C.TrayView = 2;
  Push(4300, 0);
  G->UpdateDisplay();
  EXPECT_EQ(Levels.size(), 1u) << "another view feeds the tray";
}

TEST_F(GraphPixels, TicksGiveTheSamePixelsAsACompleteRedraw) {
  C.DisplayMode = dmBoth;
  C.ShowMaxValue = true;
  C.GridLines = true;
  C.GridPeriod = 0;
  C.Connection = 15;
  C.CustomKbps = 40;  // full scale 44 kbps = 5632 bytes per second
  FixedFullScale = FullScaleFor(15, C.CustomKbps, C.CustomPlus, 0);
  G->FormPaint();
  for (uint32_t s = 0; s < 40; ++s) {
    Push(s * 301 % 7000, s * 137 % 6000);
    ASSERT_FALSE(G->UpdateDisplay());
  }
  TGraph fresh(C, T);
  fresh.SetClientSize({217, 111});
  fresh.FormPaint();
  EXPECT_EQ(G->Surface(), fresh.Surface());
}

TEST_F(GraphPixels, ScaleLabelRunsUpTheLeftStrip) {
  C.ShowMaxValue = true;
  G->FormPaint();
  const int margin = QFontMetrics(FigureFont()).height() + 2;
  EXPECT_EQ(G->FLeftMargin, margin);
  EXPECT_TRUE(Run(margin, 0, 110, kBlack)) << "the frame starts right of the strip";
  int ink = 0;
  for (int y = 0; y < 111; ++y)
    for (int x = 0; x < margin; ++x) ink += Px(x, y) != Face();
  EXPECT_GT(ink, 10) << "the label is drawn in the strip";
}

TEST_F(GraphPixels, WindowTooSmallForBarsDrawsNoneAndDividesByNothing) {
  UseFixedScale();
  C.DisplayMode = dmBoth;
  for (int i = 0; i < 5; ++i) Push(4000, 4000);
  for (QSize size : {QSize(217, 3), QSize(2, 111), QSize(1, 1), QSize(0, 0)}) {
    G->SetClientSize(size);
    G->FormPaint();
    G->UpdateDisplay();
    EXPECT_EQ(G->BarCount(), 0) << size.width() << "x" << size.height();
  }
  EXPECT_TRUE(Levels.empty());
}

TEST_F(GraphPixels, CounterIndexesOutsideTheBlockAreRefused) {
  G->SetCounters(9, 200);
  EXPECT_EQ(G->FUpIndex, ciWanLanUp);
  EXPECT_EQ(G->FDownIndex, ciWanLanDown);
}

TEST_F(GraphPixels, HoverReadoutOnlyOverDrawnBars) {
  Push(2048, 1024);
  G->FormPaint();
  EXPECT_EQ(G->HoverReadout({kR, 50}), QStringLiteral("DL: 2.0 kB/s  UL: 1.0 kB/s"));
  EXPECT_FALSE(G->HoverReadout({216, 50})) << "right border";
  EXPECT_FALSE(G->HoverReadout({kR - 1, 50})) << "no second stored there";
  EXPECT_FALSE(G->HoverReadout({kR, 5}));
}

}  // namespace
}  // namespace zul
