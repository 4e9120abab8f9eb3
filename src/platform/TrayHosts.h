// Which notification areas the desktop offers right now, asked without the toolkit's tray, which
// decides once per run between them: the program asks these first and makes its icon only when
// one is there, so that a panel started after the program is still used. Qt Gui and D-Bus.
#pragma once

#include <QObject>
#include <functional>

namespace zul {

// Turns a D-Bus signal, which Qt connects by slot name, into a call.
class TSignalRelay : public QObject {
  Q_OBJECT
 public:
  TSignalRelay(QObject* parent, std::function<void()> call)
      : QObject(parent), Call(std::move(call)) {}
 public Q_SLOTS:
  void Fire() {
    if (Call) Call();
  }

 private:
  std::function<void()> Call;
};

// A StatusNotifierItem host on the session bus: a watcher that has a host registered. False
// without a session bus.
bool StatusNotifierHostPresent();

// An X11 notification area: a manager owns the system tray selection of the default screen. False
// on other platforms. Needs the application object.
bool XEmbedTrayPresent();

// Calls `onChange` on the main thread when a StatusNotifierItem watcher comes to the session bus
// or a host registers with it, for as long as `context` lives: no need to look again and again.
void WatchStatusNotifierHosts(QObject* context, std::function<void()> onChange);

}  // namespace zul
