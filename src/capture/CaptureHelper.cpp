// zul-capture: the one small program that holds the capture capabilities. It lists the capture
// devices, or counts the traffic of one network adapter: it captures the frames' headers,
// classifies each by the address table the program sends on its input, and writes only the sums
// to its output, until its input closes or SIGTERM comes. With --apps it counts the traffic of
// the applications instead, by the kernel's counting programs (see apps/AppHelper.h). No frame,
// header or address of a frame ever leaves it. It takes no option beyond these, gives up every
// capability before it reads anything the program sends (with --apps, all but the reading of its
// counters where the kernel asks for it), and writes errors to standard error as text. No Qt.
#include <linux/capability.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <latch>
#include <string>
#include <string_view>

#include "capture/FrameCounter.h"
#include "capture/HelperStream.h"
#include "capture/Snoop.h"
#include "capture/apps/AppHelper.h"
#include "platform/Log.h"

namespace zul {
namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t StopSignal = 0;

void OnStopSignal(int) {
  StopSignal = 1;
}

const char* const kUsage =
    "Usage: zul-capture --list\n"
    "       zul-capture --capture DEVICE\n"
    "       zul-capture --apps\n"
    "Lists the capture devices, or counts the traffic of one network adapter by the address\n"
    "table read from standard input, or the traffic of this user's applications on the adapters\n"
    "read from standard input, writing the counts to standard output, until standard input\n"
    "closes or SIGTERM comes.\n";

// What is left of the privileges: none, and no way to gain any. Capabilities belong to each
// thread, so every thread calls this for itself.
void DropPrivileges() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capset, &header, data) != 0)
    LogLine(std::string("cannot drop capabilities: ") + std::strerror(errno));
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
}

// Whether `name` is a network adapter of a kind the program counts: a device of the kernel's
// network stack (of this network namespace) that is not a loopback. The library's pseudo-devices
// ("any", netlink, netfilter, USB, Bluetooth, D-Bus) are no such device; a name is never a path.
bool IsCountedAdapter(const std::string& name, std::string& why) {
  if (name.empty() || name.size() >= IFNAMSIZ || name.find('/') != std::string::npos ||
      name.find_first_of(" \t\n:") != std::string::npos) {
    why = "not an adapter name: " + name;
    return false;
  }
  ifreq ifr{};
  std::memcpy(ifr.ifr_name, name.data(), name.size());
  const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const bool known = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  const bool loopback = known && (ifr.ifr_flags & IFF_LOOPBACK) != 0;
  const bool hw = known && ::ioctl(s, SIOCGIFHWADDR, &ifr) == 0;
  if (s >= 0) ::close(s);
  if (!known) {
    why = name + " is not a network adapter";
    return false;
  }
  if (loopback || (hw && ifr.ifr_hwaddr.sa_family == ARPHRD_LOOPBACK)) {
    why = name + " is not an adapter whose traffic is counted";
    return false;
  }
  return true;
}

int List() {
  DropPrivileges();
  std::string error;
  const TDeviceList devices = FindLibraryDevices(error);
  if (!error.empty()) {
    LogLine(error);
    return kHelperOpenFailed;
  }
  TStreamWriter w;
  w.Listing(devices.get());
  return FlushTo(STDOUT_FILENO, w) ? kHelperStopped : kHelperStreamFailed;
}

class TCounting {
 public:
  int Run(const std::string& device);

 private:
  // Reader thread: after each read.
  void ReadDone(bool more);
  // Sends the sums and, now and then or when `final`, the kernel's counts. False when the
  // program went away.
  bool SendCounts(bool final);
  // Takes what came on the input; false on a malformed control stream.
  bool TakeInput(bool& inputOpen);

  TSnoop Snoop;
  TFrameCounter Counter;
  TStreamWriter Out;
  TStreamParser Control{kStreamControl};
  Clock::time_point LastSent;
  Clock::time_point LastStats;
  std::atomic<bool> OutputFailed{false};
  bool ReadFailed = false;
};

bool TCounting::SendCounts(bool final) {
  TCountDeltas deltas{};
  if (Counter.TakeDeltas(deltas)) Out.Counts(deltas);
  const auto now = Clock::now();
  if (final || now - LastStats >= std::chrono::milliseconds(kStatsPeriodMs)) {
    if (const auto stats = Snoop.CurrentStats()) {
      Out.Stats(stats->Received, stats->Dropped);
      LastStats = now;
    }
  }
  LastSent = now;
  if (Out.Size() == 0) return true;
  if (!FlushTo(STDOUT_FILENO, Out)) {
    OutputFailed = true;
    return false;
  }
  return true;
}

void TCounting::ReadDone(bool more) {
  // A read that emptied the ring sends at once; a flood sends every kCountsPeriodMs.
  if (more && Clock::now() - LastSent < std::chrono::milliseconds(kCountsPeriodMs)) return;
  SendCounts(false);
}

bool TCounting::TakeInput(bool& inputOpen) {
  std::string error;
  const bool ok =
      ReadControlInput(STDIN_FILENO, Control, inputOpen, error, "the address table", [this] {
        if (Control.RecordKind() == TRecordKind::Table) Counter.SetTable(Control.Table());
      });
  if (!ok) LogLine(error);
  return ok;
}

int TCounting::Run(const std::string& device) {
  std::string why;
  if (!IsCountedAdapter(device, why)) {
    LogLine(why);
    return kHelperUsage;
  }
  Snoop.SetAdapterName(device);
  if (Snoop.AdapterName() != device) {
    // Listed by the kernel but not by the library: nothing to capture on.
    LogLine("Snoop Error: Invalid AdapterName");
    return kHelperOpenFailed;
  }
  Snoop.ThreadSafe = false;
  Snoop.SnapLen = kCaptureSnapLen;
  Snoop.BufferSize = kCaptureBufferBytes;
  Snoop.ReadTimeOut = kCaptureTimeoutMs;
  Snoop.Flags = 1;
  std::latch readerDropped(1);
  Snoop.OnReaderStart = [&readerDropped] {
    DropPrivileges();
    readerDropped.count_down();
  };
  Snoop.OnCapture = [this](TSnoop* s, const pcap_pkthdr* h, const uint8_t* f) {
    Counter.Count(s->LinkType(), f, h->caplen, h->len);
  };
  Snoop.OnReadDone = [this](bool more) { ReadDone(more); };
  Snoop.OnReadError = [this](const std::string&) { ReadFailed = true; };
  Snoop.Open();
  if (!Snoop.Active()) {
    DropPrivileges();
    LogLine(Snoop.LastError());
    return Snoop.PermissionDenied() ? kHelperDenied : kHelperOpenFailed;
  }
  DropPrivileges();
  // Nothing the program sends is read before every thread has let go of its privileges.
  readerDropped.wait();
  Out.Hello(kStreamCapture);
  Out.Opened(Snoop.LinkType(), kCaptureSnapLen);
  // The kernel's counts go with the first counts, then at most kStatsPeriodMs apart.
  LastSent = Clock::now();
  if (!FlushTo(STDOUT_FILENO, Out)) {
    Counter.Abandon();
    return kHelperStreamFailed;
  }

  bool inputOpen = true;
  bool badInput = false;
  sigset_t waitMask;
  sigprocmask(SIG_SETMASK, nullptr, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);
  // Waits without a time-out: an idle adapter wakes nobody. A stop signal, blocked outside the
  // wait, interrupts it.
  while (StopSignal == 0 && inputOpen && !badInput && Snoop.Active() && !OutputFailed) {
    pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {Snoop.HandoverDescriptor(), POLLIN, 0}};
    if (::ppoll(p, 2, nullptr, &waitMask) < 0) continue;
    if (p[0].revents != 0) badInput = !TakeInput(inputOpen);
    if (p[1].revents != 0) Snoop.Serve();
  }
  // The first table never came: the frames that wait for it count nowhere.
  Counter.Abandon();
  // Closing drains what the kernel's ring still holds, so the last frames count.
  Snoop.Close();
  if (!SendCounts(true)) return kHelperStreamFailed;
  if (ReadFailed) {
    Out.Failed(Snoop.LastError(), Snoop.LastReason());
    FlushTo(STDOUT_FILENO, Out);
    LogLine(Snoop.LastReason());
    return kHelperReadFailed;
  }
  return badInput ? kHelperBadControl : kHelperStopped;
}

}  // namespace
}  // namespace zul

int main(int argc, char** argv) {
  using namespace zul;
  SetLogName("zul-capture");
  const std::string_view a1 = argc > 1 ? argv[1] : "";
  if (argc == 2 && a1 == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const bool list = argc == 2 && a1 == "--list";
  const bool capture = argc == 3 && a1 == "--capture";
  const bool apps = argc == 2 && a1 == "--apps";
  if (!list && !capture && !apps) {
    std::fprintf(stderr,
                 "zul-capture: give --list, --capture DEVICE or --apps and nothing else\n%s",
                 kUsage);
    return kHelperUsage;
  }
  // A reader that went away shows as a failed write, not as a silent death.
  ::signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  if (list) return List();
  // The stop signals reach the process only inside its wait, so that none is missed.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  try {
    if (apps) return RunApps(StopSignal);
    TCounting counting;
    return counting.Run(argv[2]);
  } catch (const std::exception& e) {
    LogLine(e.what());
    return kHelperOpenFailed;
  }
}
