// Wakes the main thread from another thread: an eventfd that a QSocketNotifier watches. The
// write and the read of the descriptor order the two threads, so what the waking thread wrote
// before Post is seen by the handler, without a heap object crossing threads. Qt Core only.
#pragma once

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/UniqueFd.h"

class QSocketNotifier;

namespace zul {

class TThreadWake : public QObject {
 public:
  // Created on the thread whose event loop runs `onWake`.
  explicit TThreadWake(std::function<void()> onWake, QObject* parent = nullptr);
  ~TThreadWake() override;
  TThreadWake(const TThreadWake&) = delete;
  TThreadWake& operator=(const TThreadWake&) = delete;

  // False when the kernel refused the descriptor; ErrorText says why.
  bool Valid() const { return Fd.Valid(); }
  const std::string& ErrorText() const { return FErrorText; }

  // Any thread. Several posts before the handler runs make one call.
  void Post() const;

 private:
  void Readable();

  TUniqueFd Fd;
  std::unique_ptr<QSocketNotifier> Notifier;
  std::function<void()> OnWake;
  std::string FErrorText;
};

enum class TReadiness { Readable, TimedOut, Failed };

// Waits at most `timeout` for `fd` to become readable. Failed: the descriptor reports an error or
// a hang-up, which no wait will change.
TReadiness WaitReadable(int fd, std::chrono::milliseconds timeout);

}  // namespace zul
