// What the application counts cost per packet: UDP and TCP request-answer loops between two
// network namespaces, each run once without and once with the counting programs attached (the
// helper watching the client's adapter), and once more with another build's helper when one is
// named, in turns, several rounds. The CPU time of the whole exchange (client, server and the
// kernel's work on their behalf, which runs in their context) and of the helper, per packet that
// passes the client's adapter. Needs root.
//
//   apps_bench [HELPER [EXCHANGES [ROUNDS [OTHER-HELPER]]]]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FrameKit.h"
#include "ProgStats.h"
#include "capture/HelperStream.h"
#include "platform/ChildProcess.h"
#include "platform/ThreadWake.h"

namespace {

using namespace zul;

constexpr uint16_t kPort = 7201;
constexpr std::size_t kMessage = 64;

double CpuNs(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

double ChildrenCpuNs() {
  rusage r{};
  getrusage(RUSAGE_CHILDREN, &r);
  auto ns = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_usec) * 1e3;
  };
  return ns(r.ru_utime) + ns(r.ru_stime);
}

sockaddr_in At(const char* ip) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(kPort);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

// The far end, on threads of this process in the other namespace: UDP and TCP echo.
void Serve(const std::string& ns, bool tcp) {
  zultest::TNetnsGuard in(ns);
  const sockaddr_in a = At("198.51.100.2");
  const int s = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) return;
  char buf[2048];
  if (!tcp) {
    for (;;) {
      sockaddr_in from{};
      socklen_t len = sizeof(from);
      const ssize_t n = recvfrom(s, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n > 0)
        sendto(s, buf, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }
  listen(s, 4);
  for (;;) {
    const int c = accept(s, nullptr, nullptr);
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    for (ssize_t n; (n = read(c, buf, sizeof(buf))) > 0;)
      write(c, buf, static_cast<std::size_t>(n));
    close(c);
  }
}

// `rounds` request-answer exchanges from the client's namespace; the process's CPU time.
double Loop(bool tcp, int rounds) {
  const sockaddr_in to = At("198.51.100.2");
  const int s = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
  int one = 1;
  if (tcp) setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) != 0) return -1;
  char buf[kMessage] = {};
  const double start = CpuNs(CLOCK_PROCESS_CPUTIME_ID);
  for (int i = 0; i < rounds; ++i) {
    if (write(s, buf, sizeof(buf)) != static_cast<ssize_t>(sizeof(buf))) return -1;
    std::size_t got = 0;
    while (got < sizeof(buf)) {
      const ssize_t n = read(s, buf + got, sizeof(buf) - got);
      if (n <= 0) return -1;
      got += static_cast<std::size_t>(n);
    }
  }
  const double cpu = CpuNs(CLOCK_PROCESS_CPUTIME_ID) - start;
  close(s);
  return cpu;
}

// The helper counting the client's adapter, started in the client's namespace.
std::unique_ptr<TChildProcess> StartHelper(const std::string& path) {
  auto h = std::make_unique<TChildProcess>(path, std::vector<std::string>{"--apps"});
  TAddressTable t;
  AddAddress(t, htonl(0xC6336401), htonl(0xFFFFFF00));  // 198.51.100.1/24
  TStreamWriter w;
  w.Hello(kStreamControl);
  w.Watched({{"zba0", t}});
  h->WriteInput(w.Data(), w.Size());
  // The greeting says the programs are attached.
  if (WaitReadable(h->Output(), std::chrono::milliseconds(5000)) == TReadiness::TimedOut) return {};
  uint8_t hello[12];
  if (read(h->Output(), hello, sizeof(hello)) != sizeof(hello)) return {};
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return h;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::string helper = argc > 1 ? argv[1] : ZUL_BENCH_CAPTURE_HELPER;
  const int exchanges = argc > 2 ? std::atoi(argv[2]) : 200000;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  if (exchanges <= 0 || rounds <= 0) {
    std::fprintf(stderr, "apps_bench: EXCHANGES and ROUNDS are positive numbers\n");
    return 2;
  }
  // A second helper (another build) measured in the same rounds, for a before-and-after figure
  // that the machine's drifting load does not blur.
  std::vector<std::pair<std::string, std::string>> helpers = {{"this", helper}};
  if (argc > 4) helpers.insert(helpers.begin(), {"other", argv[4]});
  if (!zultest::HaveRoot()) {
    std::fprintf(stderr, "apps_bench: needs root (network namespaces, BPF)\n");
    return 1;
  }
  zultest::TNetnsLab lab("zb");
  const std::string a = lab.AddSpace("a"), b = lab.AddSpace("b");
  lab.AddVeth(a, "zba0", b, "zbb0", "198.51.100.1/24");
  lab.Exec(b, "ip addr add 198.51.100.2/24 dev zbb0");
  std::thread(Serve, b, false).detach();
  std::thread(Serve, b, true).detach();
  zultest::TNetnsGuard in(a);
  // Neighbours resolved, caches warm, and the servers' threads listening.
  for (const bool tcp : {false, true}) {
    int tries = 0;
    while (Loop(tcp, 1000) < 0) {
      if (++tries == 50) {
        std::fprintf(stderr, "apps_bench: the %s server does not answer\n", tcp ? "TCP" : "UDP");
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  std::printf("%-5s %-6s %14s %14s %12s %12s %8s %12s %10s\n", "proto", "helper", "without ns/pkt",
              "with ns/pkt", "added ns", "helper ns", "ratio", "hook ns/run", "runs/pkt");
  // Run 0 is without the programs, run k with helpers[k - 1].
  const std::size_t kinds = helpers.size() + 1;
  int crowded = 0;
  for (const bool tcp : {false, true}) {
    std::vector<std::vector<double>> cpu(kinds), helperNs(kinds), hookNs(kinds), hookRuns(kinds);
    for (int r = 0; r < rounds; ++r) {
      // Turn the order each round, so that a drift of the machine's load favours none.
      for (std::size_t step = 0; step < kinds; ++step) {
        const std::size_t kind = (step + static_cast<std::size_t>(r)) % kinds;
        const std::vector<uint32_t> others = HookIds();
        // Another helper's hooks (a test's, another session's) weigh on every loop alike.
        if (!others.empty()) ++crowded;
        std::unique_ptr<TChildProcess> h;
        if (kind > 0 && !(h = StartHelper(helpers[kind - 1].second))) {
          std::fprintf(stderr, "apps_bench: the helper %s did not start\n",
                       helpers[kind - 1].second.c_str());
          return 1;
        }
        const double before = ChildrenCpuNs();
        const double loop = Loop(tcp, exchanges);
        if (loop < 0) {
          std::fprintf(stderr, "apps_bench: the %s loop failed\n", tcp ? "TCP" : "UDP");
          return 1;
        }
        // Two packets pass the client's adapter per exchange.
        cpu[kind].push_back(loop / (2.0 * exchanges));
        if (!h) continue;
        // The hooks' own time as the kernel measures it, in a shorter loop of its own: measuring
        // costs two clock reads per run, which the timed loop above should not carry.
        const int measured = std::max(exchanges / 4, 1);
        std::vector<uint32_t> ours;
        for (const uint32_t id : HookIds())
          if (std::find(others.begin(), others.end(), id) == others.end()) ours.push_back(id);
        if (SetStats(true)) {
          const TProgStats statsBefore = HookStats(ours);
          Loop(tcp, measured);
          const TProgStats statsAfter = HookStats(ours);
          SetStats(false);
          if (statsAfter.Runs > statsBefore.Runs)
            hookNs[kind].push_back((statsAfter.Ns - statsBefore.Ns) /
                                   (statsAfter.Runs - statsBefore.Runs));
          hookRuns[kind].push_back((statsAfter.Runs - statsBefore.Runs) / (2.0 * measured));
        }
        h->CloseInput();
        h->Wait(std::chrono::milliseconds(2000));
        helperNs[kind].push_back((ChildrenCpuNs() - before) / (2.0 * (exchanges + measured)));
      }
    }
    const double o = Median(cpu[0]);
    for (std::size_t kind = 1; kind < kinds; ++kind) {
      const double w = Median(cpu[kind]);
      std::printf("%-5s %-6s %14.1f %14.1f %12.1f %12.2f %8.3f %12.1f %10.2f\n",
                  tcp ? "tcp" : "udp", helpers[kind - 1].first.c_str(), o, w, w - o,
                  Median(helperNs[kind]), w / o, hookNs[kind].empty() ? 0.0 : Median(hookNs[kind]),
                  hookRuns[kind].empty() ? 0.0 : Median(hookRuns[kind]));
    }
  }
  if (crowded > 0)
    std::fprintf(stderr,
                 "apps_bench: another helper's counting programs were attached in %d runs\n",
                 crowded);
  return 0;
}
