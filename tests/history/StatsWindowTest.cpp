// The statistics window over a traffic log filled through the log's own writes across a year end:
// what it lists and totals, when it queries, how it looks, and that a failed query changes nothing.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QDateEdit>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QThread>
#include <QTreeView>
#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "history/LogTestSupport.h"
#include "history/total.h"
#include "platform/ErrorReport.h"

namespace zul {
namespace {

using TRow = std::array<std::string, 4>;

constexpr uint64_t kKB = 1024;

// Hour k of the four around the year end: Internet 1536 KB up and 512 KB down times (k + 1),
// LAN 100 and 300 KB times (k + 1), all PCs 7 and 9 KB times (k + 1).
TPeriodTotals HourTotals(int k) {
  const uint64_t n = static_cast<uint64_t>(k + 1);
  TPeriodTotals t{};
  t[ciLanUp] = 100 * kKB * n;
  t[ciLanDown] = 300 * kKB * n;
  t[ciWanUp] = 1536 * kKB * n;
  t[ciWanDown] = 512 * kKB * n;
  t[ciWanLanUp] = t[ciLanUp] + t[ciWanUp];
  t[ciWanLanDown] = t[ciLanDown] + t[ciWanDown];
  t[ciAllPcsUp] = 7 * kKB * n;
  t[ciAllPcsDown] = 9 * kKB * n;
  t[8] = t[9] = 999 * kKB;  // reserved slots never reach the table
  return t;
}

TPeriodTotals Sum(const TPeriodTotals& a, const TPeriodTotals& b) {
  TPeriodTotals s{};
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = a[i] + b[i];
  return s;
}

// Month/day/year dates from the window's creation on, the C locale again afterwards.
struct TUsLocale {
  TUsLocale() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
  ~TUsLocale() { QLocale::setDefault(QLocale::c()); }
};

class StatsWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    SetErrorSink([this](const std::string& text) { Errors.push_back(text); });
    Log.Open(Dir.Path());
    // 22:00 and 23:00 on Thursday 31 December 2026, 0:00 and 1:00 on Friday 1 January 2027,
    // then both days closed as the sampler closes them.
    const TDate days[2] = {test::Date(2026, 12, 31), test::Date(2027, 1, 1)};
    const int hours[4] = {22, 23, 0, 1};
    for (int k = 0; k < 4; ++k)
      Log.WritePeriod(kHourlyBase, static_cast<uint16_t>(hours[k]), HourTotals(k), days[k / 2]);
    for (int d = 0; d < 2; ++d)
      for (const TPeriodWrite& p :
           DayPeriods(days[d], Sum(HourTotals(2 * d), HourTotals(2 * d + 1))))
        Log.WritePeriod(p.FlagBase, p.Hour, p.Totals, p.Date);
    W.SetLog(&Log);
  }

  void TearDown() override {
    SetErrorSink(nullptr);
    ClearError("stats.query");
  }

  static void Settle() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
  }

  // The answer of the log's reader, which reads on a thread of its own.
  void Answer() {
    for (int i = 0; i < 500 && W.QueryPending(); ++i) {
      QCoreApplication::processEvents();
      QThread::msleep(10);
    }
    EXPECT_FALSE(W.QueryPending());
  }

  // A choice of the user in one of the lists.
  void Pick(QComboBox* box, int index) {
    box->setCurrentIndex(index);
    Q_EMIT box->activated(index);
    Answer();
  }

  void ShowCustomRange(QDate from, QDate to) {
    W.ShowStatistics();
    Settle();
    W.RadioButton2->click();
    W.DTP1->setDate(from);
    W.DTP2->setDate(to);
  }

  std::vector<TRow> Rows() const {
    std::vector<TRow> rows;
    const QAbstractItemModel* m = W.LVMeter->model();
    for (int r = 0; r < m->rowCount(); ++r) {
      TRow row;
      for (int c = 0; c < 4; ++c) row[c] = m->data(m->index(r, c)).toString().toStdString();
      rows.push_back(row);
    }
    return rows;
  }

  TRow Totals() const {
    return {W.Label2->text().toStdString(), W.LDn->text().toStdString(),
            W.LUp->text().toStdString(), W.LSum->text().toStdString()};
  }

  TUsLocale Locale;
  test::TTempDir Dir;
  TTrafficLog Log;
  TFTotal W;
  std::vector<std::string> Errors;
};

TEST_F(StatsWindow, OpeningChoosesHourlyAndTheLastSevenDaysButRunsNoQuery) {
  EXPECT_FALSE(W.isVisible()) << "created hidden";
  W.ShowStatistics();
  Settle();
  EXPECT_TRUE(W.isVisible());
  EXPECT_EQ(W.windowTitle(), QStringLiteral("Statistics"));
  EXPECT_EQ(W.CBTarget->currentIndex(), -1);
  EXPECT_EQ(W.CBWays->currentText(), QStringLiteral("Hourly"));
  EXPECT_EQ(W.CBTime->currentText(), QStringLiteral("Last 7 days"));
  const QDate today = QDate::currentDate();
  EXPECT_EQ(W.DTP1->date(), today.addDays(-7));
  EXPECT_EQ(W.DTP2->date(), today);
  EXPECT_TRUE(W.CBTime->isEnabled());
  EXPECT_FALSE(W.DTP1->isEnabled());
  EXPECT_FALSE(W.DTP2->isEnabled());
  EXPECT_EQ(W.LVMeter->model()->rowCount(), 0);
  EXPECT_EQ(W.LastQuery(), "");

  // Without a view there is nothing to ask for, even on "Start".
  W.BStart->click();
  Answer();
  Pick(W.CBWays, lgDaily);
  EXPECT_EQ(W.LastQuery(), "");
  EXPECT_EQ(W.LVMeter->model()->rowCount(), 0);

  // A preset follows the date of the moment and sets the pickers.
  Pick(W.CBTime, tpYesterday);
  Pick(W.CBTarget, tvInternetLan);
  const QString yesterday = today.addDays(-1).toString(QStringLiteral("MM/dd/yyyy"));
  EXPECT_EQ(W.LastQuery(),
            "select * from bw.DB where Flag=16 and CDate=\"" + yesterday.toStdString() + "\";");
  EXPECT_EQ(W.DTP1->date(), today.addDays(-1));
  EXPECT_EQ(W.DTP2->date(), today.addDays(-1));
  EXPECT_TRUE(Errors.empty());
}

TEST_F(StatsWindow, ListsAndTotalsWhatTheLogHoldsAcrossAYearEnd) {
  ShowCustomRange(QDate(2027, 1, 2), QDate(2026, 12, 30));  // given backwards
  EXPECT_FALSE(W.CBTime->isEnabled());
  EXPECT_TRUE(W.DTP1->isEnabled());
  Pick(W.CBTarget, tvInternet);
  EXPECT_EQ(W.DTP1->date(), QDate(2026, 12, 30)) << "swapped in the pickers";
  EXPECT_EQ(W.DTP2->date(), QDate(2027, 1, 2));
  EXPECT_EQ(
      W.LastQuery(),
      "select * from bw.DB where Flag=1 and CDate>=\"12/30/2026\" and CDate<=\"01/02/2027\";");

  const TRow allTotals = {"Totals", "5.0 MB", "15.0 MB", "20.0 MB"};
  const struct {
    int Grouping;
    bool AllTime;  // otherwise the range above
    std::vector<TRow> Rows;
  } cases[] = {
      {lgHourly,
       false,
       {{"12/31/2026  22:00 - 22:59", "512.0 KB", "1.5 MB", "2.0 MB"},
        {"12/31/2026  23:00 - 23:59", "1.0 MB", "3.0 MB", "4.0 MB"},
        {"1/1/2027  00:00 - 00:59", "1.5 MB", "4.5 MB", "6.0 MB"},
        {"1/1/2027  01:00 - 01:59", "2.0 MB", "6.0 MB", "8.0 MB"}}},
      {lgDaily,
       false,
       {{"12/31/2026", "1.5 MB", "4.5 MB", "6.0 MB"},
        {"1/1/2027", "3.5 MB", "10.5 MB", "14.0 MB"}}},
      {lgWeekly, true, {{"12/28/2026 - 1/3/2027", "5.0 MB", "15.0 MB", "20.0 MB"}}},
      {lgMonthly,
       true,
       {{"2026-12", "1.5 MB", "4.5 MB", "6.0 MB"}, {"2027-1", "3.5 MB", "10.5 MB", "14.0 MB"}}},
      {lgYearly,
       true,
       {{"2026", "1.5 MB", "4.5 MB", "6.0 MB"}, {"2027", "3.5 MB", "10.5 MB", "14.0 MB"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(kGroupingNames[c.Grouping]);
    if (c.AllTime && !W.RadioButton1->isChecked()) {
      W.RadioButton1->click();
      EXPECT_TRUE(W.CBTime->isEnabled());
      EXPECT_FALSE(W.DTP2->isEnabled());
      W.CBTime->setCurrentIndex(tpAllTime);
    }
    Pick(W.CBWays, c.Grouping);
    EXPECT_EQ(Rows(), c.Rows);
    EXPECT_EQ(Totals(), allTotals);
  }
  EXPECT_EQ(W.LastQuery(), "select * from bw.DB where Flag=65;");

  // Another view: LAN, 100 and 300 KB an hour times 1 to 4.
  Pick(W.CBTarget, tvLan);
  EXPECT_EQ(W.LastQuery(), "select * from bw.DB where Flag=66;");
  EXPECT_EQ(Totals(), (TRow{"Totals", "2.9 MB", "1000.0 KB", "3.9 MB"}));
  EXPECT_TRUE(Errors.empty());
}

TEST_F(StatsWindow, AFailedQueryKeepsTheListAndTheTotalsWithoutAMessage) {
  ShowCustomRange(QDate(2026, 12, 30), QDate(2027, 1, 2));
  Pick(W.CBTarget, tvInternet);
  const std::vector<TRow> rows = Rows();
  const TRow totals = Totals();
  const std::string sql = W.LastQuery();
  ASSERT_EQ(rows.size(), 4u);

  Log.Close();  // the layer now throws on every select
  W.BStart->click();
  Answer();
  Pick(W.CBWays, lgDaily);
  EXPECT_EQ(Rows(), rows);
  EXPECT_EQ(Totals(), totals);
  EXPECT_EQ(W.LastQuery(), sql);

  // An empty result is a success: the list empties and the totals read zero.
  Log.Open(Dir.Path());
  W.DTP1->setDate(QDate(2020, 1, 1));
  W.DTP2->setDate(QDate(2020, 1, 2));
  W.BStart->click();
  Answer();
  EXPECT_TRUE(Rows().empty());
  EXPECT_EQ(Totals(), (TRow{"Totals", "0.0 KB", "0.0 KB", "0.0 KB"}));
  EXPECT_TRUE(Errors.empty()) << Errors.front();
}

TEST_F(StatsWindow, RowsAlternateLightBlueAndWhiteAndTheSelectedOneIsNavy) {
  ShowCustomRange(QDate(2026, 12, 30), QDate(2027, 1, 2));
  Pick(W.CBTarget, tvInternet);
  ASSERT_EQ(W.LVMeter->model()->rowCount(), 4);
  W.LVMeter->selectionModel()->select(
      W.LVMeter->model()->index(1, 0),
      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  Settle();
  const QImage shot = W.LVMeter->viewport()->grab().toImage();
  const qreal dpr = shot.devicePixelRatio();
  auto rowRect = [&](int row, int column) {
    const QRect r = W.LVMeter->visualRect(W.LVMeter->model()->index(row, column));
    return QRect((r.topLeft() * dpr), (r.size() * dpr));
  };
  auto countPixels = [&](QRect r, auto test) {
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
      for (int x = r.left(); x <= r.right(); ++x) n += test(QColor(shot.pixel(x, y))) ? 1 : 0;
    return n;
  };
  const QRgb expected[4] = {qRgb(224, 224, 255), qRgb(0, 0, 128), qRgb(224, 224, 255),
                            qRgb(255, 255, 255)};
  for (int row = 0; row < 4; ++row) {
    // The left of an amount cell is background: the amounts are right-aligned.
    const QRect cell = rowRect(row, TMeterModel::colDownload);
    EXPECT_EQ(shot.pixel(cell.left() + 3, cell.center().y()) & 0xFFFFFF, expected[row] & 0xFFFFFF)
        << "row " << row;
    EXPECT_EQ(
        shot.pixel(rowRect(row, TMeterModel::colPeriod).right() - 2, cell.center().y()) & 0xFFFFFF,
        expected[row] & 0xFFFFFF)
        << "row " << row << ", period column";
  }
  const QRect selected = rowRect(1, TMeterModel::colPeriod);
  EXPECT_GT(countPixels(selected, [](QColor c) { return c.lightness() > 240; }), 10)
      << "white text on navy";
  const QRect plain = rowRect(0, TMeterModel::colPeriod);
  EXPECT_GT(countPixels(plain, [](QColor c) { return c.lightness() < 60; }), 10) << "black text";
  const QRect amount = rowRect(0, TMeterModel::colSum);
  const QRect rightHalf(amount.center().x(), amount.top(), amount.width() / 2, amount.height());
  EXPECT_GT(countPixels(rightHalf, [](QColor c) { return c.lightness() < 60; }),
            countPixels(QRect(amount.topLeft(), rightHalf.size()),
                        [](QColor c) { return c.lightness() < 60; }))
      << "amounts sit at the right of their cells";
}

TEST_F(StatsWindow, IsAFixedCentredDialogWithTheTotalsUnderTheirColumns) {
  W.ShowStatistics();
  Settle();
  EXPECT_EQ(W.size(), QSize(643, 426));
  EXPECT_EQ(W.minimumSize(), W.maximumSize()) << "fixed size";
  const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
  EXPECT_LE((W.frameGeometry().center() - centre).manhattanLength(), 4) << "centred on the screen";
  for (const QDateEdit* dtp : {W.DTP1, W.DTP2}) {
    EXPECT_TRUE(dtp->calendarPopup());
    EXPECT_EQ(dtp->displayFormat(), QLocale().dateFormat(QLocale::LongFormat));
  }

  const QHeaderView* header = W.LVMeter->header();
  const char* names[4] = {"Period", "Download", "Upload", "Sum"};
  const int widths[4] = {200, 120, 120, 120};
  for (int c = 0; c < 4; ++c) {
    EXPECT_EQ(header->sectionSize(c), widths[c]) << names[c];
  }
  // Each total sits right-aligned under its column, below the list.
  QLabel* totals[3] = {W.LDn, W.LUp, W.LSum};
  for (int i = 0; i < 3; ++i) {
    const int column = TMeterModel::colDownload + i;
    const int left =
        W.LVMeter->viewport()->mapTo(&W, QPoint(header->sectionViewportPosition(column), 0)).x();
    const QRect g = totals[i]->geometry();
    EXPECT_EQ(g.width(), 104);
    EXPECT_GE(g.left(), left) << names[column];
    EXPECT_LE(g.right(), left + 120) << names[column];
    EXPECT_GE(g.right(), left + 120 - 8) << names[column];
    EXPECT_GT(g.top(), W.LVMeter->geometry().bottom());
    EXPECT_LE(g.bottom(), W.height());
    EXPECT_TRUE(totals[i]->alignment().testFlag(Qt::AlignRight));
  }
}

TEST_F(StatsWindow, ClosingOnlyHidesAndShowingAgainKeepsTheList) {
  ShowCustomRange(QDate(2026, 12, 30), QDate(2027, 1, 2));
  Pick(W.CBTarget, tvInternet);
  QPointer<TFTotal> alive(&W);
  EXPECT_TRUE(W.close());
  Settle();
  EXPECT_FALSE(W.isVisible());
  ASSERT_TRUE(alive);
  const std::string sql = W.LastQuery();
  W.ShowStatistics();
  Settle();
  EXPECT_TRUE(W.isVisible());
  EXPECT_EQ(W.LastQuery(), sql) << "no query on showing";
  EXPECT_EQ(Rows().size(), 4u);
  EXPECT_TRUE(W.RadioButton2->isChecked());
}

TEST_F(StatsWindow, ALockedLogNeverHoldsTheDesktopAndTheListFollowsOnceItIsFree) {
  using namespace std::chrono;
  ShowCustomRange(QDate(2026, 12, 30), QDate(2027, 1, 2));
  Pick(W.CBTarget, tvInternet);
  const std::vector<TRow> hourly = Rows();
  ASSERT_EQ(hourly.size(), 4u);
  auto lock = std::make_unique<test::TForeignLock>(Log.FilePath(), "BEGIN EXCLUSIVE");

  const auto start = steady_clock::now();
  W.CBWays->setCurrentIndex(lgDaily);
  Q_EMIT W.CBWays->activated(lgDaily);
  while (W.LState->text().isEmpty() && steady_clock::now() - start < seconds(5))
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  EXPECT_LT(steady_clock::now() - start, milliseconds(100)) << "the busy state comes at once";
  EXPECT_EQ(W.LState->text(), QStringLiteral("log busy, retrying"));
  EXPECT_EQ(Rows(), hourly) << "the list keeps what it showed";
  EXPECT_TRUE(W.QueryPending());

  lock.reset();
  Answer();
  EXPECT_EQ(W.LState->text(), QString());
  EXPECT_EQ(Rows(), (std::vector<TRow>{{"12/31/2026", "1.5 MB", "4.5 MB", "6.0 MB"},
                                       {"1/1/2027", "3.5 MB", "10.5 MB", "14.0 MB"}}));
  EXPECT_TRUE(Errors.empty());
}

TEST_F(StatsWindow, TheRunningHourDayAndYearCountSoFarAndFollowTheCounters) {
  // Hour 2 of 1 January 2027 is running: 512 KB of Internet download so far.
  TPeriodTotals running{};
  W.Unlogged = [&running] {
    const TDate day = test::Date(2027, 1, 1);
    std::vector<TPeriodWrite> periods{{kHourlyBase, 2, running, day}};
    for (const TPeriodWrite& p : DayPeriods(day, running)) periods.push_back(p);
    return periods;
  };
  running[ciWanDown] = 512 * kKB;
  ShowCustomRange(QDate(2026, 12, 30), QDate(2027, 1, 2));
  Pick(W.CBTarget, tvInternet);
  EXPECT_EQ(Rows().back(),
            (TRow{"1/1/2027  02:00 - 02:59 (so far)", "512.0 KB", "0.0 KB", "512.0 KB"}));
  ASSERT_EQ(Rows().size(), 5u);
  W.LVMeter->setCurrentIndex(W.LVMeter->model()->index(4, 0));

  // A second later the counters have moved on; the list follows without losing its place.
  running[ciWanDown] = 1024 * kKB;
  W.RefreshTimer();
  EXPECT_EQ(Rows().back(),
            (TRow{"1/1/2027  02:00 - 02:59 (so far)", "1.0 MB", "0.0 KB", "1.0 MB"}));
  EXPECT_EQ(W.LVMeter->currentIndex().row(), 4) << "the selection stays";
  EXPECT_EQ(Totals(), (TRow{"Totals", "6.0 MB", "15.0 MB", "21.0 MB"}));

  // The running part adds to the day and the year the table holds, marked as running.
  Pick(W.CBWays, lgDaily);
  EXPECT_EQ(Rows(), (std::vector<TRow>{{"12/31/2026", "1.5 MB", "4.5 MB", "6.0 MB"},
                                       {"1/1/2027 (so far)", "4.5 MB", "10.5 MB", "15.0 MB"}}));
  W.RadioButton1->click();
  W.CBTime->setCurrentIndex(tpAllTime);
  Pick(W.CBWays, lgYearly);
  EXPECT_EQ(Rows().back(), (TRow{"2027 (so far)", "4.5 MB", "10.5 MB", "15.0 MB"}));
  EXPECT_TRUE(Errors.empty());
}

}  // namespace
}  // namespace zul
