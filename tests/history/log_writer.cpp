// Writes hour after hour through the sampler until it is killed; the victim of the kill test.
// Usage: log_writer DB_DIR FIRST_HOUR. Each clock read is one hour later, counted in hours
// from 20 December 2026 00:00; every second carries the same traffic. After each hour that
// reached the table it prints the number of hours written so far.
#include <signal.h>
#include <sys/prctl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "capture/Sampler.h"

int main(int argc, char** argv) {
  using namespace std::chrono;
  if (argc != 3) {
    std::fprintf(stderr, "usage: log_writer DB_DIR FIRST_HOUR\n");
    return 2;
  }
  // Never outlive the test that started us.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const long firstHour = std::atol(argv[2]);

  zul::TTrafficLog log;
  try {
    log.Open(argv[1]);
  } catch (const zul::TLogError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 3;
  }
  long reads = 0;
  auto clock = [&] {
    const long h = firstHour + reads++;
    const sys_days day = sys_days{2026y / December / 20} + days{h / 24};
    return zul::TLocalTime{zul::TDate{day}, static_cast<int>(h % 24), 0, 0};
  };
  zul::TTraffic traffic;
  zul::TSampler sampler(traffic, log, clock);
  // Each hour is committed by the log's writer thread before the next begins, so that what is
  // printed is what the table holds; the kill then comes in the middle of the writer's work.
  sampler.WriteWait = seconds(10);
  sampler.OnError = [](const std::string& e) { std::fprintf(stderr, "%s\n", e.c_str()); };
  sampler.ResetTotals();

  const auto deadline = steady_clock::now() + seconds(30);
  for (long hour = 1; hour <= 100000 && steady_clock::now() < deadline; ++hour) {
    for (int s = 0; s < 60; ++s) {
      traffic.Counters = {1024, 2048, 3072, 512, 0, 0, 4096, 256, 0};
      sampler.SampleTick();
    }
    if (sampler.PendingWrites() == 0) {
      std::printf("%ld\n", hour);
      std::fflush(stdout);
    }
  }
  sampler.FlushTotals();
  return 0;
}
