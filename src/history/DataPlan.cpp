#include "history/DataPlan.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <sstream>
#include <stdexcept>

#include "history/Export.h"
#include "platform/Files.h"

namespace zul {
using namespace std::chrono;

namespace {

constexpr std::size_t kIniLimit = 1 << 20;
constexpr const char* kSection = "DataPlan";
constexpr std::array<const char*, 3> kDirectionNames = {"both", "download", "upload"};

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::optional<uint64_t> Unsigned(std::string_view s) {
  s = Trim(s);
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<bool> Bool(std::string_view s) {
  const std::string v = Lower(Trim(s));
  if (v == "true" || v == "1" || v == "yes") return true;
  if (v == "false" || v == "0" || v == "no") return false;
  return std::nullopt;
}

std::optional<std::vector<int>> Percents(std::string_view s) {
  std::vector<int> out;
  s = Trim(s);
  while (!s.empty()) {
    const std::size_t comma = s.find(',');
    const std::optional<uint64_t> p = Unsigned(s.substr(0, comma));
    if (!p || *p < 1 || *p > kPlanAlertMax) return std::nullopt;
    out.push_back(static_cast<int>(*p));
    if (comma == std::string_view::npos) break;
    s.remove_prefix(comma + 1);
    if (Trim(s).empty()) return std::nullopt;  // a trailing comma
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  if (out.size() > kPlanAlertCount) return std::nullopt;
  return out;
}

std::string JoinPercents(const std::vector<int>& p) {
  std::string out;
  for (int v : p) out += (out.empty() ? "" : ",") + std::to_string(v);
  return out;
}

// A section header's name, or none for any other line.
std::optional<std::string> SectionOf(std::string_view line) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return std::nullopt;
  return std::string(Trim(line.substr(1, line.size() - 2)));
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return lines;
}

std::vector<std::pair<std::string, std::string>> SectionValues(const TPlanSettings& s) {
  return {{"Enabled", s.Enabled ? "true" : "false"},
          {"View", std::to_string(s.View)},
          {"Direction", kDirectionNames[static_cast<std::size_t>(s.Direction)]},
          {"CapBytes", std::to_string(s.CapBytes)},
          {"CycleDay", std::to_string(s.CycleDay)},
          {"AlertPercents", JoinPercents(s.AlertPercents)},
          {"Sound", s.Sound ? "true" : "false"},
          {"Message", s.Message ? "true" : "false"}};
}

TDate AddDays(TDate d, int n) {
  return TDate{sys_days{d} + days{n}};
}

int DaysBetween(TDate from, TDate to) {
  return static_cast<int>((sys_days{to} - sys_days{from}).count());
}

uint64_t KbToBytes(double kb) {
  const double b = std::round(kb * 1024.0);
  return std::isfinite(b) && b > 0 && b < 1.8e19 ? static_cast<uint64_t>(b) : 0;
}

std::string Fixed1(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

// Percent with one decimal, cut rather than rounded, so that 89.96 % never reads as 90.0.
double Tenths(double percent) {
  return std::floor(percent * 10.0 + 1e-9) / 10.0;
}

}  // namespace

std::string CheckPlanSettings(const TPlanSettings& s) {
  if (s.View < 0 || s.View >= kViewCount) return "The plan's view must be 0 to 3.";
  if (s.CycleDay < 1 || s.CycleDay > 31)
    return "The day the billing cycle starts must be from 1 to 31.";
  if (s.CapBytes > kPlanCapMax) return "The plan's cap cannot be more than 1 EB.";
  if (s.Enabled && s.CapBytes == 0) return "The plan's cap must be larger than zero.";
  for (int p : s.AlertPercents)
    if (p < 1 || p > kPlanAlertMax) return "Alert levels must be from 1 to 1000 percent.";
  if (s.AlertPercents.size() > kPlanAlertCount) return "At most 10 alert levels can be set.";
  return {};
}

TPlanLoad ParsePlanSection(std::string_view ini, const std::string& iniPath) {
  TPlanLoad r;
  TPlanSettings& s = r.Settings;
  bool inside = false;
  auto bad = [&](const std::string& key, std::string_view value, const char* want) {
    if (r.Error.empty())
      r.Error = key + " in the [DataPlan] section of " + iniPath + " is \"" + std::string(value) +
                "\", which is not " + want + "; the data plan stays off.";
  };
  for (std::string_view line : Lines(ini)) {
    if (const auto name = SectionOf(line)) {
      inside = Lower(*name) == Lower(kSection);
      continue;
    }
    const std::string_view t = Trim(line);
    if (!inside || t.empty() || t.front() == ';' || t.front() == '#') continue;
    const std::size_t eq = t.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string key(Trim(t.substr(0, eq)));
    std::string_view value = Trim(t.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    const std::string k = Lower(key);
    if (k == "enabled" || k == "sound" || k == "message") {
      const auto b = Bool(value);
      if (!b)
        bad(key, value, "true or false");
      else
        (k == "enabled" ? s.Enabled : k == "sound" ? s.Sound : s.Message) = *b;
    } else if (k == "view") {
      const auto v = Unsigned(value);
      if (!v || *v >= static_cast<uint64_t>(kViewCount))
        bad(key, value, "a view from 0 to 3");
      else
        s.View = static_cast<int>(*v);
    } else if (k == "direction") {
      const auto at = std::find(kDirectionNames.begin(), kDirectionNames.end(), Lower(value));
      if (at == kDirectionNames.end())
        bad(key, value, "both, download or upload");
      else
        s.Direction = static_cast<TPlanDirection>(at - kDirectionNames.begin());
    } else if (k == "capbytes") {
      const auto v = Unsigned(value);
      if (!v || *v > kPlanCapMax)
        bad(key, value, "a number of bytes from 1 to 1 EB (10^18)");
      else
        s.CapBytes = *v;
    } else if (k == "cycleday") {
      const auto v = Unsigned(value);
      if (!v || *v < 1 || *v > 31)
        bad(key, value, "a day of the month from 1 to 31");
      else
        s.CycleDay = static_cast<int>(*v);
    } else if (k == "alertpercents") {
      const auto p = Percents(value);
      if (!p)
        bad(key, value, "a list of up to 10 percentages from 1 to 1000, such as 80,90,100");
      else
        s.AlertPercents = *p;
    }
  }
  if (r.Error.empty() && s.Enabled && s.CapBytes == 0)
    r.Error = "The data plan in " + iniPath +
              " has a CapBytes of 0 or none; give the cap in bytes, from 1 to 1 EB (10^18). The "
              "data plan stays off.";
  if (!r.Error.empty()) s.Enabled = false;
  return r;
}

std::string WithPlanSection(std::string_view ini, const TPlanSettings& s) {
  const auto values = SectionValues(s);
  std::vector<bool> written(values.size(), false);
  std::string out;
  bool inside = false;
  bool seen = false;
  auto flush = [&] {
    for (std::size_t i = 0; i < values.size(); ++i)
      if (!written[i]) out += values[i].first + "=" + values[i].second + "\n";
    std::fill(written.begin(), written.end(), true);
  };
  for (std::string_view line : Lines(ini)) {
    if (const auto name = SectionOf(line)) {
      if (inside) flush();
      inside = Lower(*name) == Lower(kSection);
      seen = seen || inside;
      out += std::string(line) + "\n";
      continue;
    }
    if (inside) {
      const std::string_view t = Trim(line);
      const std::size_t eq = t.find('=');
      if (eq != std::string_view::npos) {
        const std::string k = Lower(Trim(t.substr(0, eq)));
        const auto at = std::find_if(values.begin(), values.end(),
                                     [&](const auto& v) { return Lower(v.first) == k; });
        if (at != values.end()) {
          const auto i = static_cast<std::size_t>(at - values.begin());
          // A key given twice keeps its first place only.
          if (!written[i]) out += at->first + "=" + at->second + "\n";
          written[i] = true;
          continue;
        }
      }
    }
    out += std::string(line) + "\n";
  }
  if (inside) flush();
  if (!seen) {
    if (!out.empty() && out.substr(out.size() - 1) != "\n") out += "\n";
    if (!out.empty()) out += "\n";
    out += "[DataPlan]\n";
    flush();
  }
  return out;
}

TPlanLoad LoadPlanSettings(const std::string& iniPath) {
  std::vector<uint8_t> bytes;
  std::string why;
  switch (ReadFileStart(iniPath, kIniLimit, bytes, &why)) {
    case TReadStatus::Missing:
      return {};
    case TReadStatus::Unusable: {
      TPlanLoad r;
      r.Error = "The settings file " + iniPath + " cannot be read (" + why +
                "); the data plan stays off.";
      return r;
    }
    case TReadStatus::Ok:
      break;
  }
  return ParsePlanSection(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), iniPath);
}

void SavePlanSettings(const std::string& iniPath, const TPlanSettings& s) {
  if (const std::string problem = CheckPlanSettings(s); !problem.empty())
    throw std::runtime_error(problem);
  std::vector<uint8_t> bytes;
  std::string why;
  const TReadStatus status = ReadFileStart(iniPath, kIniLimit, bytes, &why);
  if (status == TReadStatus::Unusable)
    throw std::runtime_error("The settings file " + iniPath + " cannot be read (" + why +
                             "), so the data plan was not saved.");
  if (bytes.size() >= kIniLimit)
    throw std::runtime_error(
        "The settings file " + iniPath +
        " is too large to be a settings file, so the data plan was not saved.");
  const std::string text = WithPlanSection(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), s);
  WriteFileAtomically(ResolveLinks(iniPath, "settings file"),
                      std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                      kPrivateFileMode, "settings file");
}

TPlanTime PlanNow() {
  const std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  return {TDate{year(local.tm_year + 1900), month(static_cast<unsigned>(local.tm_mon + 1)),
                day(static_cast<unsigned>(local.tm_mday))},
          local.tm_hour * 3600 + local.tm_min * 60 + std::min(local.tm_sec, 59)};
}

int TCycle::Days() const {
  return DaysBetween(Start, End) + 1;
}

namespace {
TDate StartIn(year_month ym, int cycleDay) {
  const unsigned last = static_cast<unsigned>((ym / std::chrono::last).day());
  return TDate{ym / day(std::min(static_cast<unsigned>(cycleDay), last))};
}
}  // namespace

TCycle CycleOf(TDate d, int cycleDay) {
  cycleDay = std::clamp(cycleDay, 1, 31);
  const year_month ym{d.year(), d.month()};
  const year_month start = d >= StartIn(ym, cycleDay) ? ym : ym - months{1};
  return {StartIn(start, cycleDay), AddDays(StartIn(start + months{1}, cycleDay), -1)};
}

std::vector<TDayUse> PlanDays(const TPlanSettings& s, std::span<const TLogRecord> rows) {
  std::map<TDate, uint64_t> byDay;
  for (const TLogRecord& r : rows) {
    if (r.Flag != kDailyBase + s.View) continue;
    uint64_t b = 0;
    switch (s.Direction) {
      case TPlanDirection::Download:
        b = KbToBytes(r.Dn);
        break;
      case TPlanDirection::Upload:
        b = KbToBytes(r.Up);
        break;
      case TPlanDirection::Both:
        b = KbToBytes(static_cast<double>(static_cast<long double>(r.Dn) + r.Up));
        break;
    }
    byDay[r.CDate] += b;
  }
  std::vector<TDayUse> out;
  out.reserve(byDay.size());
  for (const auto& [d, b] : byDay) out.push_back({d, b});
  return out;
}

TPlanStatus ComputePlanStatus(const TPlanSettings& s, std::span<const TDayUse> daysIn,
                              TPlanTime now) {
  TPlanStatus st;
  st.Cycle = CycleOf(now.Date, s.CycleDay);
  st.CapBytes = s.CapBytes;
  std::vector<TDayUse> days;
  for (const TDayUse& d : daysIn)
    if (d.Date >= st.Cycle.Start && d.Date <= st.Cycle.End) days.push_back(d);
  std::sort(days.begin(), days.end(),
            [](const TDayUse& a, const TDayUse& b) { return a.Date < b.Date; });
  long double used = 0;
  std::optional<TDate> firstData;
  for (const TDayUse& d : days) {
    used += d.Bytes;
    if (!firstData && d.Bytes > 0) firstData = d.Date;
    if (!st.CapReachedOn && s.CapBytes > 0 && used >= s.CapBytes) st.CapReachedOn = d.Date;
  }
  st.UsedBytes = used >= 1.8e19L ? UINT64_MAX : static_cast<uint64_t>(used);
  st.Percent = s.CapBytes > 0 ? static_cast<double>(used * 100.0L / s.CapBytes) : 0.0;
  st.CapReached = s.CapBytes > 0 && st.UsedBytes >= s.CapBytes;

  const double dayPart = std::clamp(now.SecondOfDay, 0, 86399) / 86400.0;
  st.DaysLeft = std::max(1, DaysBetween(now.Date, st.Cycle.End) + 1);
  st.DailyBudgetBytes = st.CapReached ? 0 : (s.CapBytes - st.UsedBytes) / st.DaysLeft;

  // The pace counts from the cycle's start, or from the first day with traffic when the log
  // begins later in the cycle (the monitor installed, the plan set up).
  const TDate dataStart = firstData ? std::max(*firstData, st.Cycle.Start) : now.Date;
  const double elapsed = DaysBetween(dataStart, now.Date) + dayPart;
  st.TooEarly = !firstData || elapsed < 1.0;
  if (st.TooEarly) return st;
  const long double pace = used / elapsed;  // bytes a day
  const double remaining = st.DaysLeft - dayPart;
  const long double forecast = used + pace * remaining;
  st.ForecastBytes = forecast >= 1.8e19L ? UINT64_MAX : static_cast<uint64_t>(forecast);
  if (!st.CapReached && pace > 0 && forecast >= s.CapBytes) {
    const long double need = (s.CapBytes - used) / pace;  // days from now
    const auto ahead = static_cast<int>(std::floor(static_cast<double>(dayPart + need)));
    const TDate on = AddDays(now.Date, ahead);
    if (on <= st.Cycle.End) st.CapReachedOn = on;
  }
  return st;
}

std::string PlanBytes(uint64_t bytes) {
  static constexpr std::array<const char*, 7> kUnits = {" B",  " KB", " MB", " GB",
                                                        " TB", " PB", " EB"};
  double x = static_cast<double>(bytes);
  std::size_t i = 0;
  while (x >= 1000.0 && i + 1 < kUnits.size()) {
    x /= 1000.0;
    ++i;
  }
  return (i == 0 ? std::to_string(bytes) : Fixed1(x)) + kUnits[i];
}

std::string PlanTipLine(const TPlanStatus& st, bool full) {
  std::string line =
      "Data plan: " + std::to_string(static_cast<long long>(std::floor(st.Percent))) + " % used";
  if (full && st.ForecastBytes) line += ", " + PlanBytes(*st.ForecastBytes) + " due";
  return line;
}

std::string PlanText(const TPlanSettings& s, const TPlanStatus& st) {
  std::ostringstream o;
  o << "Data plan: " << kViewNames[static_cast<std::size_t>(s.View)] << ", "
    << (s.Direction == TPlanDirection::Both       ? "download and upload"
        : s.Direction == TPlanDirection::Download ? "download"
                                                  : "upload")
    << "\n";
  o << "Cycle:        " << IsoDate(st.Cycle.Start) << " to " << IsoDate(st.Cycle.End) << " ("
    << st.DaysLeft << (st.DaysLeft == 1 ? " day" : " days") << " left)\n";
  o << "Used:         " << PlanBytes(st.UsedBytes) << " of " << PlanBytes(st.CapBytes) << " ("
    << Fixed1(Tenths(st.Percent)) << " %)\n";
  if (st.TooEarly) {
    o << "Forecast:     too early to tell\n";
  } else {
    o << "Forecast:     " << PlanBytes(*st.ForecastBytes) << " at the cycle's end\n";
  }
  if (st.CapReached)
    o << "Cap reached:  on " << IsoDate(*st.CapReachedOn) << "\n";
  else if (st.CapReachedOn)
    o << "Cap reached:  on " << IsoDate(*st.CapReachedOn) << " at this pace\n";
  else if (!st.TooEarly)
    o << "Cap reached:  not in this cycle at this pace\n";
  o << "Daily budget: " << PlanBytes(st.DailyBudgetBytes) << "\n";
  return o.str();
}

std::string PlanJson(const TPlanSettings& s, const TPlanStatus& st) {
  std::ostringstream o;
  o << "{\"view\": " << JsonString(kViewNames[static_cast<std::size_t>(s.View)])
    << ", \"direction\": " << JsonString(kDirectionNames[static_cast<std::size_t>(s.Direction)])
    << ", \"used_bytes\": " << st.UsedBytes << ", \"cap_bytes\": " << st.CapBytes
    << ", \"percent\": " << Fixed1(Tenths(st.Percent))
    << ", \"cycle_start\": " << JsonString(IsoDate(st.Cycle.Start))
    << ", \"cycle_end\": " << JsonString(IsoDate(st.Cycle.End)) << ", \"forecast_bytes\": "
    << (st.ForecastBytes ? std::to_string(*st.ForecastBytes) : std::string("null"))
    << ", \"too_early\": " << (st.TooEarly ? "true" : "false") << ", \"cap_reached_on\": "
    << (st.CapReachedOn ? JsonString(IsoDate(*st.CapReachedOn)) : std::string("null"))
    << ", \"daily_budget_bytes\": " << st.DailyBudgetBytes << ", \"days_left\": " << st.DaysLeft
    << "}\n";
  return o.str();
}

std::string PlanAlertText(int level, const TPlanStatus& st) {
  return "Data plan: " + std::to_string(level) + " % of the cap reached (" +
         PlanBytes(st.UsedBytes) + " of " + PlanBytes(st.CapBytes) + " used by " +
         IsoDate(st.Cycle.End) + ").";
}

TPlanAlertState LoadPlanAlerts(const std::string& path) {
  TPlanAlertState s;
  std::vector<uint8_t> bytes;
  if (ReadFileStart(path, 4096, bytes) != TReadStatus::Ok) return s;
  const std::string text(bytes.begin(), bytes.end());
  for (std::string_view line : Lines(text)) {
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, eq));
    const std::string_view value = Trim(line.substr(eq + 1));
    if (key == "cycle") {
      if (const auto d = ParseIsoDate(value)) s.CycleStart = *d;
    } else if (key == "cap") {
      s.CapBytes = Unsigned(value).value_or(0);
    } else if (key == "fired") {
      s.Fired = Percents(value).value_or(std::vector<int>{});
    }
  }
  // Without its cycle the rest means nothing.
  if (!s.CycleStart.ok()) return {};
  return s;
}

void SavePlanAlerts(const std::string& path, const TPlanAlertState& state) {
  const std::string text = "cycle=" + IsoDate(state.CycleStart) +
                           "\ncap=" + std::to_string(state.CapBytes) +
                           "\nfired=" + JoinPercents(state.Fired) + "\n";
  WriteFileAtomically(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                      kPrivateFileMode, "data plan state file");
}

std::vector<int> DueAlerts(TPlanAlertState& state, const TPlanSettings& s, const TPlanStatus& st) {
  if (state.CycleStart != st.Cycle.Start) state = {st.Cycle.Start, st.CapBytes, {}};
  if (state.CapBytes != st.CapBytes) {
    std::erase_if(state.Fired, [&](int level) { return st.Percent < level; });
    state.CapBytes = st.CapBytes;
  }
  std::vector<int> due;
  for (int level : s.AlertPercents) {
    if (st.Percent < level) continue;
    if (std::find(state.Fired.begin(), state.Fired.end(), level) != state.Fired.end()) continue;
    due.push_back(level);
    state.Fired.push_back(level);
  }
  std::sort(state.Fired.begin(), state.Fired.end());
  return due;
}

std::vector<TLogRecord> GroupByCycles(std::span<const TLogRecord> daily, int cycleDay) {
  std::map<std::pair<TDate, int>, TLogRecord> cycles;
  for (const TLogRecord& r : daily) {
    if (r.Flag / 16 != lgDaily) continue;
    const TCycle c = CycleOf(r.CDate, cycleDay);
    const int flag = kBillingBase + r.Flag % 16;
    auto [it, fresh] = cycles.try_emplace({c.End, flag});
    TLogRecord& out = it->second;
    if (fresh) out = {c.End, flag, c.Days(), 0, 0, false};
    out.Up += r.Up;
    out.Dn += r.Dn;
    out.SoFar = out.SoFar || r.SoFar;
  }
  std::vector<TLogRecord> out;
  out.reserve(cycles.size());
  for (auto& [key, r] : cycles) out.push_back(r);
  return out;
}

}  // namespace zul
