// zul-capture: the one small program that holds the capture capabilities. It lists the capture
// devices, or captures on one and streams its frames to standard output in batches, until its
// input closes or SIGTERM comes. Errors go to standard error as text. No Qt.
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "capture/HelperStream.h"
#include "platform/SharedMemory.h"

namespace zul {
namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t StopSignal = 0;

constexpr int kDispatchFrames = 4096;

void OnStopSignal(int) {
  StopSignal = 1;
}

const char* const kUsage =
    "Usage: zul-capture --list\n"
    "       zul-capture --capture DEVICE [--snaplen N] [--promisc 0|1] [--timeout MS]\n"
    "                   [--buffer BYTES] [--filter EXPRESSION] [--drain-ms MS]\n"
    "                   --ring-bytes N\n"
    "Lists the capture devices, or captures on one until standard input closes or SIGTERM\n"
    "comes: frames go to the ring of N bytes shared on descriptor 3, announced on standard\n"
    "output.\n";

struct TOptions {
  bool List = false;
  std::string Device;
  int SnapLen = 1600;
  bool Promisc = true;
  int TimeoutMs = 100;
  int BufferBytes = 0;
  std::string Filter;
  int DrainMs = 200;
  int RingBytes = 0;
};

bool ParseInt(std::string_view text, int min, int max, int& out) {
  int v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc{} || end != text.data() + text.size() || v < min || v > max) return false;
  out = v;
  return true;
}

// A command line in error ends the program with kHelperUsage before anything is opened.
bool ParseOptions(int argc, char** argv, TOptions& o, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--list") {
      o.List = true;
      continue;
    }
    static constexpr std::string_view kValued[] = {"--capture",  "--snaplen",   "--promisc",
                                                   "--timeout",  "--buffer",    "--filter",
                                                   "--drain-ms", "--ring-bytes"};
    if (std::find(std::begin(kValued), std::end(kValued), a) == std::end(kValued)) {
      error = "unknown option " + std::string(a);
      return false;
    }
    if (i + 1 >= argc) {
      error = "missing value for " + std::string(a);
      return false;
    }
    const std::string_view v = argv[++i];
    bool ok = true;
    int promisc = 1;
    if (a == "--capture") {
      ok = !v.empty() && v.size() <= kMaxNameBytes;
      o.Device = v;
    } else if (a == "--snaplen") {
      ok = ParseInt(v, 1, static_cast<int>(kMaxStreamSnapLen), o.SnapLen);
    } else if (a == "--promisc") {
      ok = ParseInt(v, 0, 1, promisc);
      o.Promisc = promisc == 1;
    } else if (a == "--timeout") {
      ok = ParseInt(v, 0, 60000, o.TimeoutMs);
    } else if (a == "--buffer") {
      ok = ParseInt(v, 0, 1 << 30, o.BufferBytes);
    } else if (a == "--filter") {
      ok = v.size() <= 65536;
      o.Filter = v;
    } else if (a == "--ring-bytes") {
      ok = ParseInt(v, 1 << 19, 1 << 28, o.RingBytes) &&
           o.RingBytes % static_cast<int>(kRingAlign) == 0;
    } else {
      ok = ParseInt(v, 0, 10000, o.DrainMs);
    }
    if (!ok) {
      error = "bad value for " + std::string(a);
      return false;
    }
  }
  if (o.List != o.Device.empty()) {
    error = "give --list or --capture DEVICE";
    return false;
  }
  if (!o.List && o.RingBytes == 0) {
    error = "give --ring-bytes";
    return false;
  }
  return true;
}

// What is left of the privileges once the capture is open: none, and no way to gain any.
void DropPrivileges() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capset, &header, data) != 0)
    std::fprintf(stderr, "zul-capture: cannot drop capabilities: %s\n", std::strerror(errno));
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
}

// Writes all of `n` bytes; false when the reader went away or a stop signal came meanwhile.
bool WriteAll(const uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(STDOUT_FILENO, p, n);
    if (w < 0) {
      if (errno == EINTR && StopSignal == 0) continue;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

struct THandleDeleter {
  void operator()(pcap_t* p) const { pcap_close(p); }
};
using THandle = std::unique_ptr<pcap_t, THandleDeleter>;
struct TListDeleter {
  void operator()(pcap_if_t* p) const { pcap_freealldevs(p); }
};

int List() {
  DropPrivileges();
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_if_t* raw = nullptr;
  if (pcap_findalldevs(&raw, errbuf) != 0) {
    std::fprintf(stderr, "%s\n", errbuf);
    return kHelperOpenFailed;
  }
  const std::unique_ptr<pcap_if_t, TListDeleter> devices(raw);
  TStreamWriter w;
  w.Listing(devices.get());
  return WriteAll(w.Data(), w.Size()) ? kHelperStopped : kHelperStreamFailed;
}

class TCapture {
 public:
  TCapture(const TOptions& o, TSharedMemory& ring)
      : O(o), Ring(ring.Data(), ring.Data() + kRingHeaderBytes, ring.Size() - kRingHeaderBytes) {}
  int Run();

 private:
  int Open();
  // Reads what the kernel's ring holds into the shared ring and announces it; the library's
  // result of the last read.
  int ReadRing(Clock::time_point until = Clock::time_point::max());
  // Announces what the shared ring holds and writes the pending stream records.
  bool Flush();
  void SendStats(bool now);
  // After the input closed or a read failed: the ring's last frames, for at most DrainMs.
  void Drain();
  // While the shared ring is full: the program frees it as it goes. False gives the frame up.
  bool WaitForRoom();

  static void Collect(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    auto* self = reinterpret_cast<TCapture*>(user);
    if (self->GaveUp) return;
    if (!self->Ring.Frame(*header, bytes, [self] { return self->WaitForRoom(); })) {
      // A program that takes nothing more: the rest of this read is dropped.
      self->GaveUp = true;
      pcap_breakloop(self->H.get());
    }
  }

  const TOptions& O;
  THandle H;
  int Fd = -1;
  TRingWriter Ring;
  TStreamWriter W;
  bool GaveUp = false;
  std::size_t LastReadBytes = 0;  // written to the shared ring by the last ReadRing
  bool StreamFailed = false;
  std::optional<Clock::time_point> InputClosedAt;
  Clock::time_point LastStats;
  Clock::time_point LastPaced;
};

bool TCapture::WaitForRoom() {
  if (StopSignal != 0 || StreamFailed) return false;
  // The program can only free what it was told of.
  if (Ring.Unpublished() > 0 && !Flush()) return false;
  if (!InputClosedAt) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    char discard[256];
    if (::poll(&p, 1, 1) > 0 && ::read(STDIN_FILENO, discard, sizeof(discard)) == 0)
      InputClosedAt = Clock::now();
    return true;
  }
  // The input closed while the ring stays full: a program that stopped reading frees nothing.
  if (Clock::now() - *InputClosedAt > std::chrono::milliseconds(O.DrainMs + 1000)) return false;
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

int TCapture::Open() {
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  H.reset(pcap_create(O.Device.c_str(), errbuf));
  if (!H) {
    std::fprintf(stderr, "%s\n", errbuf);
    return kHelperOpenFailed;
  }
  pcap_set_snaplen(H.get(), O.SnapLen);
  pcap_set_promisc(H.get(), O.Promisc ? 1 : 0);
  pcap_set_timeout(H.get(), O.TimeoutMs);
  if (O.BufferBytes > 0) pcap_set_buffer_size(H.get(), O.BufferBytes);
  const int rc = pcap_activate(H.get());
  if (rc < 0) {
    const char* text = pcap_geterr(H.get());
    std::fprintf(stderr, "%s\n", text != nullptr && text[0] != '\0' ? text : pcap_statustostr(rc));
    const bool denied = rc == PCAP_ERROR_PERM_DENIED || rc == PCAP_ERROR_PROMISC_PERM_DENIED;
    return denied ? kHelperDenied : kHelperOpenFailed;
  }
  if (rc > 0) std::fprintf(stderr, "warning: %s\n", pcap_statustostr(rc));

  // The filter compiler wants the netmask of the device's first IPv4 address.
  bpf_u_int32 net = 0, mask = PCAP_NETMASK_UNKNOWN;
  if (pcap_lookupnet(O.Device.c_str(), &net, &mask, errbuf) != 0) mask = PCAP_NETMASK_UNKNOWN;
  bpf_program program{};
  if (pcap_compile(H.get(), &program, O.Filter.c_str(), 1, mask) != 0) {
    std::fprintf(stderr, "%s\n", pcap_geterr(H.get()));
    return kHelperOpenFailed;
  }
  const int installed = pcap_setfilter(H.get(), &program);
  pcap_freecode(&program);
  if (installed != 0) {
    std::fprintf(stderr, "%s\n", pcap_geterr(H.get()));
    return kHelperOpenFailed;
  }
  DropPrivileges();
  // Single-threaded: the helper waits in poll, so that a closed input is seen at once.
  if (pcap_setnonblock(H.get(), 1, errbuf) != 0 || (Fd = pcap_get_selectable_fd(H.get())) < 0) {
    std::fprintf(stderr, "%s\n", errbuf[0] != '\0' ? errbuf : "no descriptor to wait on");
    return kHelperOpenFailed;
  }
  W.Hello(kStreamCapture);
  W.Opened(pcap_datalink(H.get()), pcap_snapshot(H.get()));
  return Flush() ? kHelperStopped : kHelperStreamFailed;
}

int TCapture::ReadRing(Clock::time_point until) {
  // Reads until the kernel's ring is empty, announcing every half of the shared ring, so
  // that the program starts on the frames while the rest is read. A flood that never lets the
  // ring empty is read a shared ring's worth at a time, so that a stop is seen.
  const std::size_t announceBytes = static_cast<std::size_t>(O.RingBytes) / 2;
  int r = 0;
  GaveUp = false;
  LastReadBytes = 0;
  while (!GaveUp) {
    const std::size_t before = Ring.Unpublished();
    // A count, since an unlimited read goes on for as long as a flood lasts.
    r = pcap_dispatch(H.get(), kDispatchFrames, &TCapture::Collect,
                      reinterpret_cast<u_char*>(this));
    LastReadBytes += Ring.Unpublished() - std::min(before, Ring.Unpublished());
    if (r <= 0) break;
    if (Ring.Unpublished() >= announceBytes && !Flush()) break;
    if (LastReadBytes >= static_cast<std::size_t>(O.RingBytes) || Clock::now() >= until) break;
  }
  if (r == PCAP_ERROR_BREAK) r = 0;
  return r;
}

bool TCapture::Flush() {
  if (Ring.Unpublished() > 0) W.Ring(Ring.Publish());
  const bool ok = WriteAll(W.Data(), W.Size());
  W.Clear();
  if (!ok) StreamFailed = true;
  return ok;
}

void TCapture::SendStats(bool now) {
  const auto t = Clock::now();
  if (!now && t - LastStats < std::chrono::milliseconds(kStatsPeriodMs)) return;
  LastStats = t;
  pcap_stat st{};
  if (pcap_stats(H.get(), &st) == 0) W.Stats(st.ps_recv, st.ps_drop);
}

void TCapture::Drain() {
  const auto until = Clock::now() + std::chrono::milliseconds(O.DrainMs);
  // A partly filled block of the ring is handed over when its timer, the read time-out, fires:
  // an empty ring is believed once it stayed empty a little longer than that.
  const auto quiet = std::chrono::milliseconds(std::min(O.TimeoutMs, O.DrainMs) + kDrainQuietMs);
  auto lastFrames = Clock::now();
  while (Clock::now() < until && StopSignal == 0) {
    pollfd p{Fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, 2);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) {
      if (Clock::now() - lastFrames >= quiet) break;
      continue;
    }
    if ((p.revents & POLLIN) == 0) break;  // the device went away: nothing more will come
    const int r = ReadRing(until);
    if (LastReadBytes > 0) lastFrames = Clock::now();
    if (!Flush() || r == PCAP_ERROR || Ring.Broken) break;
  }
}

int TCapture::Run() {
  if (const int rc = Open(); rc != kHelperStopped) return rc;
  std::string readError;
  bool inputOpen = true;
  while (StopSignal == 0 && inputOpen) {
    pollfd p[2] = {{Fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    // The bound keeps a stop signal that came just before the wait from waiting long.
    if (::poll(p, 2, 100) < 0) {
      if (errno == EINTR) continue;
      readError = std::string("poll: ") + std::strerror(errno);
      break;
    }
    if (p[1].revents != 0) {
      char discard[256];
      const ssize_t n = ::read(STDIN_FILENO, discard, sizeof(discard));
      inputOpen = n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN));
    }
    if (p[0].revents == 0) continue;
    const int r = ReadRing();
    const std::size_t read = LastReadBytes;
    if (read > 0) SendStats(false);
    if (!Flush() || Ring.Broken) return kHelperStreamFailed;
    if (r == PCAP_ERROR) {
      readError = pcap_geterr(H.get());
      break;
    }
    // A read that emptied the ring with little in it came early: the next waits a little, so
    // that a busy device reaches the program in fuller batches with fewer wake-ups.
    if (read > 0 && read < kPaceBatchBytes && inputOpen) {
      const auto due = LastPaced + std::chrono::milliseconds(kHandOverGapMs);
      const auto now = Clock::now();
      if (now < due) std::this_thread::sleep_for(due - now);
      LastPaced = Clock::now();
    }
  }
  if (StopSignal == 0) Drain();
  SendStats(true);
  if (!Flush()) return kHelperStreamFailed;
  if (!readError.empty()) {
    std::fprintf(stderr, "%s\n", readError.c_str());
    return kHelperReadFailed;
  }
  return kHelperStopped;
}

}  // namespace
}  // namespace zul

int main(int argc, char** argv) {
  using namespace zul;
  TOptions o;
  std::string error;
  if (argc == 2 && (std::string_view(argv[1]) == "--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!ParseOptions(argc, argv, o, error)) {
    std::fprintf(stderr, "zul-capture: %s\n%s", error.c_str(), kUsage);
    return kHelperUsage;
  }
  // A reader that went away shows as a failed write, not as a silent death.
  ::signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  if (o.List) return List();
  try {
    TSharedMemory ring(kRingFd, kRingHeaderBytes + static_cast<std::size_t>(o.RingBytes));
    TCapture capture(o, ring);
    return capture.Run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zul-capture: %s\n", e.what());
    return kHelperUsage;
  }
}
