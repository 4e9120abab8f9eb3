#include "capture/AppSource.h"

#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

#include "capture/RemoteSnoop.h"
#include "capture/Watch.h"
#include "platform/Log.h"
#include "platform/ThreadWake.h"

namespace zul {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadBytes = 64 * 1024;
// A second's deltas older than this are not the last second's.
constexpr auto kLastSecondAge = std::chrono::milliseconds(1500);

void Merge(TAppDeltas& into, const TAppDeltas& more) {
  for (const TAppDelta& d : more) {
    auto it =
        std::find_if(into.begin(), into.end(), [&](const TAppDelta& e) { return e.App == d.App; });
    if (it == into.end())
      into.push_back(d);
    else
      it->Bytes += d.Bytes;
  }
}

}  // namespace

std::string AppsUnavailableText(int exitCode, const std::string& helperLine,
                                const std::string& helperPath) {
  const std::string told = helperLine.empty() ? "" : " (" + helperLine + ")";
  switch (exitCode) {
    case kHelperDenied: {
      const std::string command = std::string("setcap ") + kHelperCapabilities + " " + helperPath;
      return "The applications' traffic is not counted: ZUL's capture helper lacks the "
             "capabilities cap_bpf and cap_net_admin that load the kernel's counting programs "
             "(and cap_perfmon, by which they know the processes' names). Grant them once as root "
             "(\"su -c '" +
             command + "'\", or \"sudo " + command + "\"), then start ZUL again.";
    }
    case kHelperNoCgroup2:
      return "The applications' traffic is not counted: the system does not mount the unified "
             "cgroup hierarchy (cgroup v2). Start the system with it (the kernel option "
             "systemd.unified_cgroup_hierarchy=1, Debian's default since Debian 11)" +
             told + ".";
    case kHelperNoKernel:
      return "The applications' traffic is not counted: the kernel cannot run the counting "
             "programs on the cgroup hierarchy; it needs cgroup BPF and BTF (CONFIG_CGROUP_BPF, "
             "CONFIG_BPF_SYSCALL, CONFIG_DEBUG_INFO_BTF), as Debian's own kernels have" +
             told + ".";
    default:
      return "The applications' traffic is not counted: the capture helper did not start its "
             "counts" +
             (told.empty() ? std::string(" (exit code " + std::to_string(exitCode) + ")") : told) +
             ".";
  }
}

TAppSource::TAppSource(QObject* parent) : QObject(parent) {
  connect(&AdapterEvents(), &TAdapterEvents::WatchersChanged, this, [this] {
    if (Helper) FollowWatchers();
  });
}

TAppSource::~TAppSource() {
  Stop();
}

void TAppSource::Start() {
  if (Helper) return;
  FUnavailable.clear();
  Pending.clear();
  Sent = false;
  try {
    Helper =
        std::make_unique<TChildProcess>(CaptureHelperPath(), std::vector<std::string>{"--apps"});
  } catch (const std::exception& e) {
    FUnavailable = AppsUnavailableText(-1, e.what(), CaptureHelperPath());
    return;
  }
  Parser = std::make_unique<TStreamParser>(kStreamApps);
  TStreamWriter w;
  w.Hello(kStreamControl);
  Helper->WriteInput(w.Data(), w.Size());
  FollowWatchers();
  // The greeting says the programs are attached.
  bool ended = false;
  const auto until = Clock::now() + std::chrono::milliseconds(kHelperStartMs);
  while (Parser->Pending() < kRecordHeaderBytes + 8 && !ended && Clock::now() < until) {
    if (WaitReadable(Helper->Output(), std::chrono::milliseconds(20)) == TReadiness::TimedOut)
      continue;
    const std::span<uint8_t> room = Parser->Room(kReadBytes);
    const ssize_t n = ::read(Helper->Output(), room.data(), room.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      ended = true;
      break;
    }
    Parser->Commit(static_cast<std::size_t>(n));
  }
  if (ended || Parser->Pending() < kRecordHeaderBytes + 8 ||
      Parser->Next() != TStreamParser::TStep::Record) {
    Helper->CloseInput();
    const TExitStatus status = Helper->Wait(std::chrono::milliseconds(ended ? kHelperGraceMs : 0));
    std::string line = HelperErrorLine(Helper->TakeErrorText());
    if (line.empty() && Parser->Failed()) line = Parser->Error;
    if (line.empty() && !ended) line = "no answer";
    FUnavailable = AppsUnavailableText(status.Exited ? status.Code : -1, line, CaptureHelperPath());
    LogLine(FUnavailable);
    Helper.reset();
    Parser.reset();
    return;
  }
  Notifier = std::make_unique<QSocketNotifier>(Helper->Output(), QSocketNotifier::Read);
  // Main thread: the helper wrote.
  connect(Notifier.get(), &QSocketNotifier::activated, this, [this] { ReadOutput(); });
  // What came with the greeting.
  TakeRecords();
}

void TAppSource::TakeRecords() {
  for (;;) {
    switch (Parser->Next()) {
      case TStreamParser::TStep::NeedMore:
        return;
      case TStreamParser::TStep::Failed:
        Finish("the capture helper's application counts were damaged: " + Parser->Error);
        return;
      case TStreamParser::TStep::Record:
        if (Parser->RecordKind() != TRecordKind::AppDeltas) continue;
        Merge(Pending, Parser->Apps());
        if (Parser->AppsLast()) {
          Last = std::move(Pending);
          Pending.clear();
          LastAt = Clock::now();
          Q_EMIT Counted(Last);
        }
        // A handler may have stopped the counts.
        if (!Helper) return;
        continue;
    }
  }
}

void TAppSource::ReadOutput() {
  if (!Helper) return;
  const std::span<uint8_t> room = Parser->Room(kReadBytes);
  const ssize_t n = ::read(Helper->Output(), room.data(), room.size());
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    Finish("the capture helper's application counts ended");
    return;
  }
  Parser->Commit(static_cast<std::size_t>(n));
  TakeRecords();
}

void TAppSource::Stop() {
  if (!Helper) return;
  Notifier.reset();
  Helper->CloseInput();
  // The helper sends its last part-second and ends.
  const auto until = Clock::now() + std::chrono::milliseconds(kHelperGraceMs);
  while (Clock::now() < until) {
    if (WaitReadable(Helper->Output(), std::chrono::milliseconds(20)) == TReadiness::TimedOut)
      continue;
    const std::span<uint8_t> room = Parser->Room(kReadBytes);
    const ssize_t n = ::read(Helper->Output(), room.data(), room.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    Parser->Commit(static_cast<std::size_t>(n));
  }
  // Whatever whole seconds the helper still sent count, unless its stream was damaged.
  TakeRecords();
  Finish({});
}

void TAppSource::Finish(const std::string& why) {
  if (!Helper) return;
  Notifier.reset();
  if (!Parser->Failed() && why.empty())
    Helper->CloseInput();
  else
    Helper->Signal(SIGKILL);
  const TExitStatus status = Helper->Wait(std::chrono::milliseconds(kHelperGraceMs));
  const std::string line = HelperErrorLine(Helper->TakeErrorText());
  if (!why.empty()) {
    FUnavailable = "The applications' traffic is no longer counted: " + why +
                   (line.empty() ? " (" + status.Text() + ")" : " (" + line + ")") + ".";
    LogLine(FUnavailable);
  }
  Helper.reset();
  Parser.reset();
}

void TAppSource::SetAdapters(const TWatchedAdapters& adapters) {
  auto same = [](const TWatchedAdapters& a, const TWatchedAdapters& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (a[i].Name != b[i].Name || !SameAddresses(a[i].Table, b[i].Table)) return false;
    return true;
  };
  if (Sent && same(adapters, Adapters)) return;
  Adapters = adapters;
  if (Helper && !SendAdapters()) LogLine("the capture helper takes no list of adapters");
}

bool TAppSource::SendAdapters() {
  // The helper ends its counts on a name that cannot be an adapter's: such a name is not sent.
  TWatchedAdapters valid;
  for (const TWatchedAdapter& a : Adapters)
    if (IsAdapterName(a.Name)) valid.push_back(a);
  TStreamWriter w;
  w.Watched(valid);
  Sent = Helper && Helper->WriteInput(w.Data(), w.Size());
  return Sent;
}

void TAppSource::FollowWatchers() {
  TWatchedAdapters list;
  for (int32_t k = 0; k < WatcherCount && k < kMaxWatchers; ++k) {
    const TWatch* w = Watchers[k].get();
    if (w == nullptr || !w->Snoop || !w->Snoop->Active() || !IsAdapterName(w->DeviceName)) continue;
    list.push_back({w->DeviceName, static_cast<const TAddressTable&>(*w)});
  }
  SetAdapters(list);
}

TAppDeltas TAppSource::LastSecond() const {
  if (Clock::now() - LastAt > kLastSecondAge) return {};
  return Last;
}

}  // namespace zul
