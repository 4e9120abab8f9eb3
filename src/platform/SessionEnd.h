// The end of the session as the program sees it: SIGTERM, SIGINT and SIGHUP (and the desktop
// session manager, wired by the application) become one call on the main thread.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace zul {

class TSessionEnd : public QObject {
  Q_OBJECT
 public:
  // `onEnd` runs on the main thread, once per signal received.
  explicit TSessionEnd(std::function<void()> onEnd, QObject* parent = nullptr);
  ~TSessionEnd() override;

 private:
  void OnReadable();
  std::function<void()> FOnEnd;
  std::unique_ptr<QSocketNotifier> FNotifier;
};

}  // namespace zul
