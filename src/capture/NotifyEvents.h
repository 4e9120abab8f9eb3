// The threshold notifications as signals: the sampler's second hands over what is due, and the
// sound player and the message dialog each take their part. Main thread only.
#pragma once

#include <QObject>
#include <QString>

#include "capture/Notify.h"

namespace zul {

class TNotifyEvents : public QObject {
  Q_OBJECT
 public:
  // Emits SoundDue, then WarningDue, for what `due` holds.
  void Post(const TNotifyDue& due);

 Q_SIGNALS:
  // Delivered on the main thread, at once. Receivers report their own failures (under
  // kNotifySoundKey and kNotifyMessageKey) and never throw.
  void SoundDue(const QString& file);
  void WarningDue(const QString& text);
};

TNotifyEvents& NotifyEvents();

}  // namespace zul
