#include "display/WindowSet.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <vector>

#include "display/Figure.h"
#include "platform/ErrorReport.h"
#include "settings/CfgF.h"

namespace zul {

std::array<TFBFigure*, 4> Figures{};

namespace {

// Views of the graph windows in the order start-up creates them.
constexpr int kLeastClientWidth = 32;
constexpr int kLeastGraphRows = 8;
constexpr std::array<int, 4> kCreationViews = {tvInternetLan, tvLan, tvInternet, tvAllPcs};

}  // namespace

bool JoinWindowSet(TFBFigure* figure) {
  const bool first =
      std::all_of(Figures.begin(), Figures.end(), [](const TFBFigure* f) { return f == nullptr; });
  for (const int view : kCreationViews)
    if (Figures[view] == nullptr) {
      Figures[view] = figure;
      break;
    }
  return first;
}

void LeaveWindowSet(TFBFigure* figure) {
  for (TFBFigure*& slot : Figures)
    if (slot == figure) slot = nullptr;
}

namespace {

void Front(TFBFigure* f) {
  f->show();
  f->raise();
  f->activateWindow();
}

// Changes one window flag; changing flags takes a window off the screen, so a visible one is
// shown again where it was.
void ChangeFlag(QWidget* w, Qt::WindowType flag, bool on) {
  if (w == nullptr || w->windowFlags().testFlag(flag) == on) return;
  // Staying on top is a state the window system changes on a window as it stands, without the
  // hide and show that would send it through placement again.
  if (flag == Qt::WindowStaysOnTopHint && w->isVisible() && w->windowHandle() != nullptr) {
    Qt::WindowFlags flags = w->windowFlags();
    flags.setFlag(flag, on);
    w->overrideWindowFlags(flags);
    w->windowHandle()->setFlags(flags);
    return;
  }
  const bool wasVisible = w->isVisible();
  const QPoint at = w->pos();
  const QSize client = w->size();
  w->setWindowFlag(flag, on);
  w->move(at);
  w->resize(client);
  if (wasVisible) w->show();
}

// Whether a dialog of the program (options, its messages, statistics, about, the message
// dialog, the colour and file dialogs) is on screen.
bool DialogOpen() {
  const QWidgetList windows = QApplication::topLevelWidgets();
  return std::any_of(windows.begin(), windows.end(), [](const QWidget* w) {
    return w->isVisible() && qobject_cast<const QDialog*>(w) != nullptr;
  });
}

// Sees every dialog of the program come and go, and lets the graph windows step aside.
class TDialogWatch : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override {
    if ((e->type() == QEvent::Show || e->type() == QEvent::Hide) && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->isWindow() && qobject_cast<QDialog*>(watched) != nullptr)
      // Once the show or hide is complete, so that the dialog counts as it now is.
      QMetaObject::invokeMethod(
          this, [] { SetTopmost(nullptr, Cfg.OnTop); }, Qt::QueuedConnection);
    return false;
  }
};

}  // namespace

void WatchDialogs() {
  static TDialogWatch* watch = nullptr;
  if (watch != nullptr || qApp == nullptr) return;
  watch = new TDialogWatch(qApp);
  qApp->installEventFilter(watch);
}

std::optional<TWinRect> WorkArea() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return std::nullopt;
  const QRect area = screen->availableGeometry();
  if (area.isEmpty()) return std::nullopt;
  return TWinRect{area.x(), area.y(), area.width(), area.height()};
}

std::vector<TWinRect> WorkAreas() {
  std::vector<TWinRect> areas;
  for (const QScreen* screen : QGuiApplication::screens()) {
    const QRect area = screen->availableGeometry();
    if (!area.isEmpty()) areas.push_back({area.x(), area.y(), area.width(), area.height()});
  }
  return areas;
}

QSize DesktopSize() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen != nullptr ? screen->geometry().size() : QSize(0, 0);
}

void SetupWindows() {
  WatchDialogs();
  for (int v = 0; v < kViewCount; ++v) {
    TFBFigure* f = Figures[v];
    if (f == nullptr) continue;
    f->SetView(v, QString::fromUtf8(kFigureCaptions[v]));
    if (v == tvInternetLan) continue;  // counters and styles came with its creation
    f->SetCounters(static_cast<uint16_t>(kViewCounters[v].Up),
                   static_cast<uint16_t>(kViewCounters[v].Down));
    f->ApplyWindowStyles();
  }

  if (Cfg.StartMinimized) return;
  const std::vector<TWinRect> areas = WorkAreas();
  for (int v = 0; v < kViewCount; ++v) {
    TFBFigure* f = Figures[v];
    if (f == nullptr) continue;
    if (Cfg.WindowVisible[v]) {
      // The smallest window that still draws a bar: a readout line and a few graph rows.
      const int leastHeight = f->fontMetrics().height() + kLeastGraphRows;
      if (const std::optional<TRestored> r =
              RestoreRect(Cfg.WindowRect[v], areas, kLeastClientWidth, leastHeight)) {
        f->PlaceAt(r->Rect.Left, r->Rect.Top, r->Rect.Width, r->Rect.Height);
        // A primary window that was off every screen goes back to its own corner.
        if (r->Moved && v == tvInternetLan) PlaceBottomRight(f);
      }
    }
    // The primary window is shown by the application's start.
    if (v == tvInternetLan) continue;
    if (Cfg.WindowVisible[v]) {
      f->show();
      f->FShownByUser = true;
    } else {
      f->hide();
    }
  }
}

void PlaceWindow(int index) {
  if (index < 0 || index >= kViewCount) return;
  TFBFigure* k = Figures[index];
  if (k == nullptr || k->isVisible()) return;
  // Places count in device-independent pixels. At a fractional scale a frame's edges fall
  // between them, and the window system rounds each place it is given: one pixel more per frame
  // keeps two frames from sharing a screen row.
  const qreal ratio = k->devicePixelRatioF();
  const int allowance = ratio == std::floor(ratio) ? 0 : 1;
  std::vector<TWinRect> visible;
  std::vector<TFBFigure*> owners;
  for (TFBFigure* f : Figures)
    if (f != nullptr && f->isVisible()) {
      TWinRect r = f->FrameRect();
      r.Width += allowance;
      r.Height += allowance;
      visible.push_back(r);
      owners.push_back(f);
    }
  const QSize desktop = DesktopSize();
  const std::optional<TSlot> slot =
      FindFreeSlot(visible, WorkAreaBottom(WorkArea(), desktop.height()));
  if (!slot) return;
  // The frame's place, and the client size of the window it is stacked against: both windows
  // have the same frame.
  const QSize client = owners[slot->Beside]->size();
  k->PlaceAt(slot->Place.Left, slot->Place.Top, client.width(), client.height());
}

void ShowAllWindows() {
  for (int v = 0; v < kViewCount; ++v) {
    TFBFigure* f = Figures[v];
    if (f == nullptr || f->isVisible()) continue;
    PlaceWindow(v);
    f->show();
    f->FShownByUser = true;
  }
}

void ShowMonitor() {
  bool any = false;
  for (TFBFigure* f : Figures)
    if (f != nullptr && f->FShownByUser) {
      Front(f);
      any = true;
    }
  if (!any && Figures[tvInternetLan] != nullptr) {
    Front(Figures[tvInternetLan]);
    Figures[tvInternetLan]->FShownByUser = true;
  }
  SetTopmost(nullptr, Cfg.OnTop);
}

void HideAllWindows() {
  for (TFBFigure* f : Figures)
    if (f != nullptr && f->FShownByUser) f->hide();
}

void SetAllCaptions(bool show) {
  for (TFBFigure* f : Figures)
    if (f != nullptr) f->SetCaptionVisible(show);
}

void SetAllTransparency(bool on, uint16_t percent) {
  for (TFBFigure* f : Figures)
    if (f != nullptr) f->SetTransparency(on, percent);
}

void RepaintAll() {
  for (TFBFigure* f : Figures)
    if (f != nullptr) f->FormPaint();
}

void StepAllWindows() {
  for (TFBFigure* f : Figures)
    if (f != nullptr) f->DisplayStep();
}

void SaveWindowSet() {
  Guarded("windowset.save", [] {
    // As the windows last reported themselves: the window system may be gone already.
    std::array<std::optional<TWindowState>, 4> now;
    for (int v = 0; v < kViewCount; ++v)
      if (const TFBFigure* f = Figures[v]) now[v] = f->LastState();
    if (RecordWindowSet(Cfg.WindowVisible, Cfg.WindowRect, now)) SaveCfg();
  });
}

void SetTopmost(QWidget* window, bool onTop) {
  // While a dialog is open no graph window covers it; the setting comes back when it closes.
  if (onTop && DialogOpen()) onTop = false;
  if (window != nullptr) {
    ChangeFlag(window, Qt::WindowStaysOnTopHint, onTop);
    return;
  }
  for (TFBFigure* f : Figures) ChangeFlag(f, Qt::WindowStaysOnTopHint, onTop);
}

}  // namespace zul
