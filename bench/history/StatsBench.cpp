// Times the statistics window over a year of hourly records (8760 rows): painting every row of
// the list page by page, as scrolling from top to bottom does, with each row's texts made from the
// query result when it is painted, against the same painting of texts made beforehand (the
// baseline); and the query with its totals. Runs on Qt's offscreen platform unless another one is
// asked for.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QHeaderView>
#include <QImage>
#include <QRadioButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTreeView>
#include <array>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <vector>

#include "history/total.h"

namespace zul {
namespace {
using namespace std::chrono;

constexpr int kHours = 8760;  // 2026 is not a leap year

// The model of the list with all texts made up front: what painting costs without the fetch.
class TPremadeModel : public QAbstractTableModel {
 public:
  explicit TPremadeModel(const TMeterModel& from) {
    for (int r = 0; r < from.rowCount(); ++r) {
      std::array<QString, TMeterModel::kColumnCount> row;
      for (int c = 0; c < TMeterModel::kColumnCount; ++c) row[c] = from.LVMeterData(r, c);
      Texts.push_back(row);
    }
  }
  int rowCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : static_cast<int>(Texts.size());
  }
  int columnCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : TMeterModel::kColumnCount;
  }
  QVariant data(const QModelIndex& index, int role) const override {
    switch (role) {
      case Qt::DisplayRole:
        return Texts[static_cast<std::size_t>(index.row())][index.column()];
      case Qt::TextAlignmentRole:
        return static_cast<int>((index.column() == 0 ? Qt::AlignLeft : Qt::AlignRight) |
                                Qt::AlignVCenter);
      case Qt::BackgroundRole:
        return QBrush(TMeterModel::LVMeterCustomDrawItem(index.row()));
      case Qt::ForegroundRole:
        return QBrush(Qt::black);
      default:
        return {};
    }
  }

 private:
  std::vector<std::array<QString, TMeterModel::kColumnCount>> Texts;
};

struct TYearWindow {
  TYearWindow() {
    if (!Dir.isValid()) throw std::runtime_error("no temporary folder");
    Log.Open(Dir.path().toStdString() + "/");
    std::vector<TPeriodWrite> hours;
    const sys_days first{year(2026) / January / 1};
    for (int h = 0; h < kHours; ++h) {
      TPeriodTotals t{};
      for (int c = 0; c < 8; ++c) t[c] = static_cast<uint64_t>(h * 7919 + c * 104729) % 900000000u;
      hours.push_back({kHourlyBase, static_cast<uint16_t>(h % 24), t, TDate{first + days{h / 24}}});
    }
    Log.WritePeriods(hours);
    W.SetLog(&Log);
    W.CBTarget->setCurrentIndex(tvInternet);
    W.CBWays->setCurrentIndex(lgHourly);
    W.RadioButton2->setChecked(true);
    W.DTP1->setDate(QDate(2026, 1, 1));
    W.DTP2->setDate(QDate(2026, 12, 31));
    W.CBTargetChange();
    if (W.Model()->rowCount() != kHours) throw std::runtime_error("the query lists too few rows");
    W.show();
    QCoreApplication::processEvents();
  }

  // Every page of the list, top to bottom, painted into one page-sized image.
  int PaintAllRows() {
    QWidget* viewport = W.LVMeter->viewport();
    QScrollBar* bar = W.LVMeter->verticalScrollBar();
    const int step = bar->pageStep() > 0 ? bar->pageStep() : 1;
    int pages = 0;
    for (int top = 0;; top += step) {
      bar->setValue(top);
      viewport->render(&Page);
      ++pages;
      if (top >= bar->maximum()) break;
    }
    return pages;
  }

  void UsePremadeTexts() {
    Premade = std::make_unique<TPremadeModel>(*W.Model());
    W.LVMeter->setModel(Premade.get());
    W.LVMeter->header()->resizeSection(0, 200);
    for (int c = 1; c < TMeterModel::kColumnCount; ++c) W.LVMeter->header()->resizeSection(c, 120);
    QCoreApplication::processEvents();
  }

  QTemporaryDir Dir;
  TTrafficLog Log;
  TFTotal W;
  std::unique_ptr<TPremadeModel> Premade;
  QImage Page{QSize(620, 320), QImage::Format_ARGB32_Premultiplied};
};

// The list as the window has it: each painted row's texts made from the records of the query.
void BM_PaintAllRowsFromQuery(benchmark::State& state) {
  TYearWindow y;
  int pages = 0;
  for (auto _ : state) pages = y.PaintAllRows();
  state.counters["pages"] = pages;
  state.counters["rows/s"] =
      benchmark::Counter(kHours, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_PaintAllRowsFromQuery)->Unit(benchmark::kMillisecond);

// Baseline: the same view and rows with every text made before the timing starts.
void BM_PaintAllRowsPremade(benchmark::State& state) {
  TYearWindow y;
  y.UsePremadeTexts();
  int pages = 0;
  for (auto _ : state) pages = y.PaintAllRows();
  state.counters["pages"] = pages;
  state.counters["rows/s"] =
      benchmark::Counter(kHours, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_PaintAllRowsPremade)->Unit(benchmark::kMillisecond);

// A click on "Start": the select over the year, the list's reset and the totals.
void BM_QueryAndTotals(benchmark::State& state) {
  TYearWindow y;
  for (auto _ : state) y.W.CBTargetChange();
}
BENCHMARK(BM_QueryAndTotals)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zul

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
