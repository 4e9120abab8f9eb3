// One instance per user: the first start holds a lock file and listens on a local socket in the
// user's runtime folder; a later start hands the open-monitor message over to it and ends.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <string>

#include "platform/Files.h"

namespace zul {

enum class TInstanceRole {
  Primary,       // we are the first instance: Listen() next
  Handed,        // a running instance took the message; end with exit code 0
  Unresponsive,  // a running instance holds the lock but did not answer in time
};

struct TInstanceClaim {
  TInstanceRole Role = TInstanceRole::Primary;
  TFileLock Lock;     // held for the whole run by the primary instance
  std::string Error;  // for Unresponsive
};

// Settles who runs. `name` is the socket's name inside `runtimeDir`; the lock file is name +
// ".lock". A second start waits at most `timeoutMs` for the first to answer. Needs no Qt
// application object.
TInstanceClaim ClaimInstance(const std::string& runtimeDir, const std::string& name, int messageId,
                             int timeoutMs = 3000);

// The primary instance's end of the handshake.
class TInstanceServer : public QObject {
  Q_OBJECT
 public:
  explicit TInstanceServer(QObject* parent = nullptr);
  // Replaces a stale socket left by a killed instance; only this user may connect.
  bool Listen(const std::string& runtimeDir, const std::string& name);
  QString ErrorText() const { return FServer.errorString(); }

 Q_SIGNALS:
  // Delivered on the main thread for every message another start sends.
  void MessageReceived(int messageId);

 private:
  void OnConnection();
  QLocalServer FServer;
};

}  // namespace zul
