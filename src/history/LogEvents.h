// The log writer's results as a signal on the main thread, so that the program can follow the
// writes without sharing anything with the writer thread.
#pragma once

#include <QObject>
#include <QString>

#include "history/TrafficLog.h"

namespace zul {

class TLogEvents : public QObject {
  Q_OBJECT
 public:
  // Watches `log` from now on; made before the log's writer starts (Open) and destroyed after
  // it stopped (Close or the log's end), since the writer calls into it.
  explicit TLogEvents(TTrafficLog& log, QObject* parent = nullptr);

 Q_SIGNALS:
  // Delivered queued on the thread this object lives in, after each write of an hour: the
  // error's text, or empty when the write committed.
  void WriteResult(const QString& error);
};

}  // namespace zul
