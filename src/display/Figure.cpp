#include "display/Figure.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include "capture/Watch.h"
#include "display/WindowSet.h"
#include "display/vcls.h"
#include "history/Sampler.h"
#include "platform/ErrorReport.h"
#include "platform/ExitSteps.h"
#include "platform/WindowSystem.h"
#include "settings/CfgF.h"
#include "vartype.h"

namespace zul {

bool LayeredApi = false;
bool MenuHintPending = false;

namespace {

// The frame the window manager last drew around a graph window with a title bar. All four have
// the same decoration, so a window shown a moment ago and not yet framed is counted with it.
QMargins KnownFrame;

QMargins FrameMargins(const QWidget* w) {
  const QRect frame = w->frameGeometry();
  const QRect client = w->geometry();
  return {client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
          frame.bottom() - client.bottom()};
}

}  // namespace

bool LoadLayeredApi() {
  LayeredApi = WindowOpacitySupported();
  return LayeredApi;
}

TFBFigure::TFBFigure(QWidget* parent) : QWidget(parent, Qt::Tool), FGraph(Cfg, Traffic) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  setCursor(Qt::CrossCursor);
  setMouseTracking(true);
  setFont(FigureFont());
  FGraph.SetFont(font());
  setMaximumWidth(kMaxClientWidth);
  FViewName = QString::fromUtf8(kFigureCaptions[0]);
  setWindowTitle(FViewName);
  move(kFigureDesignLeft, kFigureDesignTop);
  resize(kFigureDesignWidth, kFigureDesignHeight);

  FGraph.OnTrayHint = [](const QString& hint) {
    if (FVCLS) FVCLS->SetTrayHint(hint);
  };
  FGraph.OnTrayLevel = [](uint32_t bar, uint32_t graphHeight) {
    if (FVCLS) FVCLS->SetTrayLevel(bar, graphHeight);
  };

  WatchWorkArea();
  FShownByUser = false;
  FGraph.FLeftMargin = 0;
  FGraph.FGraphWidth = width();
  FDragging = false;
  const bool first = JoinWindowSet(this);
  SetCaptionVisible(Cfg.ShowCaption);
  if (first) {
    FPrimary = true;
    LoadLayeredApi();
    ApplyWindowStyles();
    PlaceBottomRight(this);
    CreateLabelFont(font());
    FShownByUser = true;
    SetCounters(ciWanLanUp, ciWanLanDown);
  }
}

TFBFigure::~TFBFigure() {
  LeaveWindowSet(this);
}

void TFBFigure::SetCounters(uint16_t up, uint16_t down) {
  FGraph.SetCounters(up, down);
}

void TFBFigure::SetView(int view, const QString& name) {
  FGraph.FViewIndex = view;
  FViewName = name;
  SetTitle(name);
}

bool TFBFigure::EnsureSurface() {
  if (FGraph.Surface().size() == size()) return false;
  FGraph.SetClientSize(size());
  FGraph.FormPaint();
  return true;
}

void TFBFigure::FormPaint() {
  if (FGraph.Surface().size() != size()) FGraph.SetClientSize(size());
  FGraph.FormPaint();
  update();
}

void TFBFigure::UpdateDisplay() {
  const bool resized = EnsureSurface();
  FGraph.UpdateDisplay();
  // A step that changed no pixel (an idle graph) sends nothing to the window system; one that
  // drew nothing is not even compared.
  if (!resized && !FGraph.LastStepDrew()) return;
  if (FGraph.Surface() == FShownSurface) return;
  FShownSurface = FGraph.Surface();
  update();
}

void TFBFigure::DisplayStep() {
  Guarded("figure.tick", [this] {
    if (FPrimary) UpdateNotice();
    UpdateDisplay();
  });
}

void UpdateNotice() {
  TFBFigure* primary = Figures[tvInternetLan];
  if (primary == nullptr) return;
  const std::string problem = CaptureProblem();
  if (!problem.empty()) {
    primary->SetNotice(QString::fromStdString(problem));
    return;
  }
  if (MenuHintPending && !TrayMissing()) MenuHintPending = false;
  primary->SetNotice(MenuHintPending ? QStringLiteral("No tray: right-click for the menu")
                                     : QString());
}

void TFBFigure::SetNotice(const QString& text) {
  if (text == FNotice) return;
  FNotice = text;
  setToolTip(text);
  update();
}

void TFBFigure::ApplyWindowStyles() {
  // Qt::Tool (no taskbar button) is the window's type from its construction.
  SetTransparency(Cfg.Transparent, Cfg.VisiblePercent);
  SetTopmost(this, Cfg.OnTop);
}

void TFBFigure::SetTransparency(bool on, uint16_t percent) {
  if (!LayeredApi) return;
  setWindowOpacity(OpacityAlpha(on, percent) / 255.0);
}

void TFBFigure::MeasureFrame() {
  if (!CaptionVisible()) return;
  const int extra = frameGeometry().height() - height();
  if (extra > 0) FFrameExtra = extra;
  if (extra > 0 && isVisible()) KnownFrame = FrameMargins(this);
}

void TFBFigure::SetCaptionVisible(bool show) {
  if (show == CaptionVisible()) return;
  if (!show) MeasureFrame();
  const QSize client = size();
  const QPoint at = pos();
  const bool wasVisible = isVisible();
  setWindowFlag(Qt::FramelessWindowHint, !show);
  // Changing the flags takes the window off the screen; put it back as it was.
  move(at);
  resize(client);
  if (wasVisible) QWidget::show();
}

void TFBFigure::FormQueryEndSession() {
  Quitting = true;
}

void TFBFigure::SetTitle(const QString& text) {
  if (windowTitle() != text) setWindowTitle(text);
}

void TFBFigure::PlaceAt(int left, int top, int width, int height) {
  FCornerPending = false;
  move(left, top);
  resize(width, height);
}

TWinRect TFBFigure::FrameRect() const {
  // Not framed yet (just shown, or hidden): the frame its siblings have, if it has a title bar.
  // A window manager may frame a window without moving it (mutter), so a framed window tells
  // its frame here too, not only when it moves.
  QMargins m = FrameMargins(this);
  if (!m.isNull() && isVisible() && CaptionVisible()) KnownFrame = m;
  if (m.isNull() && CaptionVisible()) m = KnownFrame;
  return {x(), y(), width() + m.left() + m.right(), height() + m.top() + m.bottom()};
}

namespace {

// Long enough for a window manager to finish framing a window, short enough not to be seen.
constexpr int kCornerSettleMs = 150;

// Where a window with a frame of `frame` goes to fill the bottom-right corner of the work area
// of the screen it is on.
QPoint CornerFor(const QWidget* window, QSize frame) {
  const QScreen* screen = window->screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  std::optional<TWinRect> area;
  QSize desktop(0, 0);
  if (screen != nullptr) {
    const QRect a = screen->availableGeometry();
    if (!a.isEmpty()) area = TWinRect{a.x(), a.y(), a.width(), a.height()};
    desktop = screen->geometry().size();
  }
  const TWinRect at =
      BottomRight(area, desktop.width(), desktop.height(), frame.width(), frame.height());
  return {at.Left, at.Top};
}

}  // namespace

void PlaceBottomRight(TFBFigure* figure) {
  const QPoint at = CornerFor(figure, figure->frameGeometry().size());
  figure->move(at);
  figure->FCornerPending = true;
  figure->FCornerPos = at;
  figure->FCornerSize = figure->size();
}

void TFBFigure::WatchWorkArea() {
  FCornerCheck.setSingleShot(true);
  FCornerCheck.setInterval(kCornerSettleMs);
  connect(&FCornerCheck, &QTimer::timeout, this, &TFBFigure::CornerSettled);
  // A panel that appears, grows or goes changes the work area: the corner follows it.
  auto watch = [this](QScreen* screen) {
    connect(screen, &QScreen::availableGeometryChanged, this, [this] { KeepCorner(); });
  };
  for (QScreen* screen : QGuiApplication::screens()) watch(screen);
  connect(qApp, &QGuiApplication::screenAdded, this, watch);
}

void TFBFigure::KeepCorner() {
  if (!FCornerPending || !isVisible()) return;
  // Still where it was put: the frame or the work area may have changed, so the corner is
  // taken again at once. Elsewhere it may only be passing; the settled check decides.
  if (pos() == FCornerPos && size() == FCornerSize) RetakeCorner();
  FCornerCheck.start();
}

void TFBFigure::CornerSettled() {
  if (!FCornerPending || !isVisible()) return;
  if (pos() != FCornerPos || size() != FCornerSize) {
    FCornerPending = false;  // the user moved or sized it: that place is theirs
    return;
  }
  RetakeCorner();
}

void TFBFigure::RetakeCorner() {
  if (CornerFor(this, frameGeometry().size()) != pos()) PlaceBottomRight(this);
}

void TFBFigure::RecordState() {
  FLastState = {isVisible(), {x(), y(), width(), height()}};
}

void TFBFigure::setVisible(bool visible) {
  QWidget::setVisible(visible);
  RecordState();
  // A tray host may read the menu without opening it first: its check marks stay current.
  if (FVCLS) FVCLS->PopupMenu1Popup();
}

bool TFBFigure::event(QEvent* e) {
  if (e->type() == kOpenMonitorEvent) {
    Guarded("figure.openmonitor", [] { ShowMonitor(); });
    return true;
  }
  return QWidget::event(e);
}

void TFBFigure::paintEvent(QPaintEvent*) {
  EnsureSurface();
  QPainter p(this);
  p.drawImage(0, 0, FGraph.Surface());
  if (FNotice.isEmpty()) return;
  // Over the readout's place at the bottom, in the colours of a tip.
  const QFontMetrics fm(font());
  const int band = std::min(height(), fm.height() + 4);
  const QRect r(0, height() - band, width(), band);
  p.fillRect(r, palette().color(QPalette::ToolTipBase));
  p.setPen(palette().color(QPalette::ToolTipText));
  p.drawText(r.adjusted(2, 0, -2, 0), Qt::AlignCenter,
             fm.elidedText(FNotice, Qt::ElideRight, std::max(0, width() - 4)));
}

void TFBFigure::resizeEvent(QResizeEvent*) {
  if (width() > kMaxClientWidth) {
    resize(kMaxClientWidth, height());
    return;
  }
  FormPaint();
  RecordState();
  KeepCorner();
}

void TFBFigure::showEvent(QShowEvent*) {
  MeasureFrame();
  FormPaint();
  RecordState();
  KeepCorner();
}

void TFBFigure::moveEvent(QMoveEvent*) {
  MeasureFrame();
  RecordState();
  KeepCorner();
}

void TFBFigure::closeEvent(QCloseEvent* e) {
  FShownByUser = false;
  SetTitle(FViewName);
  if (!FPrimary) {
    e->accept();
    return;
  }
  // With no tray icon to exit from, hiding would leave the program running out of reach.
  if (!Quitting && TrayMissing()) Quitting = true;
  if (!Quitting) {
    e->ignore();
    hide();
    return;
  }
  // Every way out (the tray's exit, the session's end, a desktop without a tray) comes here.
  ArmExitWatchdog();
  RunExitSteps();
  e->accept();
  QCoreApplication::quit();
}

void TFBFigure::mousePressEvent(QMouseEvent* e) {
  if (Cfg.ShowCaption) return;
  FDragging = true;
  const QPoint at = e->position().toPoint();
  FDragX = at.x();
  FDragY = at.y();
}

void TFBFigure::mouseMoveEvent(QMouseEvent* e) {
  const QPoint at = e->position().toPoint();
  if (FDragging) {
    FCornerPending = false;
    move(x() + at.x() - FDragX, y() + at.y() - FDragY);
    return;
  }
  const std::optional<QString> readout = FGraph.HoverReadout(at);
  SetTitle(readout ? *readout : FViewName);
}

void TFBFigure::mouseReleaseEvent(QMouseEvent*) {
  FDragging = false;
}

void TFBFigure::contextMenuEvent(QContextMenuEvent* e) {
  // With no tray the menu is here; with one, every button drags a window without a title bar.
  if (FVCLS == nullptr || !TrayMissing()) return;
  FDragging = false;
  MenuHintPending = false;
  UpdateNotice();
  FVCLS->PopupMenu1.popup(e->globalPos());
}

}  // namespace zul
