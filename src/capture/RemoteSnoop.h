// The program's end of one adapter's capture: the capture helper, which alone holds the capture
// rights, captures and classifies the adapter's frames; this starts it, tells it the adapter's
// address table whenever that changes, and adds the counts it answers with to the counters of
// the current second, on the main thread. No frame ever reaches the program. Qt Core, for the
// wake-up when the helper writes.
#pragma once

#include <QObject>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/AddressTable.h"
#include "capture/HelperStream.h"
#include "capture/Snoop.h"
#include "platform/ChildProcess.h"
#include "vartype.h"

class QSocketNotifier;

namespace zul {

// Report key of the listing's user-facing error.
inline constexpr const char* kSnoopListKey = "capture.list";
// How long Open waits for the capture helper to say the capture is open.
inline constexpr int kHelperStartMs = 5000;
// How long a stopping helper may take past its drain before it is killed.
inline constexpr int kHelperGraceMs = 1000;

class TRemoteSnoop : public QObject {
 public:
  // Counts go to `counters`: the program's Traffic.Counters, or a test's own block.
  explicit TRemoteSnoop(TCounterBlock& counters, QObject* parent = nullptr);
  ~TRemoteSnoop() override;
  TRemoteSnoop(const TRemoteSnoop&) = delete;
  TRemoteSnoop& operator=(const TRemoteSnoop&) = delete;

  // The device to capture on; read by Open.
  const std::string& AdapterName() const { return FAdapterName; }
  void SetAdapterName(const std::string& s) { FAdapterName = s; }
  // The adapter's local addresses: sent to the helper now when it runs and the table changed,
  // and at every Open.
  void SetTable(const TAddressTable& table);
  const TAddressTable& Table() const { return FTable; }

  bool Active() const { return FActive; }
  const std::string& LastError() const { return FLastError; }
  bool PermissionDenied() const { return FPermissionDenied; }
  int LinkType() const { return FLinkType; }
  // The kernel's counts of the open capture as the helper last sent them; none when closed or
  // before the first.
  std::optional<TCaptureStats> CurrentStats() const;
  const TCaptureStats& LastStats() const { return FLastStats; }

  // Main thread only. The outcome is in Active and LastError.
  void Open();
  // Main thread only. Returns once the helper has ended; what it counted up to its end, the
  // frames still in the kernel's ring included, is added first.
  void Close();
  // The first half of Close, so that several captures drain at the same time: the helper counts
  // what the ring holds until `drainUntil`, then ends. ServeClosing takes what it sends and says
  // whether it has ended; Close finishes.
  void BeginClose(std::chrono::steady_clock::time_point drainUntil);
  bool ServeClosing();

  // Runs on the main thread when the capture ended by itself (a read error, a helper that died
  // or sent what is not a capture stream), after it has become Closed.
  std::function<void(const std::string& reason)> OnReadError;

 private:
  // Reads what the helper wrote and takes its records. False once the stream ended or failed.
  bool ReadOutput();
  void TakeRecords();
  // Lets go of the helper; `failed` ends the capture as a read error with its reason.
  void Finish(bool failed);
  bool SendTable();

  TCounterBlock* Counters;
  std::string FAdapterName;
  TAddressTable FTable;
  bool FActive = false;
  std::string FLastError;
  bool FPermissionDenied = false;
  int FLinkType = -1;
  TCaptureStats FLastStats;
  std::optional<TCaptureStats> FStats;

  std::unique_ptr<TChildProcess> Helper;
  std::unique_ptr<QSocketNotifier> Notifier;
  std::unique_ptr<TStreamParser> Parser;
  bool Closing = false;
  bool StreamEnded = false;
  std::string StreamError;  // the stream was malformed: why
  std::chrono::steady_clock::time_point KillAt;
};

// The capture helper's device listing; `error` is empty on success (the list may still be
// empty). The helper lists what the capture library lists, in its order.
TDeviceList FindAllDevices(std::string& error);

// The helper's first line of text on its standard error, without its own prefix and warnings.
std::string HelperErrorLine(const std::string& text);

}  // namespace zul
