// The error report's face: a message box that does not block the caller, and an application
// object that catches what a handler let escape.
#pragma once

#include <QApplication>

namespace zul {

// Reports go to a non-modal message box (so a timer tick is never re-entered from inside one).
void InstallErrorBox();

class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  // The last net under every handler: an exception that escapes one is reported, not fatal.
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace zul
