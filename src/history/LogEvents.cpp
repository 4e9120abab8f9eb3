#include "history/LogEvents.h"

namespace zul {

TLogEvents::TLogEvents(TTrafficLog& log, QObject* parent) : QObject(parent) {
  // Runs on the log's writer thread: one queued call, the signal is emitted on ours.
  log.OnWriteResult = [this](const std::string& error) {
    QMetaObject::invokeMethod(
        this, [this, text = QString::fromStdString(error)] { Q_EMIT WriteResult(text); },
        Qt::QueuedConnection);
  };
}

}  // namespace zul
