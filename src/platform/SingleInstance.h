// One instance per user: the first start holds a lock file and listens on a local socket in the
// user's runtime folder; a later start hands the open-monitor message over to it and ends.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <memory>
#include <string>

#include "platform/ExitSteps.h"
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

// How long a start waits for a running instance: as long as that instance may take for its exit
// steps, so that a start during an exit becomes the next instance instead of giving up.
inline constexpr int kClaimTimeoutMs =
    static_cast<int>(std::chrono::milliseconds(kExitDeadline).count());

// Settles who runs. `name` is the socket's name inside `runtimeDir`; the lock file is name +
// ".lock". While another instance holds the lock, a start keeps offering it the message and
// keeps trying the lock, for at most `timeoutMs`: an instance that answers takes the message;
// one that ends meanwhile leaves the lock to this start, which becomes the instance. Needs no
// Qt application object.
TInstanceClaim ClaimInstance(const std::string& runtimeDir, const std::string& name, int messageId,
                             int timeoutMs = kClaimTimeoutMs);

// The primary instance's end of the handshake. It keeps listening whatever a client does: a
// failed accept (no descriptors left) is retried after a short pause, a client that says nothing
// within kIdleMs is dropped, and at most kMaxClients silent ones are held at once.
class TInstanceServer : public QObject {
  Q_OBJECT
 public:
  static constexpr int kMaxClients = 16;
  static constexpr int kIdleMs = 1000;

  explicit TInstanceServer(QObject* parent = nullptr);
  ~TInstanceServer() override;
  // Replaces whatever a killed instance left at the socket path; only this user may connect.
  bool Listen(const std::string& runtimeDir, const std::string& name);
  // Stops listening and removes the socket; later starts wait for the lock instead (the exit).
  void Close();
  QString ErrorText() const { return FError; }
  int Clients() const { return FClients; }

 Q_SIGNALS:
  // Delivered on the main thread for every message another start sends.
  void MessageReceived(int messageId);

 private:
  void AcceptReady();
  void Serve(int fd);

  TUniqueFd FListen;
  std::unique_ptr<QSocketNotifier> FNotifier;
  QTimer FRetry;
  int FBackoffMs = 0;
  bool FShort = false;  // an accept ran out of descriptors and the queue has not drained since
  int FClients = 0;
  std::string FPath;
  QString FError;
};

}  // namespace zul
