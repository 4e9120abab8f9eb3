#include "platform/SingleInstance.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QLocalSocket>
#include <algorithm>
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

  // Non-blocking: a listener whose queue is full refuses at once instead of holding us.
  const TUniqueFd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
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
  // The holder may still be starting up, or ending: keep offering the message and trying the
  // lock until it answers or lets go.
  while (true) {
    switch (claim.Lock.TryLock(lockPath)) {
      case TFileLock::TResult::Locked:
        claim.Role = TInstanceRole::Primary;
        return claim;
      case TFileLock::TResult::Failed:
        claim.Role = TInstanceRole::Unresponsive;
        claim.Error = claim.Lock.Error();
        return claim;
      case TFileLock::TResult::HeldElsewhere:
        break;
    }
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

namespace {
constexpr int kFirstBackoffMs = 50;
constexpr int kLastBackoffMs = 1000;
}  // namespace

TInstanceServer::TInstanceServer(QObject* parent) : QObject(parent) {
  FRetry.setSingleShot(true);
  connect(&FRetry, &QTimer::timeout, this, [this] {
    if (FNotifier) FNotifier->setEnabled(true);
    AcceptReady();
  });
}

TInstanceServer::~TInstanceServer() {
  Close();
}

bool TInstanceServer::Listen(const std::string& runtimeDir, const std::string& name) {
  Close();
  const std::string path = runtimeDir + name;
  auto fail = [this, &path](const char* what, int err) {
    FError = QString::fromStdString(std::string(what) + " \"" + path + "\": " + std::strerror(err));
    FListen.Reset();
    return false;
  };
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) return fail("Socket path too long", ENAMETOOLONG);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  // We hold the lock, so anything at the path was left by a killed instance (or planted): a
  // socket or a plain file goes; an empty folder too; anything else is reported.
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    const int rc = S_ISDIR(st.st_mode) ? ::rmdir(path.c_str()) : ::unlink(path.c_str());
    if (rc != 0) return fail("Cannot remove the stale", errno);
  }

  FListen = TUniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!FListen) return fail("Cannot create the socket", errno);
  // Only this user may connect, from the moment the socket exists.
  const mode_t oldMask = ::umask(077);
  const int bound = ::bind(FListen.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  const int bindErr = errno;
  ::umask(oldMask);
  if (bound != 0) return fail("Cannot bind the socket", bindErr);
  FPath = path;
  ::chmod(path.c_str(), 0600);
  if (::listen(FListen.Get(), 64) != 0) {
    const int err = errno;
    Close();
    return fail("Cannot listen on the socket", err);
  }
  FBackoffMs = kFirstBackoffMs;
  FNotifier = std::make_unique<QSocketNotifier>(FListen.Get(), QSocketNotifier::Read);
  connect(FNotifier.get(), &QSocketNotifier::activated, this, &TInstanceServer::AcceptReady);
  return true;
}

void TInstanceServer::Close() {
  FRetry.stop();
  FNotifier.reset();
  if (FListen) {
    FListen.Reset();
    if (!FPath.empty()) ::unlink(FPath.c_str());
  }
  FPath.clear();
}

void TInstanceServer::AcceptReady() {
  if (!FListen) return;
  // A bounded batch per wake-up, so a flood of connections cannot starve the user interface.
  for (int n = 0; n < 256; ++n) {
    const int fd = ::accept4(FListen.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      const int err = errno;
      if (err == EINTR || err == ECONNABORTED || err == EPROTO) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) {
        FBackoffMs = kFirstBackoffMs;
        FShort = false;
        return;
      }
      // No descriptor or memory left: the connection waits in the queue. Pause instead of
      // spinning on it, and go on listening.
      FShort = true;
      FNotifier->setEnabled(false);
      FRetry.start(FBackoffMs);
      FBackoffMs = std::min(FBackoffMs * 2, kLastBackoffMs);
      return;
    }
    // A start sends its message right after connecting, so it is waiting by now. When
    // descriptors or places are short, a connection with nothing to say goes at once (its
    // caller, if it is a start, simply tries again); the queue behind it then drains.
    int waiting = 0;
    const bool said = ::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0;
    const bool full = FClients >= kMaxClients;
    if ((!said && (full || FShort)) || FClients >= 2 * kMaxClients) {
      ::close(fd);
      continue;
    }
    Serve(fd);
  }
}

void TInstanceServer::Serve(int fd) {
  auto* sock = new QLocalSocket(this);
  if (!sock->setSocketDescriptor(fd)) {
    ::close(fd);
    delete sock;
    return;
  }
  ++FClients;
  connect(sock, &QObject::destroyed, this, [this] { --FClients; });
  connect(sock, &QLocalSocket::disconnected, sock, &QObject::deleteLater);
  auto* idle = new QTimer(sock);
  idle->setSingleShot(true);
  connect(idle, &QTimer::timeout, sock, [sock] {
    sock->abort();
    sock->deleteLater();
  });
  idle->start(kIdleMs);
  connect(sock, &QLocalSocket::readyRead, this, [this, sock] {
    if (!sock->canReadLine()) {
      if (sock->bytesAvailable() > 64) {
        sock->abort();  // not one of ours
        sock->deleteLater();
      }
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

}  // namespace zul
