// The drawing of one graph window into its surface, an image the size of the client area that
// the window shows as it is. Qt Gui only (no widgets), so that tests and the benchmark draw
// without a window. Main thread only.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QPoint>
#include <QSize>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

#include "capture/Traffic.h"
#include "display/Scale.h"
#include "settings/CfgF.h"

namespace zul {

// Font of the scale label: the window font two pixels smaller, drawn running upward.
extern QFont LabelFont;
void CreateLabelFont(const QFont& windowFont);
// The window font: "MS Sans Serif" where installed, else the platform's sans-serif, 11 pixels.
QFont FigureFont();
// The system's button-face colour, the background of the forms.
QColor ButtonFace();
// A colour of the desktop's theme, for what is not a setting: the readout and the scale label.
QColor ThemeColor(QPalette::ColorRole role);
// A setting's colour (0x00BBGGRR; the top byte is ignored).
QColor CfgColor(uint32_t bgr);

class TGraph {
 public:
  TGraph(const TCfgRec& cfg, const TTraffic& traffic);

  // A new, uninitialised surface of the client size; the caller then runs FormPaint.
  void SetClientSize(QSize size);
  const QImage& Surface() const { return FSurface; }
  QImage& Surface() { return FSurface; }

  // Indexes outside the counter block are refused, so drawing never reads past a block.
  void SetCounters(uint16_t up, uint16_t down);
  void SetFont(const QFont& font);

  // Returns true when the full scale is unchanged.
  bool UpdateScale();
  void CalcLayout();
  void DrawBackground();
  void DrawScaleLabel();
  void DrawGraph();
  void DrawOverlay();
  void DrawNewestBar();
  void DrawReadout();
  // The complete redraw: scale, layout and every drawing step the display mode asks for.
  void FormPaint();
  // One display step; returns whether it was a complete redraw. A step that would change no
  // pixel (an idle second over an idle graph, the same readout) draws nothing.
  bool UpdateDisplay();
  // Whether the last UpdateDisplay drew anything at all.
  bool LastStepDrew() const { return FStepDrew; }

  // Bars the last complete redraw would draw from the ring as it is now.
  int BarCount() const;
  // The text for the title bar with the pointer at `pos` over a bar, or none elsewhere.
  std::optional<QString> HoverReadout(QPoint pos) const;

  // Geometry computed by CalcLayout; signed, so that a window smaller than its borders gives
  // negative sizes instead of wrapping round.
  int FNumTop = 0;
  int FNumHeight = 0;
  int FLabelHeight = 0;
  uint32_t FFullScale = 1;
  uint16_t FUpIndex = ciWanLanUp;
  uint16_t FDownIndex = ciWanLanDown;
  int FLeftMargin = 0;
  int FGraphWidth = 0;
  int FGraphHeight = 0;
  int FNominalY = 0;
  int FViewIndex = 0;

  int ClientWidth() const { return FSurface.width(); }
  int ClientHeight() const { return FSurface.height(); }
  int BaseRow() const { return ClientHeight() - FNumHeight - 2; }
  int NewestColumn() const { return ClientWidth() - 2; }

  // The tray follows this window's view: readout text and newest bar against the base row.
  std::function<void(const QString&)> OnTrayHint;
  std::function<void(uint32_t bar, uint32_t graphHeight)> OnTrayLevel;

 private:
  bool HasGraphArea() const;
  bool FeedsTray() const;
  QString ReadoutText() const;
  bool StepChangesNothing(int mode) const;
  void DrawBar(int x, const TCounterBlock& second);
  void FillColumn(int x, int64_t fromHeight, int64_t toHeight, const QColor& color);
  void ScrollGraph();
  void XorDottedLine(QPainter& p, int x);

  const TCfgRec& FCfg;
  const TTraffic& FTraffic;
  QImage FSurface;
  QFont FFont;
  QString FDrawnReadout;  // what the readout shows now
  bool FStepDrew = false;
  // One dotted grid line, rebuilt when the base row or the idle colour changes.
  QImage FDots;
  uint32_t FDotsIdle = 0;
};

}  // namespace zul
