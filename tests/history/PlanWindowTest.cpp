// The data plan on the desktop, on Qt's offscreen platform: the monitor's alerts and tray tip,
// the chart's pixels and the options page's checks.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <stdexcept>

#include "history/LogTestSupport.h"
#include "history/PlanWatch.h"
#include "history/TrafficChart.h"
#include "settings/PlanPage.h"

namespace zul {
namespace {
using test::Date;

constexpr uint64_t GB = 1'000'000'000ULL;

// The monitor as a start makes it: a plan of 1 GB from today, 900 MB of "Internet" download
// counted today and not in the log yet.
struct TMonitor {
  explicit TMonitor(const std::string& stateFile) {
    PlanWatch = &Watch;
    Watch.Log = [] { return static_cast<TTrafficLog*>(nullptr); };
    Watch.Unlogged = [] {
      TPeriodTotals t{};
      t[ciWanDown] = t[ciWanLanDown] = 900'000'000;
      return std::vector<TPeriodWrite>{DayPeriods(Date(2026, 7, 14), t)[0]};
    };
    Watch.Clock = [] { return TPlanTime{Date(2026, 7, 14), 18 * 3600}; };
    Watch.StatePath = stateFile;
    Watch.OnAlerts = [this](const std::vector<int>& levels, const TPlanStatus&) {
      Fired.insert(Fired.end(), levels.begin(), levels.end());
    };
    TPlanSettings s;
    s.Enabled = true;
    s.CapBytes = GB;
    s.CycleDay = 14;
    Watch.SetSettings(s);
  }
  ~TMonitor() { PlanWatch = nullptr; }
  TPlanWatch Watch;
  std::vector<int> Fired;
};

TEST(PlanWatch, NinetyPercentFiresEightyAndNinetyOnceAndNotAfterARestart) {
  test::TTempDir tmp;
  const std::string state = tmp.Path() + kPlanStateFile;
  {
    TMonitor m(state);
    m.Watch.Tick();
    m.Watch.Tick();
    EXPECT_EQ(m.Fired, (std::vector<int>{80, 90}));
    ASSERT_TRUE(m.Watch.Status());
    EXPECT_EQ(m.Watch.Status()->UsedBytes, 900'000'000u);
    // The plan's line reads whole under the readout, and the tip stays within the tray's 63.
    for (const QString& readout :
         {QStringLiteral("Dn: 12.0 kB/s Up: 1.5 kB/s"), QString(63, u'x'), QString()}) {
      const QString tip = TrayTipWithPlan(readout, 63);
      EXPECT_LE(tip.size(), 63) << tip.toStdString();
      EXPECT_TRUE(tip.endsWith(QStringLiteral("Data plan: 90 % used"))) << tip.toStdString();
    }
  }
  TMonitor restarted(state);
  restarted.Watch.Tick();
  EXPECT_EQ(restarted.Fired, std::vector<int>{});
  // Without a plan the tip is the readout alone.
  restarted.Watch.SetSettings(TPlanSettings{});
  EXPECT_EQ(TrayTipWithPlan(QStringLiteral("Dn"), 63), QStringLiteral("Dn"));
}

TEST(TrafficChart, BarsOfDaysWithTrafficShowTheDownloadColour) {
  TChartData d;
  d.Download = QColor(255, 0, 0);
  d.Upload = QColor(0, 128, 0);
  const std::vector<double> kb = {500, 0, 900, 300, 0, 0, 700};
  for (std::size_t i = 0; i < kb.size(); ++i)
    d.Rows.push_back({Date(2026, 7, 1 + static_cast<int>(i)), kDailyBase + tvInternet, 0,
                      kb[i] / 10, kb[i], false});
  d.CapBytes = 2 * 1024 * 1000;  // 2000 KB, above every bar
  const QImage image = TrafficChartImage(d, QSize(640, 300));
  const QRect plot = ChartPlotArea(image.rect());
  for (std::size_t i = 0; i < kb.size(); ++i) {
    const QRect slot = ChartBarSlot(plot, static_cast<int>(i), static_cast<int>(kb.size()));
    const QColor bottom = image.pixelColor(slot.center().x(), plot.bottom() - 1);
    if (kb[i] > 0)
      EXPECT_EQ(bottom, d.Download) << "day " << i;
    else
      EXPECT_NE(bottom, d.Download) << "day " << i;
    // Upload sits on top of the download, in its own colour.
    int upload = 0;
    int lastDownload = -1;
    int firstUpload = -1;
    for (int y = plot.bottom(); y >= plot.top(); --y) {
      const QColor c = image.pixelColor(slot.center().x(), y);
      if (c == d.Download) lastDownload = y;
      if (c == d.Upload) {
        ++upload;
        if (firstUpload < 0) firstUpload = y;
      }
    }
    EXPECT_EQ(upload > 0, kb[i] > 0) << "day " << i;
    if (kb[i] > 0) {
      EXPECT_EQ(firstUpload, lastDownload - 1) << "day " << i;
    }
  }
}

TEST(PlanPage, BadInputGetsAMessageAndNothingIsSaved) {
  TPlanPage page;
  TPlanSettings saved;
  int saves = 0;
  page.Current = [&] { return saved; };
  page.Save = [&](const TPlanSettings& s) {
    ++saves;
    saved = s;
  };
  struct TCase {
    const char* Cap;
    int Unit;
    const char* Day;
    const char* Alerts;
    const char* Problem;  // part of the message, "" when it saves
  };
  const std::vector<TCase> cases = {
      {"0", 1, "14", "80,90,100", "larger than zero"},
      {"1000001", 2, "14", "80,90,100", "1 EB"},
      {"lots", 1, "14", "80,90,100", "not a number"},
      {"1", 1, "0", "80,90,100", "from 1 to 31"},
      {"1", 1, "32", "80,90,100", "from 1 to 31"},
      {"1", 1, "14", "80,abc", "Alert levels"},
      {"1.5", 1, "31", "100,80", ""},
  };
  for (const TCase& c : cases) {
    page.CBPlanEnabled->setChecked(true);
    page.EPlanCap->setText(QString::fromUtf8(c.Cap));
    page.CBPlanUnit->setCurrentIndex(c.Unit);
    page.EPlanDay->setText(QString::fromUtf8(c.Day));
    page.EPlanAlerts->setText(QString::fromUtf8(c.Alerts));
    const int before = saves;
    const QString message = page.Apply();
    EXPECT_TRUE(message.contains(QString::fromUtf8(c.Problem)))
        << c.Cap << ": " << message.toStdString();
    EXPECT_EQ(saves, before + (*c.Problem == '\0' ? 1 : 0)) << c.Cap;
  }
  EXPECT_EQ(saved.CapBytes, 1'500'000'000u);
  EXPECT_EQ(saved.CycleDay, 31);
  EXPECT_EQ(saved.AlertPercents, (std::vector<int>{80, 100}));
  // The same plan again saves nothing; a save that fails says why.
  EXPECT_EQ(page.Apply(), QString());
  EXPECT_EQ(saves, 1);
  page.Save = [](const TPlanSettings&) { throw std::runtime_error("zul.ini cannot be read"); };
  page.EPlanDay->setText(QStringLiteral("5"));
  EXPECT_EQ(page.Apply(), QStringLiteral("zul.ini cannot be read"));
  page.Load(saved);
  EXPECT_EQ(page.EPlanCap->text(), QStringLiteral("1.5"));
  EXPECT_EQ(page.CBPlanUnit->currentText(), QStringLiteral("GB"));
}

}  // namespace
}  // namespace zul
