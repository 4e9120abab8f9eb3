#include "platform/SingleInstance.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QLocalSocket>
#include <QPointer>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace zul {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// One attempt: connect, send "<id>\n", wait for "ok\n". False when nobody listens yet.
bool TrySend(const std::string& path, int messageId, Clock::time_point deadline, bool& answered) {
  answered = false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  const TUniqueFd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock) return false;
  const int fd = sock.Get();
  bool ok = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
    std::string msg = std::to_string(messageId) + "\n";
    if (send(fd, msg.data(), msg.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(msg.size())) {
      ok = true;
      std::string reply;
      char buf[16];
      while (reply.find('\n') == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        int left = MsLeft(deadline);
        if (left == 0 || poll(&p, 1, left) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        reply.append(buf, static_cast<std::size_t>(n));
      }
      answered = reply.rfind("ok\n", 0) == 0;
    }
  }
  return ok;
}

}  // namespace

TInstanceClaim ClaimInstance(const std::string& runtimeDir, const std::string& name, int messageId,
                             int timeoutMs) {
  TInstanceClaim claim;
  const std::string lockPath = runtimeDir + name + ".lock";
  const std::string sockPath = runtimeDir + name;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

  // The lock, not the socket, decides: of two starts at the same moment exactly one wins it.
  switch (claim.Lock.TryLock(lockPath)) {
    case TFileLock::TResult::Locked:
      return claim;
    case TFileLock::TResult::Failed:
      claim.Role = TInstanceRole::Unresponsive;
      claim.Error = claim.Lock.Error();
      return claim;
    case TFileLock::TResult::HeldElsewhere:
      break;
  }

  // The winner may still be starting up: keep trying until it listens and answers.
  while (true) {
    bool answered = false;
    if (TrySend(sockPath, messageId, deadline, answered) && answered) {
      claim.Role = TInstanceRole::Handed;
      return claim;
    }
    if (MsLeft(deadline) == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  claim.Role = TInstanceRole::Unresponsive;
  claim.Error =
      "Another instance of ZUL is running but does not answer; not starting a second one.";
  return claim;
}

TInstanceServer::TInstanceServer(QObject* parent) : QObject(parent) {
  connect(&FServer, &QLocalServer::newConnection, this, &TInstanceServer::OnConnection);
}

bool TInstanceServer::Listen(const std::string& runtimeDir, const std::string& name) {
  const QString path = QString::fromStdString(runtimeDir + name);
  // We hold the lock, so a socket file there is a stale one from a killed instance.
  QLocalServer::removeServer(path);
  FServer.setSocketOptions(QLocalServer::UserAccessOption);
  return FServer.listen(path);
}

void TInstanceServer::OnConnection() {
  while (QLocalSocket* sock = FServer.nextPendingConnection()) {
    connect(sock, &QLocalSocket::disconnected, sock, &QObject::deleteLater);
    connect(sock, &QLocalSocket::readyRead, this, [this, sock] {
      if (!sock->canReadLine()) {
        if (sock->bytesAvailable() > 64) sock->abort();  // not one of ours
        return;
      }
      bool ok = false;
      const int id = QString::fromLatin1(sock->readLine().trimmed()).toInt(&ok);
      sock->write("ok\n");
      sock->flush();
      sock->disconnectFromServer();
      if (ok) Q_EMIT MessageReceived(id);
    });
  }
}

}  // namespace zul
