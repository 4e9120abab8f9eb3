#include "platform/ErrorBox.h"

#include <QMessageBox>
#include <exception>

#include "platform/ErrorReport.h"

namespace zul {

void InstallErrorBox() {
  SetErrorSink([](const std::string& text) {
    auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("ZUL"),
                                QString::fromStdString(text), QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowFlag(Qt::WindowStaysOnTopHint);
    box->open();
  });
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ReportError(std::string("app.handler.") + e.what(), e.what());
  } catch (...) {
    ReportError("app.handler", "Unknown error");
  }
  return false;
}

}  // namespace zul
