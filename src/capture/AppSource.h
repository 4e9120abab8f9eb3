// The program's end of the per-application counts: the capture helper, which alone may load the
// kernel's counting programs, counts each application's traffic on the watched adapters; this
// starts it, tells it the adapters and their subnets whenever the watchers change, and hands on
// each second's bytes per application. Qt Core, for the wake-up when the helper writes.
#pragma once

#include <QObject>
#include <chrono>
#include <memory>
#include <string>

#include "capture/AppUsage.h"
#include "capture/HelperStream.h"
#include "platform/ChildProcess.h"

class QSocketNotifier;

namespace zul {

// The capabilities that capture and the application counts need, as setcap takes them: capture
// cap_net_raw and cap_net_admin; loading the counting programs cap_bpf and cap_net_admin, and
// cap_perfmon to name the processes that made the sockets.
inline constexpr const char* kHelperCapabilities =
    "cap_net_raw,cap_net_admin,cap_bpf,cap_perfmon+eip";

class TAppSource : public QObject {
  Q_OBJECT
 public:
  explicit TAppSource(QObject* parent = nullptr);
  ~TAppSource() override;
  TAppSource(const TAppSource&) = delete;
  TAppSource& operator=(const TAppSource&) = delete;

  // Main thread. Starts the helper with the watchers' adapters and follows their changes from
  // then on; the outcome is in Running and Unavailable.
  void Start();
  // Main thread. The helper's last part-second is handed on before it ends.
  void Stop();
  bool Running() const { return Helper != nullptr; }
  // Why the applications are not counted, with how to enable it; empty while they are.
  std::string Unavailable() const { return FUnavailable; }

  // The adapters counted: by default those whose capture is open, read again whenever the
  // watchers change. Sent to the helper when they differ from the last sent.
  void SetAdapters(const TWatchedAdapters& adapters);
  void FollowWatchers();

  // The last second's bytes per application; empty once a second passed without traffic.
  TAppDeltas LastSecond() const;

 Q_SIGNALS:
  // Main thread: once for each second in which applications moved bytes.
  void Counted(const zul::TAppDeltas& deltas);

 private:
  // Reads what the helper wrote, once; TakeRecords hands on the whole seconds in it.
  void ReadOutput();
  void TakeRecords();
  // Lets go of the helper; a non-empty `why` says why the counts stopped.
  void Finish(const std::string& why);
  bool SendAdapters();

  std::unique_ptr<TChildProcess> Helper;
  std::unique_ptr<QSocketNotifier> Notifier;
  std::unique_ptr<TStreamParser> Parser;
  TWatchedAdapters Adapters;
  bool Sent = false;
  TAppDeltas Pending;
  TAppDeltas Last;
  std::chrono::steady_clock::time_point LastAt;
  std::string FUnavailable;
};

// What the user is told when the helper could not count the applications, by its exit code
// and its own line of explanation; `helperPath` goes into the command that grants the rights.
std::string AppsUnavailableText(int exitCode, const std::string& helperLine,
                                const std::string& helperPath);

}  // namespace zul
