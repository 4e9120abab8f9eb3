// Writers killed at any moment and started again on the same files: every hour they reported
// written is there once, the table's totals still add up and never shrink, and the settings
// file holds a whole record.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "history/LogTestSupport.h"
#include "history/log_writer.h"

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
    const long h =
        (sys_days{test::DateOf(key)} - test::kWriterEpoch).count() * 24 + std::get<3>(key);
    const std::size_t run = static_cast<std::size_t>(h / kHoursPerRun);
    if (run >= runs) {
      ADD_FAILURE() << "record outside every run, hour " << h;
      continue;
    }
    hours[run].push_back(h % kHoursPerRun);
    // 3600 seconds of the writer's traffic: never a part of an hour, never two.
    EXPECT_EQ(amount, (test::TAmount{3600.0 * test::kWriterSecond[ciLanUp] / 1024,
                                     3600.0 * test::kWriterSecond[ciLanDown] / 1024}));
  }
  std::vector<long> counts;
  for (auto& list : hours) {
    std::sort(list.begin(), list.end());
    for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i], static_cast<long>(i));
    counts.push_back(static_cast<long>(list.size()));
  }
  return counts;
}

// Each grouping's "Internet & LAN" totals.
std::vector<test::TAmount> Totals(const test::TTable& table) {
  std::vector<test::TAmount> sums(5);
  for (const auto& [flag, rows] : table) {
    if (flag % 16 != tvInternetLan) continue;
    for (const auto& [key, a] : rows) {
      sums[static_cast<std::size_t>(flag / 16)].Up += a.Up;
      sums[static_cast<std::size_t>(flag / 16)].Dn += a.Dn;
    }
  }
  return sums;
}

// What a killed writer had printed: the hours it saw committed and the last settings it saved.
struct TReport {
  long Hours = 0;
  long Saved = -1;
};
TReport ReadReport(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  TReport r;
  std::istringstream lines(text);
  std::string line;
  // A line cut by the kill has no newline and is not counted.
  while (std::getline(lines, line) && !lines.eof()) {
    if (line.rfind("h ", 0) == 0) r.Hours = std::stol(line.substr(2));
    if (line.rfind("c ", 0) == 0) r.Saved = std::stol(line.substr(2));
  }
  return r;
}

pid_t StartWriter(const std::string& dir, long firstHour, bool wait, int& out) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  const std::string first = std::to_string(firstHour);
  char* args[] = {const_cast<char*>(ZUL_LOG_WRITER), const_cast<char*>(dir.c_str()),
                  const_cast<char*>(first.c_str()), const_cast<char*>(wait ? "1" : "0"), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, ZUL_LOG_WRITER, &actions, nullptr, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  out = pipeFds[0];
  if (rc != 0) {
    close(out);
    return -1;
  }
  return pid;
}

TEST(TrafficLogKill, KilledWritersLoseNoReportedHourCountNoneTwiceAndLeaveWholeSettings) {
  struct TRow {
    const char* Name;
    bool Wait;  // each hour committed before the next begins
    std::size_t Kills;
    int MinDelayMs, MaxDelayMs;
  } rows[] = {
      {"hours waited for, killed in the middle of the writer's work", true, 14, 40, 700},
      // Early kills also come while the log is opened or created and the first save is made.
      {"the program's hand-over to the writer thread", false, 18, 2, 500},
  };
  std::mt19937 rng(20261209);
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    test::TTempDir tmp;
    const std::string dir = tmp.Path();
    std::uniform_int_distribution<int> delayMs(row.MinDelayMs, row.MaxDelayMs);
    std::vector<long> reported(row.Kills, 0);
    long saved = -1;  // the newest settings stamp any run reported saved
    std::vector<test::TAmount> before(5);
    long total = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(12);

    for (std::size_t run = 0; run < row.Kills && std::chrono::steady_clock::now() < deadline;
         ++run) {
      const long first = static_cast<long>(run) * kHoursPerRun;
      int out = -1;
      const pid_t pid = StartWriter(dir, first, row.Wait, out);
      ASSERT_GT(pid, 0) << "cannot start " << ZUL_LOG_WRITER;
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(rng)));
      kill(pid, SIGKILL);
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFSIGNALED(status)) << "writer ended by itself, status " << status;
      const TReport report = ReadReport(out);
      close(out);
      reported[run] = report.Hours;

      TTrafficLog log;
      ASSERT_NO_THROW(log.Open(dir + "db/")) << "run " << run;
      EXPECT_EQ(log.TakeNotice(), "") << "run " << run;
      const test::TTable table = test::ReadTable(log);
      test::ExpectConsistent(table);
      const std::vector<long> found = HoursByRun(table, row.Kills);
      for (std::size_t r = 0; r <= run; ++r)
        EXPECT_GE(found[r], reported[r]) << "run " << r << " lost hours it had written";
      // At most the hour whose commit was under way when the kill came is there unreported.
      EXPECT_LE(found[run], reported[run] + 1) << "run " << run;
      const std::vector<test::TAmount> now = Totals(table);
      for (std::size_t g = 0; g < now.size(); ++g) {
        EXPECT_GE(now[g].Up, before[g].Up) << "grouping " << g << ", run " << run;
        EXPECT_GE(now[g].Dn, before[g].Dn) << "grouping " << g << ", run " << run;
      }
      before = now;
      total += found[run];

      // The settings file holds the newest record reported saved, or the one whose save the
      // kill interrupted; never a mixture, never nothing once a save was reported.
      const long next = report.Saved >= 0 ? report.Saved + 1 : first;
      if (report.Saved >= 0) saved = report.Saved;
      TCfgRec got;
      const TCfgLoadResult loaded = LoadCfgFile(dir + "ZUL.cfg", got, "");
      if (loaded == TCfgLoadResult::Missing) {
        EXPECT_EQ(saved, -1) << "run " << run;
      } else {
        ASSERT_EQ(loaded, TCfgLoadResult::Loaded) << "run " << run;
        EXPECT_TRUE(got.CustomKbps == saved || got.CustomKbps == next)
            << "run " << run << ": stamp " << got.CustomKbps << ", saved " << saved;
        EXPECT_EQ(EncodeCfg(got), EncodeCfg(test::StampedCfg(got.CustomKbps))) << "run " << run;
        saved = got.CustomKbps;
      }
      // A save cut short leaves its temporary file, until the next save removes it.
      std::vector<std::string> strays;
      for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name != "db" && name != "ZUL.cfg") strays.push_back(name);
      }
      EXPECT_LE(strays.size(), 1u) << "run " << run << ": " << ::testing::PrintToString(strays);
      if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(total, 0) << "no writer got an hour written before it was killed";
  }
}

}  // namespace
}  // namespace zul
