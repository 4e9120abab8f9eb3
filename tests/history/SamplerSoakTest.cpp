// Ten days of traffic through the sampler and the traffic log, second by second on a machine
// clock the test moves: hour, day, week, month and year ends, a sleep over midnight, stalled
// loops and a change of daylight saving time. Every byte counted reaches every grouping exactly
// once, and days of running cost no memory and no descriptors.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>

#include "history/LogTestSupport.h"
#include "history/Sampler.h"

namespace zul {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif
using namespace std::chrono;

// Central European time with its daylight saving rule, written out so that no zone files are
// needed.
constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";

// TZ set for as long as the object lives.
class TZone {
 public:
  explicit TZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) Old = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~TZone() {
    if (Old)
      setenv("TZ", Old->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> Old;
};

struct TWhen {
  int Y, M, D, H, Min;
};

std::time_t WallOf(TWhen w) {
  std::tm t{};
  t.tm_year = w.Y - 1900;
  t.tm_mon = w.M - 1;
  t.tm_mday = w.D;
  t.tm_hour = w.H;
  t.tm_min = w.Min;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

TLocalTime LocalOf(std::time_t wall) {
  std::tm t{};
  localtime_r(&wall, &t);
  return {test::Date(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday), t.tm_hour, t.tm_min, t.tm_sec};
}

// What the process holds: resident bytes and open descriptors.
struct TUsage {
  long long Resident = 0;
  long Descriptors = 0;
};
TUsage Usage() {
  TUsage u;
  long long size = 0, pages = 0;
  std::ifstream("/proc/self/statm") >> size >> pages;
  u.Resident = pages * sysconf(_SC_PAGESIZE);
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
    ++u.Descriptors;
  return u;
}

// The resident growth allowed from day 2 to day 10. AddressSanitizer keeps freed blocks in
// quarantine, so its process grows with every hour's writes without holding on to them.
#if defined(__SANITIZE_ADDRESS__)
constexpr long long kResidentSlack = 24LL << 20;
#else
constexpr long long kResidentSlack = 2LL << 20;
#endif

// Frames of one second, counted as the classification counts them: LAN frames from and to
// this computer, its Internet frames, and Internet frames of other computers (all PCs only).
void InjectSecond(std::mt19937& rng, TCounterBlock& c, std::array<uint64_t, kCounterCount>& sum) {
  std::uniform_int_distribution<int> frames(0, 8), kind(0, 5), length(60, 1514);
  const int n = frames(rng);
  for (int i = 0; i < n; ++i) {
    const auto l = static_cast<uint32_t>(length(rng));
    auto add = [&](CounterIndex k) {
      c[k] += l;
      sum[k] += l;
    };
    switch (kind(rng)) {
      case 0:
        add(ciLanUp);
        break;
      case 1:
        add(ciLanDown);
        break;
      case 2:
        add(ciWanUp);
        add(ciAllPcsUp);
        break;
      case 3:
        add(ciWanDown);
        add(ciAllPcsDown);
        break;
      case 4:
        add(ciAllPcsUp);
        break;
      default:
        add(ciAllPcsDown);
        break;
    }
  }
}

struct TScenario {
  const char* Name;
  TWhen Start;  // local time; the run lasts ten days of wall time
  TWhen SleepFrom;
  int SleepMinutes;
};

TEST(SamplerSoak, TenDaysOfSecondsReachEveryGroupingOnceAndCostNothingPerDay) {
  const TScenario scenarios[] = {
      // Sunday to Wednesday: two week ends, the month's and the year's end, asleep over the
      // midnight that begins 2027.
      {"a year end", {2026, 12, 27, 10, 0}, {2026, 12, 31, 23, 10}, 8 * 60 + 55},
      // Summer time starts on Sunday 28 March 2027 at 02:00; the month ends three days later.
      {"summer time begins", {2027, 3, 24, 12, 30}, {2027, 3, 29, 22, 40}, 9 * 60 + 5},
      // Summer time ends on Sunday 25 October 2026 at 03:00, which is 02:00 once more.
      {"summer time ends", {2026, 10, 23, 0, 15}, {2026, 10, 29, 23, 55}, 6 * 60},
  };
  const TZone zone(kBerlin);
  for (const TScenario& sc : scenarios) {
    SCOPED_TRACE(sc.Name);
    test::TTempDir tmp;
    const std::string dir = tmp.Path() + "db/";
    TTrafficLog log;
    log.Open(dir);
    TTraffic traffic;
    std::time_t wall = WallOf(sc.Start);
    steady_clock::time_point steady{};
    TSampler sampler(traffic, log, [&] { return LocalOf(wall); });
    std::vector<std::string> errors;
    sampler.OnError = [&](const std::string& e) { errors.push_back(e); };
    sampler.OnExitLoss = [&](const std::string& e) { errors.push_back(e); };
    sampler.ResetTotals();
    TSecondClock seconds;

    std::mt19937 rng(static_cast<unsigned>(wall));
    // Mostly short stalls; one in ten longer than the history ring, which the second clock
    // cuts short (the frames of the whole stall are still counted).
    std::bernoulli_distribution stalls(1.0 / 3000), longStall(0.1);
    std::uniform_int_distribution<int> stallLength(2, 480), longStallLength(500, 1500);
    std::array<uint64_t, kCounterCount> injected{};
    // Seconds awake in each local hour, and those of them that had a tick of their own.
    std::map<std::tuple<int, int, int, int>, int> awake, ticked;
    const std::time_t end = wall + 10 * 86400, day2 = wall + 2 * 86400;
    const std::time_t sleepFrom = WallOf(sc.SleepFrom);
    bool slept = false;
    std::optional<TUsage> atDay2;

    while (wall < end) {
      if (!slept && wall >= sleepFrom) {
        // Suspended: wall time goes on, the steady clock of the one-second timer does not.
        wall += sc.SleepMinutes * 60;
        slept = true;
      }
      // A stalled loop owes its seconds at the next tick; their frames were counted meanwhile.
      long span = 1;
      if (stalls(rng))
        span = std::min<long>(longStall(rng) ? longStallLength(rng) : stallLength(rng), end - wall);
      for (long i = 0; i < span; ++i) {
        InjectSecond(rng, traffic.Counters, injected);
        ++wall;
        const TLocalTime t = LocalOf(wall);
        ++awake[test::Key(t.Date, t.Hour)];
        if (span == 1) ++ticked[test::Key(t.Date, t.Hour)];
      }
      steady += std::chrono::seconds(span);
      sampler.SampleSeconds(seconds.Due(steady), {});
      if (!atDay2 && wall >= day2) {
        ASSERT_TRUE(log.Drain(std::chrono::seconds(10)));
        atDay2 = Usage();
      }
    }
    ASSERT_TRUE(log.Drain(std::chrono::seconds(10)));
    const TUsage atEnd = Usage();
    ASSERT_TRUE(atDay2.has_value());
    // The address sanitizer keeps freed memory in quarantine (256 MB by default), so resident
    // memory says nothing about growth there; descriptors still do.
    if (!kSanitized) {
      EXPECT_LE(atEnd.Resident - atDay2->Resident, kResidentSlack)
          << atDay2->Resident << " bytes resident on day 2, " << atEnd.Resident << " on day 10";
    }
    EXPECT_EQ(atEnd.Descriptors, atDay2->Descriptors);
    sampler.FlushTotals();
    EXPECT_EQ(errors, std::vector<std::string>{});

    log.Open(dir);
    const test::TTable table = test::ReadTable(log);
    test::ExpectConsistent(table);
    // Each view's bytes in kilobytes (exact binary fractions), in every grouping.
    for (int v = 0; v < kViewCount; ++v) {
      const TCounterPair pair = kViewCounters[v];
      const auto bytes = [&](int k) {
        return k == ciWanLanUp     ? injected[ciLanUp] + injected[ciWanUp]
               : k == ciWanLanDown ? injected[ciLanDown] + injected[ciWanDown]
                                   : injected[static_cast<std::size_t>(k)];
      };
      const test::TAmount want{static_cast<double>(bytes(pair.Up)) / 1024.0,
                               static_cast<double>(bytes(pair.Down)) / 1024.0};
      for (int g = 0; g < 5; ++g) {
        test::TAmount sum;
        const auto rows = table.find(g * 16 + v);
        ASSERT_NE(rows, table.end()) << "grouping " << g << ", view " << v;
        for (const auto& [key, amount] : rows->second) {
          sum.Up += amount.Up;
          sum.Dn += amount.Dn;
        }
        EXPECT_EQ(sum, want) << "grouping " << g << ", view " << v;
      }
    }
    // Hours are keyed by the local hours the machine was awake in: none for the sleep or for
    // the hour that summer time skips, one for each hour with ten minutes of ticks of its own
    // (the hour that summer time's end repeats is one).
    const test::TRows& hours = table.at(tvLan);
    for (const auto& [key, amount] : hours)
      EXPECT_TRUE(awake.contains(key)) << "a record for an hour the machine never saw, "
                                       << std::get<2>(key) << "th " << std::get<3>(key) << ":00";
    for (const auto& [key, count] : ticked) {
      if (count < 600) continue;
      EXPECT_TRUE(hours.contains(key))
          << "no record for " << std::get<2>(key) << "th " << std::get<3>(key) << ":00";
    }
    log.Close();
  }
}

}  // namespace
}  // namespace zul
