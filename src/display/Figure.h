// The graph window: a small floating tool window that shows one traffic view as a scrolling bar
// graph, a numeric readout, or both. Four exist for the whole run (see WindowSet.h).
#pragma once

#include <QEvent>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>

#include "display/FigureDraw.h"
#include "display/Scale.h"
#include "display/WindowSet.h"

namespace zul {

inline constexpr int kFigureDesignLeft = 419;
inline constexpr int kFigureDesignTop = 434;
inline constexpr int kFigureDesignWidth = 217;
inline constexpr int kFigureDesignHeight = 111;

// Captions by view; the title bar shows them whenever no readout is shown there.
inline constexpr std::array<const char*, 4> kFigureCaptions = {"Internet & LAN", "Internet", "LAN",
                                                               "INTERNET (All PCs on the LAN)"};

// The event a second start of the program makes the running one receive.
inline const QEvent::Type kOpenMonitorEvent = static_cast<QEvent::Type>(WM_OPENMONITOR);

// Whether the platform shows window opacity; SetTransparency does nothing without it.
extern bool LayeredApi;
bool LoadLayeredApi();

class TFBFigure : public QWidget {
  Q_OBJECT
 public:
  // The first window created while none exists is the primary one: it gets view 0, its
  // counters, the label font and the bottom-right corner of the work area.
  explicit TFBFigure(QWidget* parent = nullptr);
  ~TFBFigure() override;

  void SetCounters(uint16_t up, uint16_t down);
  // View index and caption, as the window set hands them out.
  void SetView(int view, const QString& name);
  int ViewIndex() const { return FGraph.FViewIndex; }
  bool IsPrimary() const { return FPrimary; }

  bool UpdateScale() { return FGraph.UpdateScale(); }
  // A complete redraw from the ring, then shown.
  void FormPaint();
  // One display step: the graph scrolls by the second the sampler has just stored.
  void UpdateDisplay();
  // The same, as the sampler's second runs it for every window, visible or not.
  void DisplayStep();

  void ApplyWindowStyles();
  void SetTransparency(bool on, uint16_t percent);
  // Shows or hides the title bar; the client area keeps its size.
  void SetCaptionVisible(bool show);
  bool CaptionVisible() const { return !(windowFlags() & Qt::FramelessWindowHint); }
  // The session is ending: the next close of the primary window ends the program.
  void FormQueryEndSession();

  // Moves the window to a place that the window set chose, which ends the pending placement
  // in the work area's corner.
  void PlaceAt(int left, int top, int width, int height);
  // The window with its frame, as stacking sees it.
  TWinRect FrameRect() const;
  // Visibility and client rectangle as last seen by the window's own events, so that the exit
  // can record the window set after the window system has gone away.
  const TWindowState& LastState() const { return FLastState; }
  // Whether the window still keeps the work area's corner (the user has not moved it).
  bool KeepsCorner() const { return FCornerPending; }

  void setVisible(bool visible) override;

  // A line the window shows over its lower edge until it is cleared: capture that is off, or
  // where the menu is on a desktop without a tray. Its whole text is also the window's tip.
  void SetNotice(const QString& text);
  QString Notice() const { return FNotice; }

  TGraph& Graph() { return FGraph; }
  const TGraph& Graph() const { return FGraph; }

  int FFrameExtra = 0;
  bool FDragging = false;
  int FDragX = 0;
  int FDragY = 0;
  QString FViewName;
  bool FShownByUser = false;

 protected:
  bool event(QEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void showEvent(QShowEvent* e) override;
  void moveEvent(QMoveEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;

 private:
  friend void PlaceBottomRight(TFBFigure* figure);
  // Returns whether the surface had to be made anew for the window's size.
  bool EnsureSurface();
  void MeasureFrame();
  void SetTitle(const QString& text);
  void WatchWorkArea();
  void KeepCorner();
  void CornerSettled();
  void RetakeCorner();
  void RecordState();

  TGraph FGraph;
  // What the window last showed, shared with the surface until the next change.
  QImage FShownSurface;
  bool FPrimary = false;
  // Set by the bottom-right placement until the user moves or sizes the window: the frame is
  // known only once the window is on screen, and panels change the work area, so the corner is
  // taken again whenever either changes.
  bool FCornerPending = false;
  QPoint FCornerPos;
  QSize FCornerSize;
  // A window manager moves a window it frames through passing places (its frame's origin, then
  // the requested place); only where it comes to rest tells a user's move from the framing.
  QTimer FCornerCheck;
  TWindowState FLastState;
  QString FNotice;
};

// Brings the primary window's notice up to date: what keeps capture off, else, on a desktop
// without a tray until its menu was first opened, where the menu is.
void UpdateNotice();
// Told once on a desktop without a tray; cleared when the menu is opened or a tray appears.
extern bool MenuHintPending;

// Puts a window into the bottom-right corner of the desktop work area.
void PlaceBottomRight(TFBFigure* figure);

}  // namespace zul
