// Follows the kernel's changes of network links and their addresses: one rtnetlink socket read on
// the main thread, and one call after the changes have settled. Nothing runs while nothing
// changes. Qt Core only.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/UniqueFd.h"

class QSocketNotifier;

namespace zul {

// What a batch of rtnetlink messages said.
struct TNetLinkNews {
  int Links = 0;      // link added, removed or changed
  int Addresses = 0;  // address added or removed
  int Malformed = 0;  // messages whose length does not fit the buffer or their kind
  bool Relevant() const { return Links + Addresses > 0; }
};

// Reads the messages of one datagram, `length` bytes at `data`; every length is checked against
// the buffer before it is used, so a malformed datagram is counted, never followed.
TNetLinkNews ParseNetLinkMessages(const uint8_t* data, std::size_t length);

inline constexpr int kNetLinkSettleMs = 300;

class TNetLinkMonitor : public QObject {
  Q_OBJECT
 public:
  explicit TNetLinkMonitor(QObject* parent = nullptr);
  ~TNetLinkMonitor() override;
  TNetLinkMonitor(const TNetLinkMonitor&) = delete;
  TNetLinkMonitor& operator=(const TNetLinkMonitor&) = delete;

  // False when the kernel refused the socket; ErrorText says why.
  bool Valid() const { return Fd.Valid(); }
  const std::string& ErrorText() const { return FErrorText; }

 Q_SIGNALS:
  // On the main thread once the changes of a burst have settled.
  void Changed();

 private:
  void SocketReadable();

  TUniqueFd Fd;
  std::unique_ptr<QSocketNotifier> Notifier;
  QTimer Settle;
  std::string FErrorText;
};

}  // namespace zul
