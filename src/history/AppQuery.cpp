#include "history/AppQuery.h"

#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <tuple>

#include "history/DataPlan.h"
#include "history/LogFile.h"

namespace zul {
namespace {
using namespace std::chrono;

constexpr const char* kSelectApps =
    "SELECT CDate, Hour, App, InternetDn, InternetUp, LanDn, LanUp FROM zul_apps"
    " WHERE CDate >= ?1 AND CDate <= ?2 ORDER BY CDate, Hour, App";
constexpr const char* kSelectRunningApps =
    "SELECT CDate, Hour, App, InternetDn, InternetUp, LanDn, LanUp FROM zul_running_apps"
    " WHERE CDate >= ?1 AND CDate <= ?2 ORDER BY CDate, Hour, App";

using TKey = std::tuple<TDate, int, std::string>;
using TMerged = std::map<TKey, TAppRecord>;

void Merge(TMerged& into, const TAppRecord& r) {
  auto [it, fresh] = into.try_emplace(TKey{r.CDate, r.Hour.value_or(-1), r.App}, r);
  if (fresh) return;
  it->second.Bytes += r.Bytes;
  it->second.SoFar = it->second.SoFar || r.SoFar;
}

std::vector<TAppRecord> Values(TMerged& merged) {
  std::vector<TAppRecord> out;
  out.reserve(merged.size());
  for (auto& [key, r] : merged) out.push_back(std::move(r));
  return out;
}

bool TableExists(sqlite3* db, const char* name) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1", -1,
                         &raw, nullptr) != SQLITE_OK)
    return false;
  const TStmt st(raw);
  sqlite3_bind_text(st.get(), 1, name, -1, SQLITE_STATIC);
  return sqlite3_step(st.get()) == SQLITE_ROW;
}

// The rows of `sql` (kSelectApps or kSelectRunningApps) between the ISO dates from and to. A
// missing table reads as none; so does a running table of another shape, which only costs the
// running hour, while an hours table of another shape is refused.
std::vector<TAppRecord> ReadRows(sqlite3* db, const std::string& path, const char* sql,
                                 const std::string& from, const std::string& to, bool running) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
  const TStmt st(raw);
  if (rc != SQLITE_OK) {
    const int code = sqlite3_extended_errcode(db);
    if ((code & 0xff) != SQLITE_ERROR) RefuseLogRead(db, path, code);
    if (running || !TableExists(db, "zul_apps")) return {};
    throw TLogError("The traffic log " + path +
                    " has a table \"zul_apps\" that the program did not make; it holds no "
                    "application traffic that can be read.");
  }
  sqlite3_bind_text(st.get(), 1, from.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_text(st.get(), 2, to.c_str(), -1, SQLITE_STATIC);
  std::vector<TAppRecord> rows;
  while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0));
    const std::optional<TDate> date =
        text != nullptr ? ParseIsoDate(std::string_view(
                              text, static_cast<std::size_t>(sqlite3_column_bytes(st.get(), 0))))
                        : std::nullopt;
    const int hour = sqlite3_column_int(st.get(), 1);
    const auto* app = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 2));
    bool counts = true;
    std::array<uint64_t, 4> bytes{};
    for (int c = 0; c < 4; ++c) {
      const sqlite3_int64 v = sqlite3_column_int64(st.get(), 3 + c);
      counts = counts && sqlite3_column_type(st.get(), 3 + c) == SQLITE_INTEGER && v >= 0;
      bytes[static_cast<std::size_t>(c)] = static_cast<uint64_t>(v);
    }
    if (!date || app == nullptr || hour < 0 || hour > 23 || !counts)
      throw TLogError("The traffic log " + path + " is damaged: it holds an application row with " +
                      (!date     ? "a malformed date."
                       : !counts ? "an amount that is not a byte count."
                                 : "no application or a malformed hour."));
    rows.push_back({*date,
                    hour,
                    std::string(app, static_cast<std::size_t>(sqlite3_column_bytes(st.get(), 2))),
                    {bytes[0], bytes[1], bytes[2], bytes[3]},
                    running});
  }
  if (rc != SQLITE_DONE) RefuseLogRead(db, path, rc);
  return rows;
}

// The first and last day of the period of `grouping` that holds `d`.
std::pair<TDate, TDate> PeriodOf(int grouping, int cycleDay, TDate d) {
  switch (grouping) {
    case lgWeekly: {
      const TDate end = WeekEnd(d);
      return {TDate{sys_days{end} - days{6}}, end};
    }
    case lgMonthly:
      return {TDate{d.year(), d.month(), day(1)}, MonthEnd(d)};
    case lgYearly:
      return {TDate{d.year(), January, day(1)}, YearEnd(d)};
    case lgBillingPeriods: {
      const TCycle c = CycleOf(d, cycleDay);
      return {c.Start, c.End};
    }
    default:
      return {d, d};
  }
}

}  // namespace

std::vector<TAppRecord> ReadAppHours(const std::string& path, std::optional<TDate> from,
                                     std::optional<TDate> to, bool withRunning, int busyTimeoutMs) {
  const TDb db = OpenLogReadOnly(path, busyTimeoutMs);
  // ISO dates compare as text in date order; a bound past the year 9999 leaves the range open.
  const std::string lo = from && from->year() >= year(1) ? IsoDate(*from) : "0000-00-00";
  const std::string hi = to && to->year() <= year(9999) ? IsoDate(*to) : "9999-99-99";
  // One read transaction for both, so that an hour written meanwhile is in one place only.
  sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr);
  std::vector<TAppRecord> rows = ReadRows(db.get(), path, kSelectApps, lo, hi, false);
  std::vector<TAppRecord> running;
  if (withRunning) running = ReadRows(db.get(), path, kSelectRunningApps, lo, hi, true);
  sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr);
  if (running.empty()) return rows;
  TMerged merged;
  for (const TAppRecord& r : rows) Merge(merged, r);
  for (const TAppRecord& r : running) Merge(merged, r);
  return Values(merged);
}

std::vector<TAppRecord> AppRecordsOf(std::span<const TPeriodWrite> periods) {
  std::vector<TAppRecord> out;
  for (const TPeriodWrite& p : periods) {
    if (p.FlagBase != kHourlyBase) continue;
    for (const TAppDelta& a : p.Apps) out.push_back({p.Date, p.Hour, a.App, a.Bytes, true});
  }
  return out;
}

TAppDeltas SumApps(std::span<const TAppRecord> records) {
  std::map<std::string, TAppBytes, std::less<>> sums;
  for (const TAppRecord& r : records) sums[r.App] += r.Bytes;
  TAppDeltas out;
  out.reserve(sums.size());
  for (const auto& [app, bytes] : sums) out.push_back({app, bytes});
  std::stable_sort(out.begin(), out.end(), [](const TAppDelta& a, const TAppDelta& b) {
    return a.Bytes.Total() > b.Bytes.Total();
  });
  return out;
}

TAppDeltas ReadAppTotals(const std::string& path, TDate from, TDate to,
                         std::span<const TPeriodWrite> unlogged, int busyTimeoutMs) {
  std::vector<TAppRecord> rows = ReadAppHours(path, from, to, false, busyTimeoutMs);
  for (const TAppRecord& r : AppRecordsOf(unlogged))
    if (r.CDate >= from && r.CDate <= to) rows.push_back(r);
  return SumApps(rows);
}

std::vector<TAppRecord> GroupAppRecords(std::span<const TAppRecord> hourly, int grouping,
                                        int cycleDay) {
  TMerged merged;
  for (TAppRecord r : hourly) {
    if (grouping != lgHourly) {
      r.CDate = PeriodOf(grouping, cycleDay, r.CDate).second;
      r.Hour.reset();
    }
    Merge(merged, r);
  }
  return Values(merged);
}

std::vector<TAppRecord> ReadAppExport(const std::string& path, const TExportQuery& query,
                                      int busyTimeoutMs) {
  // Every hour of the periods that touch the range.
  std::optional<TDate> from = query.From, to = query.To;
  if (from) from = PeriodOf(query.Grouping, query.CycleDay, *from).first;
  if (to) to = PeriodOf(query.Grouping, query.CycleDay, *to).second;
  return GroupAppRecords(ReadAppHours(path, from, to, query.WithRunning, busyTimeoutMs),
                         query.Grouping, query.CycleDay);
}

std::string ValidUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = c < 0x80           ? 1
                      : (c >> 5) == 0x6  ? 2
                      : (c >> 4) == 0xE  ? 3
                      : (c >> 3) == 0x1E ? 4
                                         : 0;
    bool ok = len > 0 && i + len <= s.size();
    uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1Fu) : len == 3 ? (c & 0x0Fu) : (c & 0x07u);
    for (std::size_t k = 1; ok && k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      ok = (cc & 0xC0) == 0x80;
      cp = (cp << 6) | (cc & 0x3Fu);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not text either.
    static constexpr std::array<uint32_t, 5> kLeast = {0, 0, 0x80, 0x800, 0x10000};
    ok = ok && cp >= kLeast[len] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
    if (ok) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

void WriteAppExport(std::ostream& out, TExportFormat format, std::span<const TAppRecord> records) {
  if (format == TExportFormat::Csv) {
    out << "date,hour,app,internet_download_bytes,internet_upload_bytes,lan_download_bytes,"
           "lan_upload_bytes,so_far\r\n";
    for (const TAppRecord& r : records)
      out << IsoDate(r.CDate) << ',' << (r.Hour ? std::to_string(*r.Hour) : std::string()) << ','
          << CsvField(ValidUtf8(r.App)) << ',' << r.Bytes.InternetDown << ',' << r.Bytes.InternetUp
          << ',' << r.Bytes.LanDown << ',' << r.Bytes.LanUp << ',' << (r.SoFar ? "yes" : "")
          << "\r\n";
    return;
  }
  out << '[';
  const char* sep = "\n  ";
  for (const TAppRecord& r : records) {
    out << sep << "{\"date\": " << JsonString(IsoDate(r.CDate))
        << ", \"hour\": " << (r.Hour ? std::to_string(*r.Hour) : std::string("null"))
        << ", \"app\": " << JsonString(ValidUtf8(r.App))
        << ", \"internet_download_bytes\": " << r.Bytes.InternetDown
        << ", \"internet_upload_bytes\": " << r.Bytes.InternetUp
        << ", \"lan_download_bytes\": " << r.Bytes.LanDown
        << ", \"lan_upload_bytes\": " << r.Bytes.LanUp << (r.SoFar ? ", \"so_far\": true}" : "}");
    sep = ",\n  ";
  }
  out << (records.empty() ? "]\n" : "\n]\n");
}

}  // namespace zul
