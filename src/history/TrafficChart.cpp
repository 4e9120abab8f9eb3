#include "history/TrafficChart.h"

#include <QFontMetrics>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "history/Export.h"
#include "history/Period.h"

namespace zul {
namespace {

constexpr int kLeft = 72;
constexpr int kRight = 12;
constexpr int kTop = 26;
constexpr int kBottom = 24;
constexpr int kTicks = 4;
const QColor kAxis(96, 96, 96);
const QColor kGrid(224, 224, 224);
const QColor kCapLine(0, 0, 0);

QString Amount(long double kb) {
  return QString::fromStdString(FormatKB(kb));
}

// A round top for the scale: 1, 2 or 5 times a power of ten of the unit the amounts are
// written in (KB, MB, GB, TB as the list writes them, base 1024).
long double NiceTop(long double kb) {
  if (kb <= 0) return 1;
  long double unit = 1;
  while (kb / unit >= 1024 && unit < 1024.0L * 1024 * 1024) unit *= 1024;
  const long double x = kb / unit;
  const long double power = std::pow(10.0L, std::floor(std::log10(x)));
  for (long double step : {1.0L, 2.0L, 5.0L, 10.0L})
    if (step * power >= x) return step * power * unit;
  return 10 * power * unit;
}

QString Label(const TLogRecord& r) {
  return QString::fromStdString(PeriodText(r, [](TDate d) { return IsoDate(d); }));
}

}  // namespace

QColor ChartColor(uint32_t bgr) {
  return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                static_cast<int>((bgr >> 16) & 0xFF));
}

QRect ChartPlotArea(const QRect& area) {
  return area.adjusted(kLeft, kTop, -kRight, -kBottom);
}

QRect ChartBarSlot(const QRect& plot, int index, int count) {
  if (count <= 0) return {};
  const double slot = static_cast<double>(plot.width()) / count;
  const int left = plot.left() + static_cast<int>(std::floor(slot * index));
  const int right = plot.left() + static_cast<int>(std::floor(slot * (index + 1)));
  // A gap between bars while there is room for one.
  const int gap = right - left >= 6 ? std::max(1, (right - left) / 5) : 0;
  return QRect(QPoint(left + gap / 2, plot.top()),
               QPoint(right - 1 - (gap - gap / 2), plot.bottom()));
}

void PaintTrafficChart(QPainter& p, const QRect& area, const TChartData& d) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing, false);
  p.fillRect(area, Qt::white);
  const QRect plot = ChartPlotArea(area);
  const QFontMetrics fm(p.font());

  long double top = 0;
  for (const TLogRecord& r : d.Rows)
    top = std::max(top, static_cast<long double>(r.Dn) + static_cast<long double>(r.Up));
  const bool hasCap = d.CapBytes.has_value();
  const long double capKb = hasCap ? static_cast<long double>(*d.CapBytes) / 1024.0L : 0.0L;
  if (hasCap) top = std::max(top, capKb * 1.05L);
  top = NiceTop(top);
  const auto yOf = [&](long double kb) {
    const long double h = std::clamp(kb / top, 0.0L, 1.0L) * plot.height();
    return plot.bottom() + 1 - static_cast<int>(std::lround(static_cast<double>(h)));
  };

  // The scale and its grid.
  p.setPen(kGrid);
  for (int i = 1; i <= kTicks; ++i)
    p.drawLine(plot.left(), yOf(top * i / kTicks), plot.right(), yOf(top * i / kTicks));
  p.setPen(kAxis);
  for (int i = 0; i <= kTicks; ++i) {
    const int y = yOf(top * i / kTicks);
    const QRect box(area.left(), y - fm.height() / 2, kLeft - 6, fm.height());
    p.drawText(box, Qt::AlignRight | Qt::AlignVCenter, Amount(top * i / kTicks));
  }

  // The bars: download from the bottom, upload on top of it.
  const int count = static_cast<int>(d.Rows.size());
  for (int i = 0; i < count; ++i) {
    const TLogRecord& r = d.Rows[static_cast<std::size_t>(i)];
    const QRect slot = ChartBarSlot(plot, i, count);
    const int yDown = yOf(r.Dn);
    const int yBoth = yOf(static_cast<long double>(r.Dn) + r.Up);
    if (yDown <= plot.bottom())
      p.fillRect(QRect(QPoint(slot.left(), yDown), QPoint(slot.right(), plot.bottom())),
                 d.Download);
    if (yBoth < yDown)
      p.fillRect(QRect(QPoint(slot.left(), yBoth), QPoint(slot.right(), yDown - 1)), d.Upload);
  }
  p.setPen(kAxis);
  p.drawLine(plot.left(), plot.bottom() + 1, plot.right(), plot.bottom() + 1);
  p.drawLine(plot.left() - 1, plot.top(), plot.left() - 1, plot.bottom() + 1);

  // The periods' names, as many as fit side by side.
  if (count > 0) {
    int widest = 0;
    for (const TLogRecord& r : d.Rows) widest = std::max(widest, fm.horizontalAdvance(Label(r)));
    const double slot = static_cast<double>(plot.width()) / count;
    const int every = std::max(1, static_cast<int>(std::ceil((widest + 12) / std::max(slot, 1.0))));
    for (int i = 0; i < count; i += every) {
      const QRect s = ChartBarSlot(plot, i, count);
      const QString text = Label(d.Rows[static_cast<std::size_t>(i)]);
      const int w = fm.horizontalAdvance(text);
      const int x = std::clamp(s.center().x() - w / 2, area.left() + 2, area.right() - w - 2);
      p.drawText(QPoint(x, plot.bottom() + 4 + fm.ascent()), text);
    }
  } else {
    p.drawText(plot, Qt::AlignCenter, QStringLiteral("No traffic in this period"));
  }

  if (hasCap) {
    QPen pen(kCapLine);
    pen.setWidth(2);
    pen.setStyle(Qt::DashLine);
    p.setPen(pen);
    const int y = yOf(capKb);
    p.drawLine(plot.left(), y, plot.right(), y);
    p.setPen(kCapLine);
    // In the plan's own units, as the options page shows it.
    p.drawText(QPoint(plot.left() + 4, y - 3),
               QStringLiteral("Cap ") + QString::fromStdString(PlanBytes(*d.CapBytes)));
  }

  // Title and legend over the plot.
  p.setPen(Qt::black);
  p.drawText(QRect(area.left() + 4, area.top() + 2, area.width() / 2, kTop - 4),
             Qt::AlignLeft | Qt::AlignVCenter, d.Title);
  int x = area.right() - kRight;
  for (const auto& [name, color] : {std::pair{QStringLiteral("Upload"), d.Upload},
                                    std::pair{QStringLiteral("Download"), d.Download}}) {
    x -= fm.horizontalAdvance(name);
    p.setPen(Qt::black);
    p.drawText(QPoint(x, area.top() + 2 + (kTop - 4 + fm.ascent()) / 2), name);
    x -= 16;
    p.fillRect(QRect(x, area.top() + kTop / 2 - 5, 10, 10), color);
    x -= 12;
  }
  p.restore();
}

QImage TrafficChartImage(const TChartData& d, QSize size) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  PaintTrafficChart(p, image.rect(), d);
  p.end();
  return image;
}

void PaintPlanBar(QPainter& p, const QRect& area, const TPlanStatus& st, const QColor& fill) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing, false);
  p.fillRect(area, QColor(240, 240, 240));
  const double cap = st.CapBytes > 0 ? static_cast<double>(st.CapBytes) : 1.0;
  // The bar runs from 0 to the cap; what goes past it is drawn to the end.
  const auto xOf = [&](double bytes) {
    return area.left() +
           static_cast<int>(std::lround(std::clamp(bytes / cap, 0.0, 1.0) * (area.width() - 1)));
  };
  const int used = xOf(static_cast<double>(st.UsedBytes));
  if (st.UsedBytes > 0)
    p.fillRect(QRect(QPoint(area.left(), area.top()), QPoint(used, area.bottom())),
               st.CapReached ? QColor(200, 0, 0) : fill);
  if (st.ForecastBytes) {
    QPen pen(Qt::black);
    pen.setWidth(2);
    p.setPen(pen);
    const int x = std::min(xOf(static_cast<double>(*st.ForecastBytes)), area.right() - 1);
    p.drawLine(x, area.top(), x, area.bottom());
  }
  p.setPen(kAxis);
  p.drawRect(area.adjusted(0, 0, -1, -1));
  QString text = QString::fromStdString(
      PlanBytes(st.UsedBytes) + " of " + PlanBytes(st.CapBytes) + " (" +
      std::to_string(static_cast<long long>(std::floor(st.Percent))) + " %)");
  text += st.ForecastBytes ? QString::fromStdString(", forecast " + PlanBytes(*st.ForecastBytes))
                           : QStringLiteral(", forecast: too early to tell");
  text += QString::fromStdString(", " + PlanBytes(st.DailyBudgetBytes) + " a day left");
  // Black on the light part, white on the filled one would need two passes; a halo is simpler.
  p.setPen(Qt::white);
  const QRect textBox = area.adjusted(6, 0, -6, 0);
  for (const QPoint& off : {QPoint(-1, 0), QPoint(1, 0), QPoint(0, -1), QPoint(0, 1)})
    p.drawText(textBox.translated(off), Qt::AlignLeft | Qt::AlignVCenter, text);
  p.setPen(Qt::black);
  p.drawText(textBox, Qt::AlignLeft | Qt::AlignVCenter, text);
  p.restore();
}

}  // namespace zul
