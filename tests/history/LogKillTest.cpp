// Writers killed at any moment: every hour they reported written is there, and the table's
// totals still add up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "history/LogTestSupport.h"

extern char** environ;

namespace zul {
namespace {

constexpr long kHoursPerRun = 9600;  // keeps the runs' keys apart

// Hours of "LAN" records written by each run, checking each record as it goes.
std::vector<long> HoursByRun(const test::TTable& table, std::size_t runs) {
  using std::chrono::sys_days;
  std::vector<std::vector<long>> hours(runs);
  auto it = table.find(tvLan);
  for (const auto& [key, amount] : it == table.end() ? test::TRows{} : it->second) {
    const long h = (sys_days{test::DateOf(key)} - sys_days{test::Date(2026, 12, 20)}).count() * 24 +
                   std::get<3>(key);
    const std::size_t run = static_cast<std::size_t>(h / kHoursPerRun);
    if (run >= runs) {
      ADD_FAILURE() << "record outside every run, hour " << h;
      continue;
    }
    hours[run].push_back(h % kHoursPerRun);
    // 60 seconds of 1024 bytes up and 2048 down: never a part of an hour, never two.
    EXPECT_EQ(amount, (test::TAmount{60.0, 120.0}));
  }
  std::vector<long> counts;
  for (auto& list : hours) {
    std::sort(list.begin(), list.end());
    for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i], static_cast<long>(i));
    counts.push_back(static_cast<long>(list.size()));
  }
  return counts;
}

TEST(TrafficLogKill, KilledWritersLoseNoReportedHourAndLeaveConsistentTotals) {
  test::TTempDir tmp;
  const std::string dir = tmp.Path();
  constexpr std::size_t kRuns = 15;
  std::mt19937 rng(20261209);
  std::uniform_int_distribution<int> delayMs(40, 900);
  std::vector<long> reported(kRuns, 0);
  long total = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);

  for (std::size_t run = 0; run < kRuns && std::chrono::steady_clock::now() < deadline; ++run) {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const std::string first = std::to_string(static_cast<long>(run) * kHoursPerRun);
    char* args[] = {const_cast<char*>(ZUL_LOG_WRITER), const_cast<char*>(dir.c_str()),
                    const_cast<char*>(first.c_str()), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, ZUL_LOG_WRITER, &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    ASSERT_EQ(rc, 0) << "cannot start " << ZUL_LOG_WRITER;

    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(rng)));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status)) << "writer ended by itself, status " << status;

    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    close(out[0]);
    const std::size_t end = text.rfind('\n');
    if (end != std::string::npos) {
      const std::size_t start = text.rfind('\n', end - 1);
      reported[run] = std::stol(text.substr(start == std::string::npos ? 0 : start + 1));
    }

    TTrafficLog log;
    log.Open(dir);
    const test::TTable table = test::ReadTable(log);
    test::ExpectConsistent(table);
    const std::vector<long> found = HoursByRun(table, kRuns);
    for (std::size_t r = 0; r <= run; ++r) {
      EXPECT_GE(found[r], reported[r]) << "run " << r << " lost hours it had written";
    }
    // At most the hour whose commit was under way when the kill came is there unreported.
    EXPECT_LE(found[run], reported[run] + 1) << "run " << run;
    total += found[run];
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GT(total, 0) << "no writer got an hour written before it was killed";
}

}  // namespace
}  // namespace zul
