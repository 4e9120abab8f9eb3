// Capture benchmark: the real TSnoop and TWatch::HandlePacket on one end of a veth pair in
// network namespaces made here, fed by a raw generator on the other end at fixed rates and at the
// most it reaches; through the capture helper and with the library in this process, with the
// watchers' settings (headers only) and with full frames, next to a plain pcap_next_ex counting
// loop and, when installed, iftop on the same device in the same run. The helper's CPU time
// counts with this process's.
// Reports frames sent, counted and dropped by the kernel, and CPU time per frame. Root only.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FrameKit.h"
#include "capture/Watch.h"

namespace {

using Clock = std::chrono::steady_clock;
using zultest::TMac;

constexpr int kSendBatch = 64;
constexpr double kRunSeconds = 3.0;
constexpr int kDrainMs = 400;  // after the generator stops, for frames still in the kernel buffer

// vSnoop: through the counting helper, as the watchers open it; vSnoopLibrary: the same capture
// and classification in this process, on the reader; vSnoopFull: in this process, whole frames
// and the component's default ring, handed to the event loop.
enum TVariant : int64_t { vSnoop = 0, vSnoopFull = 1, vPlain = 2, vIftop = 3, vSnoopLibrary = 4 };

struct TLab {
  std::unique_ptr<zultest::TNetnsLab> Lab;
  std::string NsCapture, NsGenerator;
  TMac CaptureMac{};
  std::unique_ptr<zultest::TRawSender> Sender;
  std::unique_ptr<zultest::TNetnsGuard> In;
};
TLab* gLab = nullptr;

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double ProcessCpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto secs = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  return secs(ru.ru_utime) + secs(ru.ru_stime);
}

// Sends `length`-byte Internet downloads addressed to the capture side for kRunSeconds, paced to
// `rate` frames a second (0: as fast as it can). Returns frames sent; `cpu` gets its CPU time,
// which includes the kernel's delivery to the capture's buffer.
uint64_t Generate(uint32_t length, uint64_t rate, double& cpu) {
  const auto frame = zultest::BuildFrame({gLab->CaptureMac,
                                          {0x02, 0x00, 0x5E, 0x10, 0x00, 0x77},
                                          0x0800,
                                          zultest::Ip("198.51.100.7"),
                                          zultest::Ip("192.0.2.20"),
                                          length});
  std::vector<iovec> iov(kSendBatch);
  std::vector<mmsghdr> msgs(kSendBatch);
  for (int i = 0; i < kSendBatch; ++i) {
    iov[i].iov_base = const_cast<uint8_t*>(frame.data());
    iov[i].iov_len = frame.size();
    msgs[i] = {};
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  const double cpu0 = ThreadCpuSeconds();
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(kRunSeconds);
  uint64_t sent = 0;
  for (auto now = start; now < end; now = Clock::now()) {
    uint64_t want = kSendBatch;
    if (rate != 0) {
      const double elapsed = std::chrono::duration<double>(now - start).count();
      const auto due = static_cast<uint64_t>(elapsed * static_cast<double>(rate));
      if (due <= sent) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        continue;
      }
      want = std::min<uint64_t>(due - sent, kSendBatch);
    }
    const int n = sendmmsg(gLab->Sender->Fd, msgs.data(), static_cast<unsigned>(want), 0);
    if (n > 0) sent += static_cast<uint64_t>(n);
  }
  cpu = ThreadCpuSeconds() - cpu0;
  return sent;
}

// Keeps the main thread busy for `ms` once a second, as a slow repaint or a log write would.
// Its CPU time goes to `spent`, so that it can be left out of the capture's.
void StartBusyTimer(QTimer& timer, int ms, double& spent) {
  QObject::connect(&timer, &QTimer::timeout, [ms, &spent] {
    const double cpu0 = ThreadCpuSeconds();
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
    }
    spent += ThreadCpuSeconds() - cpu0;
  });
  timer.start(1000);
}

struct TResult {
  uint64_t Sent = 0, Counted = 0, Dropped = 0, Batches = 0;
  double CaptureCpu = 0, Wall = 0, GeneratorCpu = 0, HelperCpu = 0;
};

// The CPU time of this process's capture helper so far, all its threads, 0 without one.
double HelperCpuSeconds() {
  std::ifstream children("/proc/self/task/" + std::to_string(gettid()) + "/children");
  long pid = 0;
  double total = 0;
  while (children >> pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!(comm >> name) || name != "zul-capture") continue;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code gone;
    for (const auto& task : std::filesystem::directory_iterator(tasks, gone)) {
      std::ifstream sched(task.path() / "schedstat");
      double ns = 0;
      if (sched >> ns) total += ns * 1e-9;
    }
  }
  return total;
}

TResult RunSnoop(uint32_t length, uint64_t rate, int busyMs, bool full, bool library) {
  TResult r;
  zul::TCounterBlock counters{};
  zul::TWatch watch(counters);
  watch.MAC = gLab->CaptureMac;
  watch.MACFound = true;
  zul::AddAddress(watch, zultest::Ip("192.0.2.20"), zultest::Ip("255.255.255.0"));
  // Through the helper as the watchers run it, or the same engine in this process: on its reader
  // (as the helper runs it), or with whole frames handed to the event loop.
  std::unique_ptr<zul::TRemoteSnoop> remote;
  std::unique_ptr<zul::TSnoop> local;
  std::unique_ptr<QSocketNotifier> handover;
  if (!library && !full) {
    remote = std::make_unique<zul::TRemoteSnoop>(counters);
    remote->SetAdapterName("zbc0");
    remote->SetTable(watch);
    remote->Open();
    if (!remote->Active()) {
      std::fprintf(stderr, "cannot open the capture: %s\n", remote->LastError().c_str());
      return r;
    }
  } else {
    local = std::make_unique<zul::TSnoop>();
    local->SetAdapterName("zbc0");
    local->ThreadSafe = full;
    local->SnapLen = full ? 1600 : zul::kWatchSnapLen;
    local->BufferSize = full ? zul::kDefaultBufferSize : zul::kWatchBufferSize;
    local->OnCapture = [&watch](zul::TSnoop* s, const pcap_pkthdr* h, const uint8_t* f) {
      watch.HandlePacket(s, h, f);
    };
    local->Open();
    if (!local->Active()) {
      std::fprintf(stderr, "cannot open the capture: %s\n", local->LastError().c_str());
      return r;
    }
    handover =
        std::make_unique<QSocketNotifier>(local->HandoverDescriptor(), QSocketNotifier::Read);
    QObject::connect(handover.get(), &QSocketNotifier::activated, handover.get(),
                     [&local] { local->Serve(); });
  }
  QTimer busy;
  double busyCpu = 0;
  if (busyMs > 0) StartBusyTimer(busy, busyMs, busyCpu);
  const double helper0 = HelperCpuSeconds();
  const double cpu0 = ProcessCpuSeconds() + helper0;
  const auto t0 = Clock::now();
  std::thread generator([&] { r.Sent = Generate(length, rate, r.GeneratorCpu); });
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(kRunSeconds * 1000) + kDrainMs, &loop, &QEventLoop::quit);
  loop.exec();
  generator.join();
  busy.stop();
  // Taken before the close, like the plain loop's: unmapping the kernel buffer is no frame's cost.
  r.Wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const double helper1 = HelperCpuSeconds();
  r.HelperCpu = helper1 - helper0;
  r.CaptureCpu = ProcessCpuSeconds() + helper1 - cpu0 - r.GeneratorCpu - busyCpu;
  if (remote) {
    remote->Close();
    r.Dropped = remote->LastStats().Dropped;
  } else {
    local->Close();
    r.Dropped = local->LastStats().Dropped;
    r.Batches = local->LastStats().Batches;
  }
  // Every generated frame is an Internet download to this computer: the bytes tell the frames.
  r.Counted = static_cast<uint64_t>(counters[zul::ciWanDown]) / length;
  return r;
}

TResult RunPlain(uint32_t length, uint64_t rate) {
  TResult r;
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_t* p = pcap_create("zbc0", errbuf);
  if (p == nullptr) return r;
  pcap_set_snaplen(p, zul::kWatchSnapLen);
  pcap_set_promisc(p, 1);
  pcap_set_timeout(p, 100);
  pcap_set_buffer_size(p, zul::kWatchBufferSize);
  if (pcap_activate(p) < 0) {
    std::fprintf(stderr, "cannot open the capture: %s\n", pcap_geterr(p));
    pcap_close(p);
    return r;
  }
  std::atomic<bool> stop{false};
  uint64_t counted = 0;
  const double cpu0 = ProcessCpuSeconds();
  const auto t0 = Clock::now();
  std::thread reader([&] {
    pcap_pkthdr* h = nullptr;
    const u_char* bytes = nullptr;
    while (!stop.load()) {
      if (pcap_next_ex(p, &h, &bytes) == 1) ++counted;
    }
  });
  std::thread generator([&] { r.Sent = Generate(length, rate, r.GeneratorCpu); });
  generator.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(kDrainMs));
  stop.store(true);
  pcap_breakloop(p);
  reader.join();
  r.Wall = std::chrono::duration<double>(Clock::now() - t0).count();
  r.CaptureCpu = ProcessCpuSeconds() - cpu0 - r.GeneratorCpu;
  pcap_stat st{};
  if (pcap_stats(p, &st) == 0) r.Dropped = st.ps_drop;
  pcap_close(p);
  r.Counted = counted;
  return r;
}

// The CPU seconds a process has used so far, from /proc (clock ticks).
double ChildCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stoull(f);
    if (i == 15) stime = std::stoull(f);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// iftop in text mode on the capture end, as a user would run it; its CPU time over the frames
// sent, since it reports no count of its own.
TResult RunIftop(uint32_t length, uint64_t rate) {
  TResult r;
  // Its text mode reads commands from standard input and spins on an input at its end: it gets
  // a pipe that stays open, as a terminal would.
  int input[2];
  if (pipe(input) != 0) return r;
  const pid_t child = fork();
  if (child < 0) return r;
  if (child == 0) {
    dup2(input[0], STDIN_FILENO);
    close(input[0]);
    close(input[1]);
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    execlp("iftop", "iftop", "-i", "zbc0", "-t", "-n", "-N", "-P", "-B", "-L", "1",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(input[0]);
  // Time to open its capture before the frames come.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  int status = 0;
  if (waitpid(child, &status, WNOHANG) == child) {
    close(input[1]);
    std::fprintf(stderr, "iftop ended at once (status %d): is it installed?\n", status);
    return r;
  }
  const double cpu0 = ChildCpuSeconds(child);
  const auto t0 = Clock::now();
  std::thread generator([&] { r.Sent = Generate(length, rate, r.GeneratorCpu); });
  generator.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(kDrainMs));
  r.Wall = std::chrono::duration<double>(Clock::now() - t0).count();
  kill(child, SIGTERM);
  rusage ru{};
  const pid_t ended = wait4(child, &status, 0, &ru);
  close(input[1]);
  if (ended != child) return r;
  auto secs = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  r.CaptureCpu = secs(ru.ru_utime) + secs(ru.ru_stime) - cpu0;
  r.Counted = r.Sent;
  return r;
}

const char* VariantLabel(int64_t v) {
  switch (v) {
    case vSnoop:
      return "counting helper, watcher settings (64 B, 8 MiB)";
    case vSnoopLibrary:
      return "TSnoop+classification in-process on the reader (64 B, 8 MiB)";
    case vSnoopFull:
      return "TSnoop in-process, whole frames to the event loop (1600 B, 32 MiB)";
    case vPlain:
      return "plain pcap_next_ex";
    default:
      return "iftop -t (per frame sent)";
  }
}

// Args: variant, frame length, rate (0: the generator's maximum), main thread busy ms a second.
void BM_Capture(benchmark::State& state) {
  if (gLab == nullptr) {
    state.SkipWithError("needs root: the benchmark makes network namespaces");
    return;
  }
  const auto variant = state.range(0);
  const auto length = static_cast<uint32_t>(state.range(1));
  const auto rate = static_cast<uint64_t>(state.range(2));
  const auto busyMs = static_cast<int>(state.range(3));
  TResult r;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    switch (variant) {
      case vSnoop:
      case vSnoopFull:
      case vSnoopLibrary:
        r = RunSnoop(length, rate, busyMs, variant == vSnoopFull, variant == vSnoopLibrary);
        break;
      case vPlain:
        r = RunPlain(length, rate);
        break;
      default:
        r = RunIftop(length, rate);
        break;
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
  }
  const double sent = static_cast<double>(r.Sent);
  const double counted = static_cast<double>(r.Counted);
  state.counters["sent_fps"] = sent / kRunSeconds;
  state.counters["counted"] = counted;
  state.counters["counted_pct"] = sent > 0 ? 100.0 * counted / sent : 0;
  state.counters["kernel_drops"] = static_cast<double>(r.Dropped);
  state.counters["cpu_ns_per_frame"] = counted > 0 ? r.CaptureCpu * 1e9 / counted : 0;
  if (r.HelperCpu > 0) state.counters["helper_ns_per_frame"] = r.HelperCpu * 1e9 / counted;
  if (r.Batches > 0) state.counters["frames_per_batch"] = counted / static_cast<double>(r.Batches);
  state.counters["core_pct"] = r.Wall > 0 ? 100.0 * r.CaptureCpu / r.Wall : 0;
  state.SetLabel(VariantLabel(variant));
}

BENCHMARK(BM_Capture)
    ->ArgNames({"variant", "len", "fps", "busy_ms"})
    ->Args({vSnoop, 1514, 200000, 0})
    ->Args({vSnoopLibrary, 1514, 200000, 0})
    ->Args({vSnoopFull, 1514, 200000, 0})
    ->Args({vPlain, 1514, 200000, 0})
    ->Args({vIftop, 1514, 200000, 0})
    ->Args({vSnoop, 1514, 200000, 50})
    ->Args({vSnoop, 60, 0, 0})
    ->Args({vSnoopLibrary, 60, 0, 0})
    ->Args({vPlain, 60, 0, 0})
    ->Args({vIftop, 60, 0, 0})
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // The capture helper of this build, unless the caller names another.
  setenv("ZUL_CAPTURE_HELPER", ZUL_BENCH_CAPTURE_HELPER, 0);
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  TLab lab;
  if (zultest::HaveRoot()) {
    try {
      lab.Lab = std::make_unique<zultest::TNetnsLab>("zb");
      lab.NsCapture = lab.Lab->AddSpace("c");
      lab.NsGenerator = lab.Lab->AddSpace("g");
      lab.Lab->AddVeth(lab.NsCapture, "zbc0", lab.NsGenerator, "zbg0", "192.0.2.20/24");
      lab.CaptureMac = lab.Lab->MacOf(lab.NsCapture, "zbc0");
      lab.Sender = std::make_unique<zultest::TRawSender>(lab.NsGenerator, "zbg0");
      lab.In = std::make_unique<zultest::TNetnsGuard>(lab.NsCapture);
      gLab = &lab;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "cannot build the namespaces: %s\n", e.what());
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gLab = nullptr;
  lab.In.reset();
  return 0;
}
