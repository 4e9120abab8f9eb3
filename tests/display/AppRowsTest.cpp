// The Applications window's rules: the days of each period, the rows with their shares, and
// their order.
#include <gtest/gtest.h>

#include <limits>
#include <numeric>

#include "display/AppRows.h"

namespace zul {
namespace {
using namespace std::chrono;

constexpr TDate D(int y, unsigned m, unsigned d) {
  return TDate{year{y}, month{m}, day{d}};
}

TEST(AppsRange, EachPresetCoversItsDays) {
  const struct {
    int Preset;
    TDate Today, From, To;  // From and To: the custom range's pickers
    TDate WantFrom, WantTo;
  } cases[] = {
      // A Wednesday: its week runs Monday to Sunday.
      {apToday, D(2026, 12, 9), {}, {}, D(2026, 12, 9), D(2026, 12, 9)},
      {apThisWeek, D(2026, 12, 9), {}, {}, D(2026, 12, 7), D(2026, 12, 13)},
      {apThisWeek, D(2026, 12, 7), {}, {}, D(2026, 12, 7), D(2026, 12, 13)},   // a Monday
      {apThisWeek, D(2026, 12, 13), {}, {}, D(2026, 12, 7), D(2026, 12, 13)},  // a Sunday
      {apThisWeek, D(2027, 1, 1), {}, {}, D(2026, 12, 28), D(2027, 1, 3)},     // across the year
      {apThisMonth, D(2026, 12, 9), {}, {}, D(2026, 12, 1), D(2026, 12, 31)},
      {apThisMonth, D(2028, 2, 15), {}, {}, D(2028, 2, 1), D(2028, 2, 29)},  // a leap year
      {apLast30Days, D(2026, 12, 9), {}, {}, D(2026, 11, 10), D(2026, 12, 9)},
      {apLast30Days, D(2027, 1, 1), {}, {}, D(2026, 12, 3), D(2027, 1, 1)},
      {apCustom, D(2026, 12, 9), D(2026, 3, 1), D(2026, 3, 31), D(2026, 3, 1), D(2026, 3, 31)},
      // Given backwards, swapped.
      {apCustom, D(2026, 12, 9), D(2026, 12, 20), D(2026, 12, 1), D(2026, 12, 1), D(2026, 12, 20)},
      // A date that does not exist, or a preset that does not, is no range: today.
      {apCustom, D(2026, 12, 9), D(2026, 2, 30), D(2026, 3, 1), D(2026, 12, 9), D(2026, 12, 9)},
      {7, D(2026, 12, 9), {}, {}, D(2026, 12, 9), D(2026, 12, 9)},
      {-1, D(2026, 12, 9), {}, {}, D(2026, 12, 9), D(2026, 12, 9)},
  };
  for (const auto& c : cases) {
    const TDateRange r = AppsRange(c.Preset, c.Today, c.From, c.To);
    EXPECT_EQ(r, (TDateRange{c.WantFrom, c.WantTo}))
        << "preset " << c.Preset << " on " << sys_days{c.Today}.time_since_epoch().count();
    EXPECT_LE(sys_days{r.From}, sys_days{r.To});
  }
}

std::vector<std::string> Apps(const std::vector<TAppRow>& rows) {
  std::vector<std::string> out;
  for (const TAppRow& r : rows) out.push_back(r.App);
  return out;
}

TEST(AppRows, AddUpToTheirSourceWithSharesOfTheWhole) {
  const TAppDeltas totals = {
      {"org.mozilla.firefox", {3000, 1000, 0, 0}},
      {"ssh", {0, 0, 500, 500}},
      {std::string(kSystemApp), {0, 0, 1000, 0}},
      {"org.mozilla.firefox", {1000, 1000, 0, 0}},  // listed twice: added up
      {std::string(kOtherUsersApp), {1000, 0, 0, 1000}},
  };
  const TAppDeltas lastSecond = {{"ssh", {0, 0, 7, 3}}, {"curl", {50, 5, 0, 0}}};
  const std::vector<TAppRow> rows = BuildAppRows(
      totals, lastSecond, [](const std::string& app) -> std::pair<std::string, std::string> {
        if (app == "org.mozilla.firefox") return {"Firefox Web Browser", "firefox"};
        return {};
      });

  ASSERT_EQ(rows.size(), 5u) << "one row per application, the one of the last second too";
  long double sum = 0;
  double shares = 0;
  for (const TAppRow& r : rows) {
    sum += r.Total();
    shares += r.Share;
  }
  EXPECT_EQ(sum, 10000) << "every byte listed once";
  EXPECT_NEAR(shares, 100.0, 1e-9);

  const auto row = [&rows](std::string_view app) {
    for (const TAppRow& r : rows)
      if (r.App == app) return r;
    ADD_FAILURE() << "no row of " << app;
    return TAppRow{};
  };
  EXPECT_EQ(row("org.mozilla.firefox").Bytes, (TAppBytes{4000, 2000, 0, 0}));
  EXPECT_DOUBLE_EQ(row("org.mozilla.firefox").Share, 60.0);
  EXPECT_EQ(row("org.mozilla.firefox").Name, "Firefox Web Browser");
  EXPECT_EQ(row("org.mozilla.firefox").Icon, "firefox");
  EXPECT_EQ(row("ssh").Name, "ssh") << "nothing describes it: its identity";
  EXPECT_EQ(row("ssh").Icon, "");
  EXPECT_EQ(row("ssh").Now, (TAppBytes{0, 0, 7, 3}));
  EXPECT_DOUBLE_EQ(row("ssh").Share, 10.0);
  EXPECT_EQ(row("curl").Now.Total(), 55u);
  EXPECT_EQ(row("curl").Share, 0.0) << "nothing over the days chosen";
  EXPECT_EQ(row(kSystemApp).Icon, "computer");
  EXPECT_EQ(row(kOtherUsersApp).Icon, "system-users");

  // Nothing counted: no share, and no division by zero.
  for (const TAppRow& r : BuildAppRows({{"a", {}}, {"b", {}}}, {}, nullptr))
    EXPECT_EQ(r.Share, 0.0) << r.App;
  // Counters at the top stay there instead of wrapping when added up.
  const uint64_t top = std::numeric_limits<uint64_t>::max();
  const std::vector<TAppRow> full =
      BuildAppRows({{"a", {top, top, top, top}}, {"a", {top, 1, 0, 0}}}, {}, nullptr);
  ASSERT_EQ(full.size(), 1u);
  EXPECT_EQ(full[0].Bytes, (TAppBytes{top, top, top, top}));
  EXPECT_DOUBLE_EQ(full[0].Share, 100.0);
}

TEST(AppRows, SortByEveryColumnAsNumbersAndNamesWithoutCase) {
  // Amounts whose texts sort otherwise ("900.0 KB" after "1.9 MB"), and names in mixed case.
  const TAppDeltas totals = {
      {"b", {900 * 1024, 5, 1, 30}},
      {"C", {2 * 1000 * 1024, 7, 3, 10}},
      {"a", {10 * 1024, 6, 2, 20}},
  };
  const TAppDeltas lastSecond = {{"a", {100, 0, 0, 0}}, {"b", {9, 0, 0, 0}}, {"C", {10, 0, 0, 0}}};
  const struct {
    int Column;
    std::vector<std::string> Ascending;
  } cases[] = {
      {acName, {"a", "b", "C"}},       {acInternetDown, {"a", "b", "C"}},
      {acInternetUp, {"b", "a", "C"}}, {acLanDown, {"b", "a", "C"}},
      {acLanUp, {"C", "a", "b"}},      {acTotal, {"a", "b", "C"}},
      {acShare, {"a", "b", "C"}},      {acNow, {"b", "C", "a"}},
  };
  for (const auto& c : cases) {
    std::vector<TAppRow> rows = BuildAppRows(totals, lastSecond, nullptr);
    SortAppRows(rows, c.Column, false);
    EXPECT_EQ(Apps(rows), c.Ascending) << "column " << c.Column;
    SortAppRows(rows, c.Column, true);
    EXPECT_EQ(Apps(rows), std::vector<std::string>(c.Ascending.rbegin(), c.Ascending.rend()))
        << "column " << c.Column << " descending";
  }

  // Equal amounts keep their names' order whichever way the column is sorted.
  std::vector<TAppRow> ties = BuildAppRows(
      {{"zeta", {1, 0, 0, 0}}, {"Alpha", {1, 0, 0, 0}}, {"mid", {5, 0, 0, 0}}}, {}, nullptr);
  SortAppRows(ties, acTotal, true);
  EXPECT_EQ(Apps(ties), (std::vector<std::string>{"mid", "Alpha", "zeta"}));
  SortAppRows(ties, acTotal, false);
  EXPECT_EQ(Apps(ties), (std::vector<std::string>{"Alpha", "zeta", "mid"}));
}

}  // namespace
}  // namespace zul
