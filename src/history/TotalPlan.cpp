// The statistics window's data-plan block: the plan's bar over the list, the chart that can take
// the list's place, and the "Billing periods" grouping.
#include <QComboBox>
#include <QHBoxLayout>
#include <QPainter>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>
#include <utility>

#include "history/DataPlan.h"
#include "history/LogQuery.h"
#include "history/PlanWatch.h"
#include "history/total.h"
#include "settings/CfgF.h"

namespace zul {
namespace {

constexpr int kPlanBarHeight = 20;

// A widget that paints with a function of the window's.
class TPaintBox : public QWidget {
 public:
  TPaintBox(QWidget* parent, std::function<void(QPainter&, const QRect&)> paint)
      : QWidget(parent), FPaint(std::move(paint)) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    FPaint(p, rect());
  }

 private:
  std::function<void(QPainter&, const QRect&)> FPaint;
};

}  // namespace

void TFTotal::BuildPlanBlock(QVBoxLayout* layout, QHBoxLayout* lists) {
  PPlanBar = new TPaintBox(this, [](QPainter& p, const QRect& r) {
    if (PlanWatch != nullptr && PlanWatch->Status())
      PaintPlanBar(p, r, *PlanWatch->Status(), ChartColor(Cfg.ColorDownload));
  });
  PPlanBar->setObjectName(QStringLiteral("PPlanBar"));
  PPlanBar->setFixedHeight(kPlanBarHeight);
  PPlanBar->setToolTip(QStringLiteral("The data plan's cycle: used so far, and the forecast"));
  PPlanBar->hide();
  layout->insertWidget(layout->indexOf(LVMeter), PPlanBar);

  PChart = new TPaintBox(
      this, [this](QPainter& p, const QRect& r) { PaintTrafficChart(p, r, ChartData()); });
  PChart->setObjectName(QStringLiteral("PChart"));
  PChart->hide();
  layout->insertWidget(layout->indexOf(LVMeter) + 1, PChart, 1);

  BChart = new QPushButton(QStringLiteral("Chart"), this);
  BChart->setObjectName(QStringLiteral("BChart"));
  BChart->setCheckable(true);
  BChart->setToolTip(QStringLiteral("Show the rows as a chart"));
  lists->insertWidget(lists->indexOf(BStart), BChart);
  connect(BChart, &QPushButton::toggled, this, [this] { BChartClick(); });
}

void TFTotal::BChartClick() {
  const bool chart = BChart->isChecked();
  LVMeter->setVisible(!chart);
  PChart->setVisible(chart);
  PChart->update();
}

std::optional<std::string> TFTotal::GroupingQueryText() const {
  const int grouping = CBWays->currentIndex();
  if (grouping != lgBillingPeriods) return QueryText(CBTarget->currentIndex(), grouping, FPeriod);
  // Every cycle the period touches, whole: its days, added up per cycle when listed.
  TPeriod p = FPeriod;
  if (p.PeriodMode == pmOneDate) p = {pmRange, p.PeriodStart, p.PeriodStart};
  if (p.PeriodMode == pmRange) {
    const int day = BillingCycleDay();
    p.PeriodStart = CycleOf(p.PeriodStart, day).Start;
    p.PeriodEnd = CycleOf(p.PeriodEnd, day).End;
  }
  return QueryText(CBTarget->currentIndex(), lgDaily, p);
}

std::vector<TLogRecord> TFTotal::GroupedRows(std::vector<TLogRecord> rows) const {
  if (CBWays->currentIndex() != lgBillingPeriods || FLastQuery.empty()) return rows;
  // Daily records only: until a new answer comes, rows of another grouping stay as they were.
  if (ParseLogQuery(FLastQuery).Flag / 16 != lgDaily) return rows;
  return GroupByCycles(rows, BillingCycleDay());
}

TChartData TFTotal::ChartData() const {
  TChartData d;
  d.Rows = FModel->Rows();
  d.Download = ChartColor(Cfg.ColorDownload);
  d.Upload = ChartColor(Cfg.ColorUpload);
  const int view = CBTarget->currentIndex();
  const int grouping = CBWays->currentIndex();
  d.Title = (view >= 0 ? CBTarget->itemText(view) : QString()) +
            (grouping >= 0 ? QStringLiteral(", ") + CBWays->itemText(grouping) : QString());
  if (PlanWatch != nullptr) {
    const TPlanSettings& s = PlanWatch->Settings();
    // A cap is a line only where a bar is a cycle of the plan's view.
    const bool cycles = grouping == lgBillingPeriods || (grouping == lgMonthly && s.CycleDay == 1);
    if (s.Enabled && s.CapBytes > 0 && view == s.View && cycles) d.CapBytes = s.CapBytes;
  }
  return d;
}

void TFTotal::UpdatePlanBlock() {
  const bool plan = PlanWatch != nullptr && PlanWatch->Status().has_value();
  if (PPlanBar->isHidden() == plan) PPlanBar->setVisible(plan);
  if (plan) PPlanBar->update();
  if (!PChart->isHidden()) PChart->update();
}

}  // namespace zul
