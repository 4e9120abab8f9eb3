#include "display/FigureDraw.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPalette>
#include <algorithm>
#include <cstring>

namespace zul {

QFont LabelFont;

namespace {

bool LabelFontReady = false;

const QColor kBlack(0, 0, 0);
const QColor kGridGrey = CfgColor(0x808080);

int PixelSizeOf(const QFont& font) {
  return font.pixelSize() > 0 ? font.pixelSize() : QFontInfo(font).pixelSize();
}

}  // namespace

QFont FigureFont() {
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  font.setWeight(QFont::Normal);
  return font;
}

void CreateLabelFont(const QFont& windowFont) {
  LabelFont = windowFont;
  LabelFont.setPixelSize(std::max(1, PixelSizeOf(windowFont) - 2));
  LabelFont.setWeight(QFont::Normal);
  LabelFontReady = true;
}

QColor ButtonFace() {
  return QGuiApplication::palette().color(QPalette::Window);
}

QColor ThemeColor(QPalette::ColorRole role) {
  return QGuiApplication::palette().color(role);
}

QColor CfgColor(uint32_t bgr) {
  return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                static_cast<int>((bgr >> 16) & 0xFF));
}

TGraph::TGraph(const TCfgRec& cfg, const TTraffic& traffic)
    : FCfg(cfg), FTraffic(traffic), FFont(FigureFont()) {
  if (!LabelFontReady) CreateLabelFont(FFont);
}

void TGraph::SetClientSize(QSize size) {
  if (size == FSurface.size()) return;
  FSurface = QImage(size.expandedTo(QSize(0, 0)), QImage::Format_RGB32);
}

void TGraph::SetCounters(uint16_t up, uint16_t down) {
  if (up >= kCounterCount || down >= kCounterCount) return;
  FUpIndex = up;
  FDownIndex = down;
}

void TGraph::SetFont(const QFont& font) {
  FFont = font;
}

// Room for at least one bar column inside the frame, above the bottom border.
bool TGraph::HasGraphArea() const {
  return !FSurface.isNull() && BaseRow() > 0 && FGraphWidth > 2;
}

bool TGraph::FeedsTray() const {
  return FViewIndex == EffectiveTrayView(FCfg);
}

bool TGraph::UpdateScale() {
  const uint32_t candidate =
      IsAutomaticScale(FCfg)
          ? AutoScaleCandidate(FTraffic, FUpIndex, FDownIndex, std::max(0, FGraphWidth - 2))
          : FixedFullScale;
  // An idle history has no top: the scale then stays at its least, and an idle second is no
  // change of scale that would redraw the whole window.
  const uint32_t scale = candidate == 0 ? 1 : candidate;
  const bool unchanged = scale == FFullScale;
  FFullScale = scale;
  return unchanged;
}

void TGraph::CalcLayout() {
  const int cw = ClientWidth();
  const int ch = ClientHeight();
  FLabelHeight = QFontMetrics(FFont).height();
  FLeftMargin = FCfg.ShowMaxValue ? FLabelHeight + 2 : 0;
  FGraphWidth = cw - FLeftMargin;
  switch (EffectiveDisplayMode(FCfg)) {
    case dmGraphical:
      FNumHeight = 0;
      break;
    case dmNumeric:
      FNumTop = 0;
      FNumHeight = ch;
      break;
    case dmBoth:
      FNumHeight = FLabelHeight + 8;
      FNumTop = ch - FNumHeight + 2;
      break;
  }
  FGraphHeight = ch - FNumHeight;
  const int64_t plus = FCfg.CustomPlus;
  FNominalY = FGraphHeight > 0 ? static_cast<int>(FGraphHeight * plus / (plus + 100)) : 0;
}

void TGraph::DrawBackground() {
  const QRect frame(FLeftMargin, 0, ClientWidth() - FLeftMargin, FGraphHeight);
  if (frame.isEmpty()) return;
  QPainter p(&FSurface);
  p.fillRect(frame, CfgColor(FCfg.ColorIdle));
  // A 1-pixel frame drawn as four fills, so that its pixels do not depend on pen rules.
  p.fillRect(QRect(frame.left(), frame.top(), frame.width(), 1), kBlack);
  p.fillRect(QRect(frame.left(), frame.bottom(), frame.width(), 1), kBlack);
  p.fillRect(QRect(frame.left(), frame.top(), 1, frame.height()), kBlack);
  p.fillRect(QRect(frame.right(), frame.top(), 1, frame.height()), kBlack);
}

void TGraph::DrawScaleLabel() {
  if (!FCfg.ShowMaxValue || FSurface.isNull()) return;
  // The first unit whose text fits the strip's length; the largest when none does.
  const QFontMetrics fm(LabelFont);
  QString text;
  for (int step = 0; step < kUnitSteps; ++step) {
    text = QString::fromStdString(FormatScaleLabelIn(FFullScale, EffectiveRateUnit(FCfg), step));
    if (fm.horizontalAdvance(text) + 1 <= FGraphHeight) break;
  }
  const int w = fm.horizontalAdvance(text);
  QPainter p(&FSurface);
  p.setFont(LabelFont);
  p.setPen(ThemeColor(QPalette::WindowText));
  // Rotated a quarter turn counter-clockwise: the text runs upward from (1, w + 1).
  p.translate(1, w + 1);
  p.rotate(-90);
  const QRect cell(0, 0, w, fm.height());
  p.fillRect(cell, ButtonFace());
  p.drawText(cell, Qt::AlignLeft | Qt::AlignTop | Qt::TextDontClip, text);
}

void TGraph::FillColumn(int x, int64_t fromHeight, int64_t toHeight, const QColor& color) {
  // Heights [fromHeight, toHeight) above the base row, cut at the top of the client area.
  if (x < 0 || x >= ClientWidth() || toHeight <= fromHeight) return;
  const int base = BaseRow();
  const int64_t top = std::max<int64_t>(0, base - toHeight + 1);
  const int64_t bottom = std::min<int64_t>(ClientHeight() - 1, base - fromHeight);
  const uint32_t rgb = color.rgb();
  const qsizetype stride = FSurface.bytesPerLine();
  uchar* bits = FSurface.bits();
  for (int64_t y = top; y <= bottom; ++y) reinterpret_cast<uint32_t*>(bits + y * stride)[x] = rgb;
}

void TGraph::DrawBar(int x, const TCounterBlock& second) {
  const TBar bar = BarOf(second[FDownIndex], second[FUpIndex], BaseRow(), FFullScale);
  auto colorOf = [this](TBarColor c) {
    switch (c) {
      case TBarColor::Download:
        return CfgColor(FCfg.ColorDownload);
      case TBarColor::Upload:
        return CfgColor(FCfg.ColorUpload);
      default:
        return CfgColor(FCfg.ColorBoth);
    }
  };
  if (bar.First == TBarColor::None) return;
  FillColumn(x, 0, bar.FirstTop, colorOf(bar.First));
  if (bar.Second != TBarColor::None)
    FillColumn(x, bar.FirstTop, bar.SecondTop, colorOf(bar.Second));
}

int TGraph::BarCount() const {
  if (!HasGraphArea()) return 0;
  return std::min(FTraffic.SampleCount(), std::max(0, FGraphWidth - 2));
}

void TGraph::DrawGraph() {
  const int bars = BarCount();
  if (bars == 0) return;
  const int r = NewestColumn();
  for (int i = 0; i < bars; ++i) DrawBar(r - i, FTraffic.Newest(i));
  // Bars of an exceeded fixed scale run through the top border; put it back.
  QPainter p(&FSurface);
  p.fillRect(QRect(FLeftMargin, 0, ClientWidth() - FLeftMargin, 1), kBlack);
}

void TGraph::XorDottedLine(QPainter& p, int x) {
  const int base = BaseRow();
  const uint32_t idle = FCfg.ColorIdle & 0xFFFFFF;
  if (FDots.height() != base || FDotsIdle != idle) {
    // Rows base down to 1: dots of grey on the base row and every second row above it, the
    // gaps in the inverse of the idle colour, both combined by exclusive-or.
    FDots = QImage(1, base, QImage::Format_RGB32);
    const QRgb gap = CfgColor(~idle & 0xFFFFFF).rgb();
    for (int y = 1; y <= base; ++y)
      FDots.setPixel(0, y - 1, (base - y) % 2 == 0 ? kGridGrey.rgb() : gap);
    FDotsIdle = idle;
  }
  p.drawImage(x, 1, FDots);
}

void TGraph::DrawOverlay() {
  if (!HasGraphArea()) return;
  const int cw = ClientWidth();
  const bool nominal = FCfg.Connection == kConnCustom && FNominalY > 0;
  const int period = FCfg.GridLines ? GridPeriodSeconds(FCfg.GridPeriod) : 0;
  if (!nominal && period == 0) return;
  QPainter p(&FSurface);
  p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
  if (nominal) p.fillRect(QRect(FLeftMargin + 1, FNominalY, cw - 3 - FLeftMargin, 1), ButtonFace());
  if (period > 0)
    for (int c = period; c < FGraphWidth; c += period) XorDottedLine(p, cw - 2 - c);
}

void TGraph::ScrollGraph() {
  // Rows 1 .. graph height - 2, columns left margin + 2 .. CW - 2, one column to the left.
  const int from = FLeftMargin + 2;
  const int count = ClientWidth() - 1 - from;
  const int lastRow = std::min(FGraphHeight - 2, ClientHeight() - 1);
  if (count <= 0 || from < 1) return;
  const qsizetype stride = FSurface.bytesPerLine();
  uchar* bits = FSurface.bits();
  for (int y = 1; y <= lastRow; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(bits + y * stride);
    std::memmove(row + from - 1, row + from, static_cast<std::size_t>(count) * sizeof(uint32_t));
  }
}

void TGraph::DrawNewestBar() {
  if (!HasGraphArea()) return;
  if (FTraffic.SampleCount() == 0) return;
  const int r = NewestColumn();
  const int base = BaseRow();
  FillColumn(r, 0, base, CfgColor(FCfg.ColorIdle));
  const TCounterBlock& newest = FTraffic.Newest(0);
  DrawBar(r, newest);
  const TBar bar = BarOf(newest[FDownIndex], newest[FUpIndex], base, FFullScale);
  // A bar cut at the top has painted over the top border, which the scroll never moves.
  if (bar.Top() > base && r >= FLeftMargin)
    reinterpret_cast<uint32_t*>(FSurface.bits())[r] = kBlack.rgb();
  if (FeedsTray() && bar.First != TBarColor::None && OnTrayLevel)
    OnTrayLevel(static_cast<uint32_t>(std::min<int64_t>(bar.Top(), base)),
                static_cast<uint32_t>(base));
}

void TGraph::DrawReadout() {
  const int cw = ClientWidth();
  const int ch = ClientHeight();
  const QRect box(0, FNumTop, cw, ch - FNumTop);
  if (box.isEmpty()) return;
  const QString readout = ReadoutText();
  FDrawnReadout = readout;
  {
    // A field in the theme's colours: black on white on a light one, light on dark on a dark one.
    const QColor ink = ThemeColor(QPalette::Text);
    QPainter p(&FSurface);
    p.fillRect(box, ThemeColor(QPalette::Base));
    p.fillRect(QRect(0, box.top(), cw, 1), ink);
    p.fillRect(QRect(0, box.bottom(), cw, 1), ink);
    p.fillRect(QRect(0, box.top(), 1, box.height()), ink);
    p.fillRect(QRect(box.right(), box.top(), 1, box.height()), ink);
    const QFontMetrics fm(FFont);
    const int x = (cw - fm.horizontalAdvance(readout)) / 2;
    const int y = FNumTop + (FNumHeight - FLabelHeight - 2) / 2;
    p.setFont(FFont);
    p.setPen(ink);
    p.drawText(QPoint(x, y + fm.ascent()), readout);
  }
  if (FeedsTray() && OnTrayHint) OnTrayHint(readout);
}

QString TGraph::ReadoutText() const {
  const uint16_t unit = EffectiveRateUnit(FCfg);
  double down = static_cast<double>(FTraffic.LastSample[FDownIndex]);
  double up = static_cast<double>(FTraffic.LastSample[FUpIndex]);
  if (FCfg.ShowAverage) {
    const double seconds = FTraffic.HourSeconds == 0 ? 1.0 : FTraffic.HourSeconds;
    down = static_cast<double>(FTraffic.HourTotals[FDownIndex]) / seconds;
    up = static_cast<double>(FTraffic.HourTotals[FUpIndex]) / seconds;
  }
  // The setting's unit wherever the text fits the box; larger units for rates that do not.
  const QFontMetrics fm(FFont);
  QString text;
  for (int step = 0; step < kUnitSteps; ++step) {
    text = QString::fromStdString(FormatRatesIn(down, up, unit, step));
    if (fm.horizontalAdvance(text) <= ClientWidth() - 4) break;
  }
  return text;
}

bool TGraph::StepChangesNothing(int mode) const {
  if (mode != dmNumeric && HasGraphArea()) {
    // Idle columns scrolled into idle columns, with the newest one idle too: the same pixels.
    // The column that leaves at the left counts as well.
    const int n = std::min(FTraffic.SampleCount(), BarCount() + 1);
    for (int i = 0; i < n; ++i) {
      const TCounterBlock& s = FTraffic.Newest(i);
      if (s[FDownIndex] != 0 || s[FUpIndex] != 0) return false;
    }
  }
  return mode == dmGraphical || ReadoutText() == FDrawnReadout;
}

void TGraph::FormPaint() {
  if (FSurface.isNull()) return;
  // Layout first, so that the automatic scale looks at the seconds that fit the current width.
  CalcLayout();
  UpdateScale();
  // The erase of the form's background that precedes every paint.
  FSurface.fill(ButtonFace());
  switch (EffectiveDisplayMode(FCfg)) {
    case dmGraphical:
      DrawBackground();
      DrawScaleLabel();
      DrawGraph();
      DrawOverlay();
      break;
    case dmNumeric:
      DrawReadout();
      break;
    case dmBoth:
      DrawBackground();
      DrawScaleLabel();
      DrawReadout();
      DrawGraph();
      DrawOverlay();
      break;
  }
}

bool TGraph::UpdateDisplay() {
  FStepDrew = false;
  if (FSurface.isNull()) return false;
  FStepDrew = true;
  if (!UpdateScale()) {
    FormPaint();
    return true;
  }
  const TDisplayMode mode = EffectiveDisplayMode(FCfg);
  if (StepChangesNothing(mode)) {
    FStepDrew = false;
    return false;
  }
  if (mode == dmNumeric) {
    DrawReadout();
    return false;
  }
  if (HasGraphArea()) {
    DrawOverlay();
    ScrollGraph();
    DrawOverlay();
    DrawNewestBar();
  }
  if (mode == dmBoth) DrawReadout();
  return false;
}

std::optional<QString> TGraph::HoverReadout(QPoint pos) const {
  const int x = pos.x();
  const int y = pos.y();
  if (!(FLeftMargin < x && x < ClientWidth() && 5 < y && y < FGraphHeight)) return std::nullopt;
  const int i = NewestColumn() - x;
  if (i < 0 || i >= BarCount()) return std::nullopt;
  const TCounterBlock& s = FTraffic.Newest(i);
  return QString::fromStdString(FormatSecond(s[FDownIndex], s[FUpIndex], EffectiveRateUnit(FCfg)));
}

}  // namespace zul
