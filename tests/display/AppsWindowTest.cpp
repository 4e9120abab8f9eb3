// The Applications window on the offscreen platform, with figures of a stand-in source: the
// rows it lists and their icons, the days it asks for, the reason shown when nothing is counted,
// its timers, and the ways in from the statistics window.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeView>
#include <vector>

#include "display/AppsWindow.h"
#include "history/total.h"

namespace zul {
namespace {

void Settle() {
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

TDate ToDate(QDate d) {
  return TDate{std::chrono::year(d.year()), std::chrono::month(static_cast<unsigned>(d.month())),
               std::chrono::day(static_cast<unsigned>(d.day()))};
}

class TFakeApps : public TAppsData {
 public:
  TAppDeltas Totals(TDate from, TDate to) const override {
    Asked.push_back({from, to});
    return Sums;
  }
  TAppDeltas LastSecond() const override { return Last; }
  std::string Unavailable() const override { return Reason; }
  std::pair<std::string, std::string> Describe(const std::string& app) const override {
    if (app == "org.example.Browser") return {"Example Browser", IconFile};
    return {};
  }

  TAppDeltas Sums;
  TAppDeltas Last;
  std::string Reason;
  std::string IconFile;
  mutable std::vector<TDateRange> Asked;
};

class AppsWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.isValid());
    QImage red(32, 32, QImage::Format_ARGB32);
    red.fill(QColor(255, 0, 0));
    const QString file = Dir.filePath(QStringLiteral("browser.png"));
    ASSERT_TRUE(red.save(file));
    Data.IconFile = file.toStdString();
    Data.Sums = {
        {"org.example.Browser", {3 * 1024 * 1024, 1024 * 1024, 0, 0}},
        {"ssh", {0, 0, 512 * 1024, 512 * 1024}},
        {std::string(kSystemApp), {0, 0, 1024 * 1024, 0}},
        {std::string(kOtherUsersApp), {1024 * 1024, 0, 0, 1024 * 1024}},
    };
    Data.Last = {{"ssh", {0, 0, 1024, 1024}}};
    Window = std::make_unique<TFApps>();
    Window->SetData(&Data);
    FApps = Window.get();
  }
  void TearDown() override { Window.reset(); }

  std::vector<std::string> Column(int column) const {
    std::vector<std::string> out;
    for (int r = 0; r < Window->Model()->rowCount(); ++r)
      out.push_back(Window->Model()->CellText(r, column).toStdString());
    return out;
  }

  QTemporaryDir Dir;
  TFakeApps Data;
  std::unique_ptr<TFApps> Window;
};

TEST_F(AppsWindow, ListsEachApplicationWithItsIconAndFollowsOnlyWhileOpen) {
  EXPECT_FALSE(Window->TimersActive()) << "a window never shown wakes nobody";
  EXPECT_TRUE(Data.Asked.empty());

  ShowApplications();
  Settle();
  ASSERT_TRUE(Window->isVisible());
  EXPECT_TRUE(Window->TimersActive());
  const TDate today = ToDate(QDate::currentDate());
  ASSERT_FALSE(Data.Asked.empty());
  EXPECT_EQ(Data.Asked.back(), (TDateRange{today, today})) << "today, the running hour within";

  // The largest total first; amounts in the statistics window's units.
  EXPECT_EQ(Column(acName),
            (std::vector<std::string>{"Example Browser", "Other users", "ssh", "System"}));
  EXPECT_EQ(Column(acInternetDown),
            (std::vector<std::string>{"3.0 MB", "1.0 MB", "0.0 KB", "0.0 KB"}));
  EXPECT_EQ(Column(acLanUp), (std::vector<std::string>{"0.0 KB", "1.0 MB", "512.0 KB", "0.0 KB"}));
  EXPECT_EQ(Column(acTotal), (std::vector<std::string>{"4.0 MB", "2.0 MB", "1.0 MB", "1.0 MB"}));
  EXPECT_EQ(Column(acShare), (std::vector<std::string>{"50.0%", "25.0%", "12.5%", "12.5%"}));
  EXPECT_EQ(Column(acNow),
            (std::vector<std::string>{"0.0 KB/s", "0.0 KB/s", "2.0 KB/s", "0.0 KB/s"}));

  // The desktop entry's icon file, drawn in its row; a generic icon where there is none.
  QTreeView* list = Window->LVApps;
  const QRect cell = list->visualRect(Window->Model()->index(0, acName));
  const QImage shot = list->viewport()->grab().toImage();
  int red = 0;
  for (int x = cell.left(); x < cell.left() + cell.height() && x <= cell.right(); ++x)
    if (shot.pixelColor(x, cell.center().y()) == QColor(255, 0, 0)) ++red;
  EXPECT_GE(red, 4) << "the browser's red icon beside its name";
  EXPECT_FALSE(Window->Model()->RowIcon(2).isNull()) << "ssh has none of its own";
  Data.IconFile = Dir.filePath(QStringLiteral("notes.txt")).toStdString();
  QFile notes(QString::fromStdString(Data.IconFile));
  ASSERT_TRUE(notes.open(QIODevice::WriteOnly) && notes.write("not a picture") > 0);
  notes.close();
  Window->SetData(&Data);  // described again
  EXPECT_EQ(Window->Model()->RowIcon(0).cacheKey(), Window->Model()->RowIcon(2).cacheKey())
      << "a file that is no picture gives the generic icon";

  // The "Now" column follows the second; a click on a header sorts by that column as numbers.
  Data.Last = {{"org.example.Browser", {4096, 1024, 0, 0}}};
  Window->LiveTimer();
  EXPECT_EQ(Window->Model()->CellText(0, acNow), QStringLiteral("5.0 KB/s"));
  EXPECT_EQ(Window->Model()->CellText(2, acNow), QStringLiteral("0.0 KB/s"));
  list->setCurrentIndex(Window->Model()->index(2, acName));  // ssh
  list->sortByColumn(acLanUp, Qt::DescendingOrder);
  EXPECT_EQ(Column(acName),
            (std::vector<std::string>{"Other users", "ssh", "Example Browser", "System"}));
  EXPECT_EQ(list->currentIndex().row(), 1) << "the selection stays with its application";
  list->sortByColumn(acName, Qt::AscendingOrder);
  EXPECT_EQ(Column(acName),
            (std::vector<std::string>{"Example Browser", "Other users", "ssh", "System"}));

  // A closed window wakes nobody.
  Window->close();
  Settle();
  EXPECT_FALSE(Window->TimersActive());
}

TEST_F(AppsWindow, AsksForTheDaysOfEachPeriod) {
  Window->show();
  Settle();
  const QDate today = QDate::currentDate();
  const struct {
    int Preset;
    QDate From, To;
  } cases[] = {
      {apThisWeek, today.addDays(1 - today.dayOfWeek()), today.addDays(7 - today.dayOfWeek())},
      {apThisMonth, QDate(today.year(), today.month(), 1),
       QDate(today.year(), today.month(), today.daysInMonth())},
      {apLast30Days, today.addDays(-29), today},
      {apToday, today, today},
  };
  for (const auto& c : cases) {
    Window->CBRange->setCurrentIndex(c.Preset);
    Window->CBRangeChange();
    EXPECT_EQ(Data.Asked.back(), (TDateRange{ToDate(c.From), ToDate(c.To)})) << c.Preset;
    EXPECT_EQ(Window->DTP1->date(), c.From) << "the pickers show the days";
    EXPECT_EQ(Window->DTP2->date(), c.To);
    EXPECT_FALSE(Window->DTP1->isEnabled());
  }

  // A custom range is read again whenever one of its dates changes.
  Window->CBRange->setCurrentIndex(apCustom);
  Window->CBRangeChange();
  EXPECT_TRUE(Window->DTP1->isEnabled());
  Window->DTP1->setDate(QDate(2026, 3, 1));
  Window->DTP2->setDate(QDate(2026, 2, 10));
  EXPECT_EQ(Data.Asked.back(), (TDateRange{ToDate(QDate(2026, 2, 10)), ToDate(QDate(2026, 3, 1))}))
      << "given backwards, swapped";
}

TEST_F(AppsWindow, SaysWhyNothingIsCountedInTextThatCanBeCopied) {
  Data.Reason =
      "Applications are not counted: the capture helper lacks the capabilities. As root:\n"
      "setcap cap_net_raw,cap_net_admin,cap_bpf,cap_perfmon+eip /usr/lib/zul/zul-capture";
  Data.Sums.clear();
  Data.Last.clear();
  Window->show();
  Settle();
  EXPECT_TRUE(Window->LUnavailable->isVisible());
  EXPECT_EQ(Window->LUnavailable->text().toStdString(), Data.Reason);
  EXPECT_TRUE(Window->LUnavailable->textInteractionFlags() & Qt::TextSelectableByMouse);
  EXPECT_EQ(Window->Model()->rowCount(), 0);
  EXPECT_LT(Window->LUnavailable->geometry().bottom(), Window->LVApps->geometry().top());

  // Counting starts: the reason goes at the next refresh.
  Data.Reason.clear();
  Window->RefreshTimer();
  Settle();
  EXPECT_FALSE(Window->LUnavailable->isVisible());

  // Without a source the window lists nothing and says nothing.
  Window->SetData(nullptr);
  EXPECT_EQ(Window->Model()->rowCount(), 0);
}

TEST_F(AppsWindow, StatisticsWindowOpensIt) {
  TFTotal statistics;
  statistics.show();
  Settle();
  ASSERT_TRUE(statistics.BApplications->isVisible());
  EXPECT_FALSE(Window->isVisible());
  statistics.BApplications->click();
  Settle();
  EXPECT_TRUE(Window->isVisible());
  EXPECT_TRUE(Window->TimersActive());
}

}  // namespace
}  // namespace zul
