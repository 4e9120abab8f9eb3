// The tray-icon component: one icon in the desktop's notification area, optionally animated
// through the pictures of an image list, with the host's mouse activations turned into events, a
// popup menu on the right button, and an owner form that can go to the tray when minimised.
// Main thread only: the tray host accepts calls from the GUI thread alone, so the pictures and the
// tip are handed to it from a timer rather than from a worker thread.
#pragma once

#include <QIcon>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <functional>
#include <memory>
#include <stdexcept>

namespace zul {

// The longest tip the tray host is given.
inline constexpr int kTrayTipMax = 63;
// The pause between two hand-overs when the icon is not animated.
inline constexpr int kTrayIdleDelay = 50;

class ENotifyIconError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the component asks of the desktop's tray. A seam, so that tests can count what reaches
// the host; the program uses TQtTrayHost.
class TTrayHost {
 public:
  virtual ~TTrayHost() = default;
  // Whether the desktop has a notification area right now.
  virtual bool Available() const = 0;
  virtual void SetVisible(bool visible) = 0;
  virtual void SetIcon(const QIcon& icon) = 0;
  virtual void SetToolTip(const QString& tip) = 0;
  // The menu a host that draws menus itself (StatusNotifierItem) is given before the icon shows.
  virtual void SetMenu(QMenu* /*menu*/) {}
  // Set by the component; the host calls it for each mouse activation of the icon.
  std::function<void(QSystemTrayIcon::ActivationReason)> OnActivated;
  // Set by the component; the host calls it when a notification area appears or goes away.
  std::function<void()> OnAvailableChanged;
};

// The desktop's tray through Qt. Qt picks between a StatusNotifierItem host and the X11 tray
// once per run, when its first icon is made; so the icon is made only once one of them is there,
// and until then the host looks for one every few seconds.
class TQtTrayHost : public TTrayHost {
 public:
  TQtTrayHost();
  ~TQtTrayHost() override;
  bool Available() const override;
  void SetVisible(bool visible) override;
  void SetIcon(const QIcon& icon) override;
  void SetToolTip(const QString& tip) override;
  void SetMenu(QMenu* menu) override;

 private:
  void LookForTray();
  void MakeIcon(bool statusNotifier);

  std::unique_ptr<QSystemTrayIcon> FIcon;
  QTimer FLook;
  bool FWanted = false;
  bool FStatusNotifier = false;
  bool FAskBus = true;  // the next look asks the session bus too
  QIcon FPicture;
  QString FTip;
  QPointer<QMenu> FMenu;
};

// An ordered list of pictures, each crisp at several sizes.
class TImageList : public QObject {
  Q_OBJECT
 public:
  explicit TImageList(QObject* parent = nullptr) : QObject(parent) {}
  int Count() const { return static_cast<int>(FImages.size()); }
  QIcon Image(int index) const;
  void Add(const QIcon& icon) { FImages.push_back(icon); }
  void Clear() { FImages.clear(); }

 private:
  QList<QIcon> FImages;
};

class TNotifyIcon : public QObject {
  Q_OBJECT
 public:
  using TMouseEvent = std::function<void(TNotifyIcon* sender, Qt::MouseButton button,
                                         Qt::KeyboardModifiers shift, int x, int y)>;

  // The owner is normally a form; MinFormToTray needs one. A null host means the desktop's own.
  explicit TNotifyIcon(QObject* owner = nullptr, std::unique_ptr<TTrayHost> host = nullptr);
  ~TNotifyIcon() override;

  bool Active() const { return FActive; }
  void SetActive(bool value);
  bool Animated() const { return FAnimated; }
  void SetAnimated(bool value);
  int AnimateDelay() const { return FAnimateDelay; }
  void SetAnimateDelay(int value);
  // Without a worker thread this decides how closely the timer keeps its delay.
  QThread::Priority AnimatePriority() const { return FAnimatePriority; }
  void SetAnimatePriority(QThread::Priority value);
  QString Hint() const { return FHint; }
  void SetHint(const QString& value);
  int IconIndex() const { return FIconIndex; }
  void SetIconIndex(int value);
  TImageList* ImageList() const { return FImageList; }
  void SetImageList(TImageList* value);
  bool MinFormToTray() const { return FMinFormToTray; }
  // Throws ENotifyIconError "Owner must be a form" when the owner is not a window.
  void SetMinFormToTray(bool value);
  QMenu* PopupMenu() const { return FPopupMenu; }
  void SetPopupMenu(QMenu* value);

  std::function<void(TNotifyIcon* sender)> OnDblClick;
  TMouseEvent OnMouseDown;
  TMouseEvent OnMouseUp;
  // Once, the first time the icon is turned on while the desktop has no notification area.
  std::function<void()> OnNoTray;
  // Each time a notification area appears or goes away while the icon is on.
  std::function<void()> OnTrayChanged;

  // Whether the desktop can show the icon now.
  bool HostAvailable() const { return FHost->Available(); }
  // Replaces the tray host; what the icon shows is handed to the new one afresh.
  void SetHost(std::unique_ptr<TTrayHost> host);

  // Brings the hand-over up to date after a property changed; with the picture, the next step
  // shows hint and picture again.
  void UpdateIconThread(bool withPicture);

  // One hand-over step, as the timer runs it.
  void Step();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Activated(QSystemTrayIcon::ActivationReason reason);
  void RaiseMouse(const TMouseEvent& handler, Qt::MouseButton button);
  void MinimizeToTray();
  void RestoreFromTray();
  void SendIcon(int index);
  void StopHost();
  void ConnectHost();

  std::unique_ptr<TTrayHost> FHost;
  QTimer FTimer;
  bool FActive = false;
  bool FAnimated = false;
  int FAnimateDelay = kTrayIdleDelay;
  QThread::Priority FAnimatePriority = QThread::NormalPriority;
  QString FHint;
  int FIconIndex = 0;
  QPointer<TImageList> FImageList;
  QPointer<QMenu> FPopupMenu;
  bool FMinFormToTray = false;

  // The hand-over: what the next step shows, and what the host was last given.
  bool FChanged = false;
  int FAnimateStep = 0;
  bool FHostShown = false;
  bool FTipSent = false;
  QString FSentTip;
  // The picture last given; -1 once the list changed, so that the next one is sent.
  int FSentIndex = -1;
  bool FToldNoTray = false;
};

// The tray's pictures: a vertical meter of six segments, picture k lighting the lowest k.
void FillMeterPictures(TImageList& list);
// One picture of the meter at one size in pixels.
QImage MeterPicture(int lit, int size);

}  // namespace zul
