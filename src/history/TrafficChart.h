// The chart of the statistics window and of `zul --export png`: one bar per period listed,
// download below and upload above in the graph colours, the plan's cap as a line; and the plan's
// bar from 0 to the cap with the forecast marked. Our own painter code; Qt Gui, no widgets.
#pragma once

#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "history/DataPlan.h"
#include "history/TrafficLog.h"

class QPainter;

namespace zul {

struct TChartData {
  std::vector<TLogRecord> Rows;  // the periods of one view, in key order
  QColor Download = QColor(255, 0, 0);
  QColor Upload = QColor(0, 128, 0);
  std::optional<uint64_t> CapBytes;  // drawn as a line when set
  QString Title;
};

// The plot's rectangle inside `area`, where the bars go.
QRect ChartPlotArea(const QRect& area);
// The bar of row `index` of `count` in the plot.
QRect ChartBarSlot(const QRect& plot, int index, int count);

void PaintTrafficChart(QPainter& p, const QRect& area, const TChartData& d);
// The chart as a picture of `size`, on white.
QImage TrafficChartImage(const TChartData& d, QSize size);

// The plan's bar: the use so far in `fill` from 0 to the cap, the forecast marked with a line,
// and the figures written on it.
void PaintPlanBar(QPainter& p, const QRect& area, const TPlanStatus& st, const QColor& fill);

// The graph colour of a 0x00BBGGRR setting.
QColor ChartColor(uint32_t bgr);

}  // namespace zul
