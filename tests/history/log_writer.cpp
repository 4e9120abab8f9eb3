// Counts hour after hour through the sampler until it is killed, and saves the settings after
// each hour as the program does when a window moves; the victim of the kill test.
// Usage: log_writer DATA_DIR FIRST_HOUR WAIT. The log is DATA_DIR/db/, the settings
// DATA_DIR/ZUL.cfg. The clock starts FIRST_HOUR hours after kWriterEpoch and each tick is one
// second later; every second carries kWriterSecond. WAIT 1: each hour is committed
// before the next begins; WAIT 0: the program's own hand-over to the log's writer thread.
// Prints "h N" once N hours of this run are committed, "c S" once the settings record stamped S
// (FIRST_HOUR + the hours closed before it) is saved.
#include "history/log_writer.h"

#include <signal.h>
#include <sys/prctl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "history/Sampler.h"
#include "settings/CfgF.h"

int main(int argc, char** argv) {
  using namespace std::chrono;
  if (argc != 4) {
    std::fprintf(stderr, "usage: log_writer DATA_DIR FIRST_HOUR WAIT\n");
    return 2;
  }
  // Never outlive the test that started us.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const std::string data = argv[1];
  const long firstHour = std::atol(argv[2]);
  const bool wait = std::string(argv[3]) == "1";

  zul::TTrafficLog log;
  long committed = 0;
  // On the log's writer thread, after each attempt.
  log.OnWriteResult = [&](const std::string& error) {
    if (!error.empty()) return;
    std::printf("h %ld\n", ++committed);
    std::fflush(stdout);
  };
  try {
    log.Open(data + "db/");
  } catch (const zul::TLogError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 3;
  }
  long tick = 0;
  auto clock = [&] {
    const long s = firstHour * 3600 + tick;
    const sys_days day = zul::test::kWriterEpoch + days{s / 86400};
    return zul::TLocalTime{zul::TDate{day}, static_cast<int>(s / 3600 % 24),
                           static_cast<int>(s / 60 % 60), static_cast<int>(s % 60)};
  };
  zul::TTraffic traffic;
  zul::TSampler sampler(traffic, log, clock);
  // Waiting, what is printed is what the table holds when the next hour begins, and the kill
  // comes in the middle of the writer's work; not waiting, it may come anywhere.
  sampler.WriteWait = wait ? seconds(10) : milliseconds(0);
  sampler.OnError = [](const std::string& e) { std::fprintf(stderr, "%s\n", e.c_str()); };
  sampler.ResetTotals();

  const auto deadline = steady_clock::now() + seconds(30);
  for (long hour = 0; hour < 9600 && steady_clock::now() < deadline; ++hour) {
    for (int s = 0; s < 3600; ++s) {
      ++tick;
      traffic.Counters = zul::test::kWriterSecond;
      sampler.SampleTick();
    }
    const auto stamp = static_cast<int32_t>(firstHour + hour);
    zul::TCfgRec cfg = zul::test::StampedCfg(stamp);
    try {
      zul::SaveCfgFile(data + "ZUL.cfg", cfg);
    } catch (const std::runtime_error& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 4;
    }
    std::printf("c %d\n", stamp);
    std::fflush(stdout);
    // An hour of the program lasts an hour: the writer is never far behind.
    while (sampler.PendingWrites() > 1) std::this_thread::sleep_for(milliseconds(1));
  }
  sampler.FlushTotals();
  return 0;
}
