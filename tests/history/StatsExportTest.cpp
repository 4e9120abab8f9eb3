// The statistics window's "Export rows…": the rows listed, to the file the user picks, in the
// very text that the command-line export prints.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QMenu>
#include <QThread>
#include <QTreeView>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "history/Export.h"
#include "history/LogTestSupport.h"
#include "history/total.h"
#include "platform/ErrorReport.h"

namespace zul {
namespace {

std::string ReadBytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class StatsExport : public ::testing::Test {
 protected:
  void SetUp() override {
    SetErrorSink([this](const std::string& text) { Errors.push_back(text); });
    Log.Open(Dir.Path() + "db/");
    for (int d = 0; d < 3; ++d) {
      TPeriodTotals t{};
      t[ciWanDown] = t[ciWanLanDown] = 1000u * static_cast<uint64_t>(d + 1);
      t[ciWanUp] = t[ciWanLanUp] = 77;
      const TDate date{std::chrono::sys_days{test::Date(2026, 12, 30)} + std::chrono::days{d}};
      for (const TPeriodWrite& p : DayPeriods(date, t))
        Log.WritePeriod(p.FlagBase, p.Hour, p.Totals, p.Date);
    }
    W.SetLog(&Log);
    W.ChooseExportFile = [this](QWidget*, const QString& suggested) {
      Suggested = suggested;
      return Answer;
    };
    W.ShowStatistics();
    W.CBTime->setCurrentIndex(tpAllTime);
    Pick(W.CBWays, lgDaily);
    Pick(W.CBTarget, tvInternet);
  }
  void TearDown() override {
    SetErrorSink(nullptr);
    ClearError("stats.export");
  }
  // The answer comes from the log's reader, on a thread of its own.
  void Pick(QComboBox* box, int index) {
    box->setCurrentIndex(index);
    Q_EMIT box->activated(index);
    for (int i = 0; i < 500 && W.QueryPending(); ++i) {
      QCoreApplication::processEvents();
      QThread::msleep(10);
    }
    EXPECT_FALSE(W.QueryPending());
  }

  test::TTempDir Dir;
  TTrafficLog Log;
  TFTotal W;
  QString Answer;
  QString Suggested;
  std::vector<std::string> Errors;
};

TEST_F(StatsExport, TheListsContextMenuWritesTheListedRowsAsTheCommandLineDoes) {
  ASSERT_EQ(W.LVMeter->model()->rowCount(), 3);
  EXPECT_EQ(W.LVMeter->contextMenuPolicy(), Qt::CustomContextMenu);
  Q_EMIT W.LVMeter->customContextMenuRequested(QPoint(20, 20));
  QCoreApplication::processEvents();
  EXPECT_TRUE(W.PopupMenu1->isVisible());
  ASSERT_EQ(W.PopupMenu1->actions().size(), 1);
  EXPECT_EQ(W.PopupMenu1->actions()[0]->text(), QStringLiteral("Export rows\u2026"));
  W.PopupMenu1->hide();

  const std::string file = Dir.Path() + "rows.csv";
  Answer = QString::fromStdString(file);
  W.NExportRows->trigger();
  EXPECT_EQ(Suggested, QStringLiteral("traffic-daily.csv"));
  std::ostringstream cli;
  WriteExport(cli, TExportFormat::Csv,
              ReadLogFile(Dir.Path() + "db/bw.DB", {lgDaily, tvInternet, {}, {}}));
  EXPECT_EQ(ReadBytes(file), cli.str());
  EXPECT_EQ(ReadBytes(file),
            "date,hour,view,download_bytes,upload_bytes,so_far\r\n"
            "2026-12-30,,Internet,1000,77,\r\n"
            "2026-12-31,,Internet,2000,77,\r\n"
            "2027-01-01,,Internet,3000,77,\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Another choice in the lists changes what the next export writes.
  Pick(W.CBWays, lgYearly);
  W.NExportRows->trigger();
  EXPECT_EQ(Suggested, QStringLiteral("traffic-yearly.csv"));
  EXPECT_EQ(ReadBytes(file),
            "date,hour,view,download_bytes,upload_bytes,so_far\r\n"
            "2026-12-31,,Internet,3000,154,\r\n"
            "2027-12-31,,Internet,3000,77,\r\n");
  EXPECT_TRUE(Errors.empty());
}

TEST_F(StatsExport, CancellingWritesNothingAndAFailureIsReportedWithTheWindowIntact) {
  Answer.clear();
  W.NExportRows->trigger();
  EXPECT_FALSE(std::filesystem::exists(Dir.Path() + "rows.csv"));
  EXPECT_TRUE(Errors.empty());

  Answer = QString::fromStdString(Dir.Path() + "no-such-folder/rows.csv");
  W.NExportRows->trigger();
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_NE(Errors[0].find("no-such-folder"), std::string::npos) << Errors[0];
  EXPECT_EQ(W.LVMeter->model()->rowCount(), 3);
}

}  // namespace
}  // namespace zul
