#include "history/Period.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <utility>

#include "history/DataPlan.h"

namespace zul {
using namespace std::chrono;

namespace {

TDate Shift(TDate d, int byDays) {
  return TDate{sys_days{d} + days{byDays}};
}

TDate MondayOf(TDate d) {
  const unsigned iso = weekday{sys_days{d}}.iso_encoding();  // 1 = Monday ... 7 = Sunday
  return Shift(d, -static_cast<int>(iso - 1));
}

TDate FirstOfMonth(TDate d) {
  return d.year() / d.month() / day{1};
}

TDate LastOfMonth(TDate d) {
  return TDate{d.year() / d.month() / last};
}

// The log's query layer reads month/day/year with two-digit month and day whatever the locale.
std::string QueryDate(TDate d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02u/%02u/%04d", static_cast<unsigned>(d.month()),
                static_cast<unsigned>(d.day()), static_cast<int>(d.year()));
  return buf;
}

}  // namespace

TPeriodResult ComputePeriod(const TPeriodInput& in, TDate today) {
  TPeriodResult r{{}, in.Picker1, in.Picker2};
  TPeriod& p = r.Period;
  if (!in.Preset) {
    p = {pmRange, in.Picker1, in.Picker2};
    if (sys_days{p.PeriodStart} > sys_days{p.PeriodEnd}) std::swap(p.PeriodStart, p.PeriodEnd);
    r.Picker1 = p.PeriodStart;
    r.Picker2 = p.PeriodEnd;
    return r;
  }
  switch (in.TimeIndex) {
    case tpToday:
      p = {pmOneDate, today, {}};
      break;
    case tpYesterday:
      p = {pmOneDate, Shift(today, -1), {}};
      break;
    case tpLast7Days:  // eight calendar dates: today and the seven before it
      p = {pmRange, Shift(today, -7), today};
      break;
    case tpLastWeek: {
      const TDate monday = MondayOf(Shift(today, -7));
      p = {pmRange, monday, Shift(monday, 6)};
      break;
    }
    case tpThisMonth:
      p = {pmRange, FirstOfMonth(today), LastOfMonth(today)};
      break;
    case tpLastMonth: {
      const TDate inLastMonth = Shift(today, -static_cast<int>(unsigned{today.day()}) - 1);
      p = {pmRange, FirstOfMonth(inLastMonth), LastOfMonth(inLastMonth)};
      break;
    }
    case tpThisYear:
      p = {pmRange, today.year() / January / 1, today.year() / December / 31};
      break;
    case tpLastYear: {
      const year y = Shift(today.year() / January / 1, -5).year();
      p = {pmRange, y / January / 1, y / December / 31};
      break;
    }
    case tpAllTime:
      p = {pmAllTime, {}, {}};
      break;
    default:
      p = {pmNone, {}, {}};
      break;
  }
  if (p.PeriodMode == pmOneDate) {
    r.Picker1 = r.Picker2 = p.PeriodStart;
  } else if (p.PeriodMode == pmRange) {
    r.Picker1 = p.PeriodStart;
    r.Picker2 = p.PeriodEnd;
  }
  return r;
}

std::optional<std::string> QueryText(int view, int grouping, const TPeriod& period) {
  if (view < 0 || view >= kViewCount || grouping < 0 ||
      grouping >= static_cast<int>(kGroupingNames.size()) || period.PeriodMode == pmNone)
    return std::nullopt;
  std::string sql = "select * from bw.DB where Flag=" + std::to_string(grouping * 16 + view);
  switch (period.PeriodMode) {
    case pmOneDate:
      sql += " and CDate=\"" + QueryDate(period.PeriodStart) + "\"";
      break;
    case pmRange:
      sql += " and CDate>=\"" + QueryDate(period.PeriodStart) + "\" and CDate<=\"" +
             QueryDate(period.PeriodEnd) + "\"";
      break;
    default:
      break;
  }
  return sql + ";";
}

std::string FormatKB(long double kb, std::string_view decimalPoint) {
  static constexpr std::array<const char*, 4> kUnits = {" KB", " MB", " GB", " TB"};
  long double x = kb;
  for (std::size_t i = 0; i < kUnits.size(); ++i) {
    if (i > 0) x /= 1024;
    if (x < 1024) {
      char buf[64];
      // to_chars rounds like printf's "%.1f" but ignores the C locale, so the separator is ours.
      const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 1);
      if (ec != std::errc{}) return {};
      std::string text(buf, end);
      if (const auto dot = text.find('.'); dot != std::string::npos)
        text.replace(dot, 1, decimalPoint);
      return text + kUnits[i];
    }
  }
  return {};
}

std::string PeriodText(const TLogRecord& r, const TShortDate& shortDate) {
  const int y = static_cast<int>(r.CDate.year());
  const unsigned m = static_cast<unsigned>(r.CDate.month());
  switch (r.Flag & 240) {
    case lgHourly * 16: {
      char hours[48];
      std::snprintf(hours, sizeof hours, "%4.2d:00 -%3.2d:59", r.Hour, r.Hour);
      return shortDate(r.CDate) + hours;
    }
    case lgDaily * 16:
      return shortDate(r.CDate);
    case lgWeekly * 16:  // CDate is the Sunday that ends the week
      return shortDate(Shift(r.CDate, -6)) + " - " + shortDate(r.CDate);
    case lgMonthly * 16:
      return std::to_string(y) + "-" + std::to_string(m);
    case lgYearly * 16:
      return std::to_string(y);
    case kBillingBase:  // CDate is the cycle's last day, Hour its length in days
      return shortDate(Shift(r.CDate, -std::max(r.Hour, 1) + 1)) + " - " + shortDate(r.CDate);
    default:
      return {};
  }
}

}  // namespace zul
