#include "capture/NotifyEvents.h"

namespace zul {

void TNotifyEvents::Post(const TNotifyDue& due) {
  // The file name is kept in the local code page, the message is the program's own text.
  if (due.SoundFile) Q_EMIT SoundDue(QString::fromLocal8Bit(due.SoundFile->c_str()));
  if (due.Message) Q_EMIT WarningDue(QString::fromStdString(*due.Message));
}

TNotifyEvents& NotifyEvents() {
  static TNotifyEvents events;
  return events;
}

}  // namespace zul
