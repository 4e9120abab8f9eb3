#include "capture/RemoteSnoop.h"

#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <vector>

#include "platform/Log.h"
#include "platform/ThreadWake.h"

namespace zul {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadBytes = 16 * 1024;

}  // namespace

std::string HelperErrorLine(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    constexpr std::string_view kPrefix = "zul-capture: ";
    if (line.starts_with(kPrefix)) line.erase(0, kPrefix.size());
    if (!line.empty() && !line.starts_with("warning: ")) return line.substr(0, 256);
    start = end + 1;
  }
  return {};
}

TDeviceList FindAllDevices(std::string& error) {
  std::unique_ptr<TChildProcess> helper;
  try {
    helper =
        std::make_unique<TChildProcess>(CaptureHelperPath(), std::vector<std::string>{"--list"});
  } catch (const std::exception& e) {
    error = std::string("Snoop Error: ") + e.what();
    return {};
  }
  helper->CloseInput();
  std::vector<uint8_t> bytes;
  const auto until = Clock::now() + std::chrono::milliseconds(kHelperStartMs);
  bool ended = false;
  while (!ended && Clock::now() < until) {
    if (WaitReadable(helper->Output(), std::chrono::milliseconds(50)) == TReadiness::TimedOut)
      continue;
    uint8_t buf[16384];
    const ssize_t n = ::read(helper->Output(), buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ended = true;
    else
      bytes.insert(bytes.end(), buf, buf + n);
    // A listing is small; one that never ends is not one.
    if (bytes.size() > (16u << 20)) break;
  }
  const TExitStatus status = helper->Wait(std::chrono::milliseconds(ended ? kHelperGraceMs : 0));
  const std::string text = HelperErrorLine(helper->TakeErrorText());
  if (!ended || !status.Exited || status.Code != kHelperStopped) {
    error = !text.empty() ? text
                          : "Snoop Error: The capture helper did not list the devices (" +
                                status.Text() + ")";
    return {};
  }
  TDeviceList list;
  ParseListing(bytes, list, error);
  return list;
}

TRemoteSnoop::TRemoteSnoop(TCounterBlock& counters, QObject* parent)
    : QObject(parent), Counters(&counters) {}

TRemoteSnoop::~TRemoteSnoop() {
  OnReadError = nullptr;
  Close();
}

void TRemoteSnoop::SetTable(const TAddressTable& table) {
  const bool changed = !SameAddresses(table, FTable);
  FTable = table;
  if (changed && FActive && !Closing && !SendTable())
    LogLine("the capture helper of " + FAdapterName + " takes no address table");
}

bool TRemoteSnoop::SendTable() {
  TStreamWriter w;
  w.Table(FTable);
  return Helper && Helper->WriteInput(w.Data(), w.Size());
}

std::optional<TCaptureStats> TRemoteSnoop::CurrentStats() const {
  return FActive ? FStats : std::nullopt;
}

void TRemoteSnoop::Open() {
  if (FActive) {
    FLastError = "Snoop Error: Already open";
    return;
  }
  FPermissionDenied = false;
  FStats.reset();
  Closing = false;
  StreamEnded = false;
  StreamError.clear();
  try {
    Helper = std::make_unique<TChildProcess>(CaptureHelperPath(),
                                             std::vector<std::string>{"--capture", FAdapterName});
  } catch (const std::exception& e) {
    FLastError = std::string("Snoop Error: ") + e.what();
    return;
  }
  // The table goes first, so that the helper has it before its first frame.
  TStreamWriter w;
  w.Hello(kStreamControl);
  w.Table(FTable);
  Helper->WriteInput(w.Data(), w.Size());
  Parser = std::make_unique<TStreamParser>(kStreamCapture);
  const auto until = Clock::now() + std::chrono::milliseconds(kHelperStartMs);
  while (!Parser->Opened() && !Parser->Failed() && !StreamEnded && Clock::now() < until) {
    if (WaitReadable(Helper->Output(), std::chrono::milliseconds(20)) == TReadiness::TimedOut)
      continue;
    if (!ReadOutput()) break;
  }
  if (!Parser->Opened()) {
    Helper->CloseInput();
    const TExitStatus status =
        Helper->Wait(std::chrono::milliseconds(StreamEnded ? kHelperGraceMs : 0));
    const std::string text = HelperErrorLine(Helper->TakeErrorText());
    FPermissionDenied = status.Exited && status.Code == kHelperDenied;
    if (!text.empty())
      FLastError = text;
    else if (Parser->Failed())
      FLastError = "Snoop Error: " + Parser->Error;
    else
      FLastError = "Snoop Error: The capture helper did not open the capture (" +
                   (StreamEnded ? status.Text() : std::string("no answer")) + ")";
    Helper.reset();
    Parser.reset();
    return;
  }
  FLinkType = Parser->LinkType();
  FActive = true;
  Notifier = std::make_unique<QSocketNotifier>(Helper->Output(), QSocketNotifier::Read);
  connect(Notifier.get(), &QSocketNotifier::activated, this, [this] {
    if (!ReadOutput() && !Closing) Finish(true);
  });
}

bool TRemoteSnoop::ReadOutput() {
  if (!Helper || StreamEnded) return false;
  const std::span<uint8_t> room = Parser->Room(kReadBytes);
  const ssize_t n = ::read(Helper->Output(), room.data(), room.size());
  if (n < 0) return errno == EINTR || errno == EAGAIN;
  if (n == 0) {
    StreamEnded = true;
    if (Parser->Pending() > 0 && StreamError.empty())
      StreamError = "Malformed capture stream: a record cut short";
    return false;
  }
  Parser->Commit(static_cast<std::size_t>(n));
  TakeRecords();
  return StreamError.empty();
}

void TRemoteSnoop::TakeRecords() {
  for (;;) {
    const TStreamParser::TStep step = Parser->Next();
    if (step == TStreamParser::TStep::NeedMore) return;
    if (step == TStreamParser::TStep::Failed) {
      // A stream that is not a capture helper's: nothing more of it counts.
      if (StreamError.empty()) StreamError = Parser->Error;
      if (Helper) Helper->Signal(SIGKILL);
      return;
    }
    switch (Parser->RecordKind()) {
      case TRecordKind::Counts: {
        // Where the classification of each frame would add it, once per helper answer.
        const TCountDeltas& d = Parser->Deltas();
        for (std::size_t i = 0; i < d.size(); ++i)
          (*Counters)[kCountedIndexes[i]] += static_cast<TCounterBlock::value_type>(d[i]);
        break;
      }
      case TRecordKind::Stats: {
        TCaptureStats s;
        s.Received = Parser->Received();
        s.Dropped = Parser->Dropped();
        FStats = s;
        break;
      }
      default:
        break;
    }
  }
}

void TRemoteSnoop::BeginClose(Clock::time_point drainUntil) {
  if (!FActive || Closing) return;
  Closing = true;
  // The helper drains the ring once its input closes, sends its last counts and ends.
  Helper->CloseInput();
  KillAt = drainUntil + std::chrono::milliseconds(kHelperGraceMs);
}

bool TRemoteSnoop::ServeClosing() {
  if (!Closing) return !FActive;
  while (Helper && !StreamEnded && StreamError.empty() &&
         WaitReadable(Helper->Output(), std::chrono::milliseconds(0)) != TReadiness::TimedOut) {
    if (!ReadOutput()) break;
  }
  if (StreamEnded || !StreamError.empty()) return true;
  if (Clock::now() >= KillAt) {
    // A helper that does not stop is stopped; what it did not send is lost.
    Helper->Signal(SIGKILL);
    return true;
  }
  return false;
}

void TRemoteSnoop::Close() {
  if (!FActive) return;
  BeginClose(Clock::now() + std::chrono::milliseconds(kDrainMs));
  while (!ServeClosing()) WaitReadable(Helper->Output(), std::chrono::milliseconds(10));
  Finish(false);
}

void TRemoteSnoop::Finish(bool failed) {
  if (!Helper) return;
  Notifier.reset();
  // Whatever the helper still wrote before its end counts, unless its stream was damaged.
  while (StreamError.empty() && ReadOutput()) {
  }
  const TExitStatus status = Helper->Wait(std::chrono::milliseconds(kHelperGraceMs));
  const std::string text = HelperErrorLine(Helper->TakeErrorText());
  std::string reason;
  if (!StreamError.empty()) {
    failed = true;
    FLastError = "Snoop Error: " + StreamError;
    reason = StreamError;
    LogLine("capture stream of " + FAdapterName + " failed: " + StreamError);
  } else if (failed || (!Closing && !(status.Exited && status.Code == kHelperStopped))) {
    failed = true;
    const bool told = Parser && Parser->Ended();
    FLastError = told ? Parser->FailedError() : kReadErrorText;
    reason = told && !Parser->FailedReason().empty() ? Parser->FailedReason()
             : !text.empty()                         ? text
                             : "the capture helper ended (" + status.Text() + ")";
    LogLine("capture on " + FAdapterName + " failed: " + reason);
  }
  if (FStats) {
    FLastStats.Received = FStats->Received;
    FLastStats.Dropped = FStats->Dropped;
  }
  Helper.reset();
  Parser.reset();
  FActive = false;
  Closing = false;
  FLinkType = -1;
  // Last, so that the handler finds the capture Closed and may open it again.
  if (failed && OnReadError) OnReadError(reason);
}

}  // namespace zul
