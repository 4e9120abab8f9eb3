#include "display/NotifyIcon.h"

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QWidget>
#include <array>
#include <utility>

#include "platform/TrayHosts.h"

namespace zul {

// --- The desktop's tray ---------------------------------------------------------------------

namespace {
// How often a program without a notification area looks for an X11 one; a StatusNotifierItem
// host says when it comes, so an idle desktop without a tray wakes nobody often.
constexpr int kTrayLookMs = 10000;
}  // namespace

TQtTrayHost::TQtTrayHost() {
  FLook.setInterval(kTrayLookMs);
  // Runs on the main thread.
  QObject::connect(&FLook, &QTimer::timeout, &FLook, [this] { LookForTray(); });
  WatchStatusNotifierHosts(&FLook, [this] {
    FAskBus = true;
    LookForTray();
  });
}

TQtTrayHost::~TQtTrayHost() = default;

void TQtTrayHost::MakeIcon(bool statusNotifier) {
  FStatusNotifier = statusNotifier;
  FIcon = std::make_unique<QSystemTrayIcon>();
  // Runs on the main thread, from the tray's own event handling. A StatusNotifierItem host
  // activates the icon on its own terms (a click, a tap, a key): that is the double click of an
  // X11 tray, the one way to open the windows.
  QObject::connect(FIcon.get(), &QSystemTrayIcon::activated, FIcon.get(),
                   [this](QSystemTrayIcon::ActivationReason reason) {
                     if (FStatusNotifier && reason == QSystemTrayIcon::Trigger)
                       reason = QSystemTrayIcon::DoubleClick;
                     if (OnActivated) OnActivated(reason);
                   });
  // Such a host reads the menu when the icon registers: it must be there first. An X11 tray
  // leaves the menu to the component, which fills in its check marks before it opens.
  if (statusNotifier && FMenu) FIcon->setContextMenu(FMenu);
  FIcon->setIcon(FPicture);
  FIcon->setToolTip(FTip);
  if (FWanted) FIcon->setVisible(true);
}

bool TQtTrayHost::Available() const {
  // Without an icon there is no tray in use yet: the look makes the icon as soon as one comes,
  // so this never asks the bus or the X server (it is asked every second).
  return FIcon && QSystemTrayIcon::isSystemTrayAvailable();
}

void TQtTrayHost::LookForTray() {
  if (FIcon || !FWanted) {
    FLook.stop();
    return;
  }
  // The session bus tells when a StatusNotifierItem host comes (WatchStatusNotifierHosts), so
  // the regular look asks only the X server, one round trip.
  const bool statusNotifier = FAskBus && StatusNotifierHostPresent();
  FAskBus = false;
  if (!statusNotifier && !XEmbedTrayPresent()) return;
  FLook.stop();
  MakeIcon(statusNotifier);
  if (OnAvailableChanged) OnAvailableChanged();
}

void TQtTrayHost::SetVisible(bool visible) {
  FWanted = visible;
  if (FIcon) {
    FIcon->setVisible(visible);
    return;
  }
  if (!visible) {
    FLook.stop();
    return;
  }
  FAskBus = true;
  LookForTray();
  if (!FIcon) FLook.start();
}

void TQtTrayHost::SetIcon(const QIcon& icon) {
  FPicture = icon;
  if (FIcon) FIcon->setIcon(icon);
}

void TQtTrayHost::SetToolTip(const QString& tip) {
  FTip = tip;
  if (FIcon) FIcon->setToolTip(tip);
}

void TQtTrayHost::SetMenu(QMenu* menu) {
  FMenu = menu;
  if (FIcon && FStatusNotifier) FIcon->setContextMenu(menu);
}

// --- Pictures -------------------------------------------------------------------------------

QIcon TImageList::Image(int index) const {
  if (index < 0 || index >= Count()) return QIcon();
  return FImages[index];
}

namespace {

constexpr int kMeterSegments = 6;
constexpr std::array<int, 5> kMeterSizes = {16, 22, 24, 32, 48};
const QColor kMeterBody(16, 24, 16);
const QColor kSegmentDark(0, 80, 0);
const QColor kSegmentLit(0, 255, 0);

}  // namespace

QImage MeterPicture(int lit, int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  // Whole pixels only, so that the segments stay sharp at every size the tray host asks for.
  const int side = std::max(1, size / 16);
  const int edge = size / 16 - 1 > 0 ? size / 16 - 1 : 0;
  const int gap = std::max(1, size / 16);
  const int inset = size * 3 / 16;
  const int bodyLeft = inset;
  const int bodyWidth = size - 2 * inset;
  const int rows = size - 2 * edge - (kMeterSegments - 1) * gap;
  QPainter p(&image);
  p.fillRect(QRect(bodyLeft, 0, bodyWidth, size), kMeterBody);
  // Segment 0 is the lowest; the rows that do not divide evenly go to the lower segments.
  int bottom = size - edge;
  for (int k = 0; k < kMeterSegments; ++k) {
    const int height = rows / kMeterSegments + (k < rows % kMeterSegments ? 1 : 0);
    const QRect seg(bodyLeft + side, bottom - height, bodyWidth - 2 * side, height);
    p.fillRect(seg, k < lit ? kSegmentLit : kSegmentDark);
    bottom -= height + gap;
  }
  return image;
}

void FillMeterPictures(TImageList& list) {
  list.Clear();
  for (int lit = 0; lit <= kMeterSegments; ++lit) {
    QIcon icon;
    for (int size : kMeterSizes) icon.addPixmap(QPixmap::fromImage(MeterPicture(lit, size)));
    list.Add(icon);
  }
}

// --- The component --------------------------------------------------------------------------

TNotifyIcon::TNotifyIcon(QObject* owner, std::unique_ptr<TTrayHost> host)
    : QObject(owner), FHost(host ? std::move(host) : std::make_unique<TQtTrayHost>()) {
  ConnectHost();
  connect(&FTimer, &QTimer::timeout, this, &TNotifyIcon::Step);
  UpdateIconThread(true);
}

TNotifyIcon::~TNotifyIcon() {
  SetActive(false);
  if (FMinFormToTray && parent() != nullptr) parent()->removeEventFilter(this);
}

void TNotifyIcon::ConnectHost() {
  // Runs on the main thread: the host reports activations from its event handling.
  FHost->OnActivated = [this](QSystemTrayIcon::ActivationReason reason) { Activated(reason); };
  // Runs on the main thread, from the host's look for a notification area.
  FHost->OnAvailableChanged = [this] {
    if (FActive && OnTrayChanged) OnTrayChanged();
  };
  FHost->SetMenu(FPopupMenu);
}

void TNotifyIcon::SetPopupMenu(QMenu* value) {
  FPopupMenu = value;
  FHost->SetMenu(value);
}

void TNotifyIcon::SetHost(std::unique_ptr<TTrayHost> host) {
  StopHost();
  FHost = host ? std::move(host) : std::make_unique<TQtTrayHost>();
  ConnectHost();
  FTipSent = false;
  FSentIndex = -1;
  UpdateIconThread(true);
}

void TNotifyIcon::SetActive(bool value) {
  if (FActive == value) return;
  FActive = value;
  UpdateIconThread(true);
}

void TNotifyIcon::SetAnimated(bool value) {
  if (FAnimated == value) return;
  FAnimated = value;
  FAnimateStep = 0;
  // Back to the still picture, which the last animation step may have replaced.
  if (!value) FChanged = true;
  UpdateIconThread(false);
}

void TNotifyIcon::SetAnimateDelay(int value) {
  if (FAnimateDelay == value) return;
  FAnimateDelay = value;
  UpdateIconThread(false);
}

void TNotifyIcon::SetAnimatePriority(QThread::Priority value) {
  if (FAnimatePriority == value) return;
  FAnimatePriority = value;
  UpdateIconThread(false);
}

void TNotifyIcon::SetHint(const QString& value) {
  if (FHint == value) return;
  FHint = value;
  UpdateIconThread(true);
}

void TNotifyIcon::SetIconIndex(int value) {
  if (FIconIndex == value) return;
  FIconIndex = value;
  UpdateIconThread(true);
}

void TNotifyIcon::SetImageList(TImageList* value) {
  if (FImageList == value) return;
  if (FImageList) disconnect(FImageList, nullptr, this, nullptr);
  FImageList = value;
  FSentIndex = -1;
  if (value != nullptr) {
    // The list is going away: the icon shows none rather than a picture of a dead list.
    connect(value, &QObject::destroyed, this, [this] {
      FImageList = nullptr;
      FSentIndex = -1;
      UpdateIconThread(true);
    });
  }
  UpdateIconThread(true);
}

void TNotifyIcon::SetMinFormToTray(bool value) {
  if (FMinFormToTray == value) return;
  auto* form = qobject_cast<QWidget*>(parent());
  if (value && (form == nullptr || !form->isWindow()))
    throw ENotifyIconError("Owner must be a form");
  FMinFormToTray = value;
  if (form == nullptr) return;
  if (value)
    form->installEventFilter(this);
  else
    form->removeEventFilter(this);
}

void TNotifyIcon::UpdateIconThread(bool withPicture) {
  if (!FActive) {
    StopHost();
    return;
  }
  if (withPicture) FChanged = true;
  FTimer.setInterval(FAnimated ? FAnimateDelay : kTrayIdleDelay);
  FTimer.setTimerType(FAnimatePriority >= QThread::HighPriority ? Qt::PreciseTimer
                                                                : Qt::CoarseTimer);
  // Still pictures need a step only when something changed; an animation steps all the time.
  if ((FAnimated || FChanged || !FHostShown) && !FTimer.isActive()) FTimer.start();
}

void TNotifyIcon::StopHost() {
  FTimer.stop();
  if (!FHostShown) return;
  FHost->SetVisible(false);
  FHostShown = false;
}

void TNotifyIcon::SendIcon(int index) {
  if (index == FSentIndex) return;
  FHost->SetIcon(FImageList ? FImageList->Image(index) : QIcon());
  FSentIndex = index;
}

void TNotifyIcon::Step() {
  if (!FActive) {
    FTimer.stop();
    return;
  }
  if (FChanged) {
    // Panels repaint on every tip or icon they are given, so only changes are passed on.
    const QString tip = FHint.left(kTrayTipMax);
    if (!FTipSent || tip != FSentTip) {
      FHost->SetToolTip(tip);
      FSentTip = tip;
      FTipSent = true;
    }
    if (!FAnimated) SendIcon(FIconIndex);
    FChanged = false;
  }
  if (FAnimated) {
    const int count = FImageList ? FImageList->Count() : 0;
    SendIcon(count > 0 ? FAnimateStep : 0);
    FAnimateStep = count > 0 ? (FAnimateStep + 1) % count : 0;
  }
  if (!FHostShown) {
    FHost->SetVisible(true);
    FHostShown = true;
    if (!FToldNoTray && !FHost->Available()) {
      FToldNoTray = true;
      if (OnNoTray) OnNoTray();
    }
  }
  if (!FAnimated) FTimer.stop();
}

void TNotifyIcon::RaiseMouse(const TMouseEvent& handler, Qt::MouseButton button) {
  if (!handler) return;
  const QPoint at = QCursor::pos();
  handler(this, button, QGuiApplication::queryKeyboardModifiers(), at.x(), at.y());
}

void TNotifyIcon::Activated(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::Trigger:
      RaiseMouse(OnMouseDown, Qt::LeftButton);
      RaiseMouse(OnMouseUp, Qt::LeftButton);
      if (FMinFormToTray) RestoreFromTray();
      break;
    case QSystemTrayIcon::DoubleClick:
      if (OnDblClick) OnDblClick(this);
      break;
    case QSystemTrayIcon::Context:
      RaiseMouse(OnMouseDown, Qt::RightButton);
      RaiseMouse(OnMouseUp, Qt::RightButton);
      // A host that asks for the menu this way draws none itself.
      if (FPopupMenu) FPopupMenu->popup(QCursor::pos());
      break;
    case QSystemTrayIcon::MiddleClick:
      RaiseMouse(OnMouseDown, Qt::MiddleButton);
      RaiseMouse(OnMouseUp, Qt::MiddleButton);
      break;
    default:
      break;
  }
}

bool TNotifyIcon::eventFilter(QObject* watched, QEvent* event) {
  if (FMinFormToTray && watched == parent() && event->type() == QEvent::WindowStateChange) {
    auto* form = static_cast<QWidget*>(watched);
    // Hiding a window while it is being minimised confuses some window managers: after it.
    if (form->isMinimized()) QTimer::singleShot(0, this, &TNotifyIcon::MinimizeToTray);
  }
  return QObject::eventFilter(watched, event);
}

void TNotifyIcon::MinimizeToTray() {
  auto* form = qobject_cast<QWidget*>(parent());
  if (form == nullptr || !form->isMinimized()) return;
  form->hide();
  SetActive(true);
}

void TNotifyIcon::RestoreFromTray() {
  auto* form = qobject_cast<QWidget*>(parent());
  if (form == nullptr) return;
  form->showNormal();
  form->raise();
  form->activateWindow();
  form->update();
  SetActive(false);
}

}  // namespace zul
