#include "history/Export.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <tuple>

#include "history/DataPlan.h"
#include "history/LogFile.h"
#include "history/LogQuery.h"

namespace zul {
namespace {
using namespace std::chrono;

// The table, and the running part beside it (absent in a log no monitor of this kind wrote).
constexpr const char* kSelect =
    "SELECT CDate, Flag, Hour, Up, Dn FROM bw"
    " WHERE Flag >= ?1 AND Flag <= ?2 AND CDate >= ?3 AND CDate <= ?4"
    " ORDER BY CDate, Flag, Hour";
constexpr const char* kSelectRunning =
    "SELECT CDate, Flag, Hour, Up, Dn FROM zul_running"
    " WHERE Flag >= ?1 AND Flag <= ?2 AND CDate >= ?3 AND CDate <= ?4"
    " ORDER BY CDate, Flag, Hour";

constexpr std::array<const char*, 5> kGroupingKeys = {"hourly", "daily", "weekly", "monthly",
                                                      "yearly"};

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// The last day of the period of `grouping` that holds `d`: the date such a record is stored under.
TDate PeriodEndOf(int grouping, TDate d) {
  switch (grouping) {
    case lgWeekly:
      return WeekEnd(d);
    case lgMonthly:
      return MonthEnd(d);
    case lgYearly:
      return YearEnd(d);
    default:
      return d;
  }
}

// Kilobytes as stored, back to whole bytes.
bool ToBytes(double kb, unsigned long long& bytes) {
  const double b = std::round(kb * 1024.0);
  if (!std::isfinite(b) || b < 0 || b >= 18446744073709551616.0) return false;
  bytes = static_cast<unsigned long long>(b);
  return true;
}

const char* ViewName(int flag) {
  const int view = flag % 16;
  return view >= 0 && view < kViewCount ? kViewNames[static_cast<std::size_t>(view)] : "";
}

bool IsHourly(int flag) {
  return flag / 16 == lgHourly;
}

}  // namespace

std::optional<TDate> ParseIsoDate(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  auto number = [&](std::size_t from, std::size_t count) -> std::optional<unsigned> {
    unsigned n = 0;
    for (std::size_t i = from; i < from + count; ++i) {
      if (text[i] < '0' || text[i] > '9') return std::nullopt;
      n = n * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return n;
  };
  const auto y = number(0, 4), m = number(5, 2), d = number(8, 2);
  if (!y || !m || !d || *y < 1) return std::nullopt;
  const TDate date{year(static_cast<int>(*y)), month(*m), day(*d)};
  if (!date.ok()) return std::nullopt;
  return date;
}

std::string IsoDate(TDate d) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(d.year()),
                static_cast<unsigned>(d.month()), static_cast<unsigned>(d.day()));
  return buf;
}

std::optional<int> ParseViewName(std::string_view text) {
  if (text.size() == 1 && text[0] >= '0' && text[0] < '0' + kViewCount) return text[0] - '0';
  for (int v = 0; v < kViewCount; ++v)
    if (SameText(text, kViewNames[static_cast<std::size_t>(v)])) return v;
  return std::nullopt;
}

std::optional<int> ParseGroupingName(std::string_view text) {
  for (std::size_t g = 0; g < kGroupingKeys.size(); ++g)
    if (SameText(text, kGroupingKeys[g])) return static_cast<int>(g);
  if (SameText(text, "billing") || SameText(text, kBillingPeriodsName)) return lgBillingPeriods;
  return std::nullopt;
}

namespace {

// What one read asks for: a range of flags and of stored dates (ISO text, both included).
struct TRange {
  int FlagLo = 0;
  int FlagHi = 0;
  std::string From = "0000-00-00";
  std::string To = "9999-99-99";
};

// The records of `sql` (kSelect or kSelectRunning) in the range; a running part that is missing
// or not of our making reads as none.
std::vector<TLogRecord> ReadRange(sqlite3* db, const std::string& path, const char* sql,
                                  const TRange& range, bool running) {
  sqlite3_stmt* rawSt = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &rawSt, nullptr);
  const TStmt st(rawSt);
  if (rc != SQLITE_OK) {
    const int code = sqlite3_extended_errcode(db);
    if (running && (code & 0xff) == SQLITE_ERROR) return {};
    RefuseLogRead(db, path, code);
  }
  sqlite3_bind_int(st.get(), 1, range.FlagLo);
  sqlite3_bind_int(st.get(), 2, range.FlagHi);
  sqlite3_bind_text(st.get(), 3, range.From.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_text(st.get(), 4, range.To.c_str(), -1, SQLITE_STATIC);
  std::vector<TLogRecord> rows;
  while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0));
    const std::optional<TDate> date =
        text != nullptr ? ParseIsoDate(std::string_view(
                              text, static_cast<std::size_t>(sqlite3_column_bytes(st.get(), 0))))
                        : std::nullopt;
    auto numeric = [&](int column) {
      const int type = sqlite3_column_type(st.get(), column);
      return type == SQLITE_INTEGER || type == SQLITE_FLOAT;
    };
    if (!date || !numeric(3) || !numeric(4))
      throw TLogError("The traffic log " + path + " is damaged: it holds a record with " +
                      (date ? "an amount that is not a number." : "a malformed date."));
    rows.push_back({*date, sqlite3_column_int(st.get(), 1), sqlite3_column_int(st.get(), 2),
                    sqlite3_column_double(st.get(), 3), sqlite3_column_double(st.get(), 4),
                    running});
  }
  if (rc != SQLITE_DONE) RefuseLogRead(db, path, rc);
  return rows;
}

}  // namespace

std::vector<TLogRecord> ReadLogFile(const std::string& path, const TExportQuery& query,
                                    int busyTimeoutMs) {
  if (query.Grouping == lgBillingPeriods) {
    // The days of every cycle that touches the range, added up per cycle.
    TExportQuery days = query;
    days.Grouping = lgDaily;
    if (query.From) days.From = CycleOf(*query.From, query.CycleDay).Start;
    if (query.To) days.To = CycleOf(*query.To, query.CycleDay).End;
    return GroupByCycles(ReadLogFile(path, days, busyTimeoutMs), query.CycleDay);
  }
  const TDb db = OpenLogReadOnly(path, busyTimeoutMs);
  TRange range;
  const int base = query.Grouping * 16;
  range.FlagLo = base + query.View.value_or(0);
  range.FlagHi = base + query.View.value_or(kViewCount - 1);
  // ISO dates compare as text in date order.
  if (query.From) range.From = IsoDate(*query.From);
  // A week that begins in the last days of 9999 ends in the year 10000, whose five-digit text
  // would sort before every date; no period the log holds ends that late, so the range is open.
  const std::optional<TDate> last =
      query.To ? std::optional(PeriodEndOf(query.Grouping, *query.To)) : std::nullopt;
  if (last && last->year() <= year(9999)) range.To = IsoDate(*last);
  // One read transaction for both, so that an hour the monitor writes meanwhile is seen in one
  // place or the other, never in both.
  sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr);
  std::vector<TLogRecord> rows = ReadRange(db.get(), path, kSelect, range, false);
  if (query.WithRunning)
    AddRunning(rows, ReadRange(db.get(), path, kSelectRunning, range, true),
               [](const TLogRecord&) { return true; });
  sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr);
  return rows;
}

std::vector<TLogRecord> ReadLogSelect(const std::string& path, std::string_view sql,
                                      int busyTimeoutMs) {
  const TLogQuery q = ParseLogQuery(sql);
  const TDb db = OpenLogReadOnly(path, busyTimeoutMs);
  TRange range{q.Flag, q.Flag};
  if (q.Kind != TLogQuery::TKind::AllDates) range.From = range.To = IsoDate(q.From);
  if (q.Kind == TLogQuery::TKind::DateRange) range.To = IsoDate(q.To);
  return ReadRange(db.get(), path, kSelect, range, false);
}

void AddRunning(std::vector<TLogRecord>& rows, std::span<const TLogRecord> running,
                const std::function<bool(const TLogRecord&)>& wanted) {
  auto key = [](const TLogRecord& r) { return std::tuple(r.CDate, r.Flag, r.Hour); };
  for (const TLogRecord& r : running) {
    if (!wanted(r)) continue;
    const auto at =
        std::lower_bound(rows.begin(), rows.end(), r,
                         [&](const TLogRecord& a, const TLogRecord& b) { return key(a) < key(b); });
    if (at != rows.end() && key(*at) == key(r)) {
      at->Up += r.Up;
      at->Dn += r.Dn;
      at->SoFar = true;
    } else {
      TLogRecord added = r;
      added.SoFar = true;
      rows.insert(at, added);
    }
  }
}

std::vector<TLogRecord> RunningRecords(std::span<const TPeriodWrite> periods) {
  std::vector<TLogRecord> records;
  for (const TPeriodWrite& p : periods) {
    for (int v = 0; v < kViewCount; ++v) {
      const TCounterPair pair = kViewCounters[static_cast<std::size_t>(v)];
      const TLogRecord r{
          p.Date,
          p.FlagBase + v,
          p.Hour,
          static_cast<double>(p.Totals[static_cast<std::size_t>(pair.Up)]) / 1024.0,
          static_cast<double>(p.Totals[static_cast<std::size_t>(pair.Down)]) / 1024.0,
          true};
      std::vector<TLogRecord> one{r};
      AddRunning(records, one, [](const TLogRecord&) { return true; });
    }
  }
  return records;
}

TTotalsSoFar ReadTotalsSoFar(const std::string& path, int view, TDate from, TDate to,
                             int busyTimeoutMs) {
  TExportQuery q;
  q.Grouping = lgDaily;
  q.View = view;
  q.From = from;
  q.To = to;
  TTotalsSoFar totals;
  long double up = 0;
  long double down = 0;
  for (const TLogRecord& r : ReadLogFile(path, q, busyTimeoutMs)) {
    up += r.Up;
    down += r.Dn;
    totals.Running = totals.Running || r.SoFar;
  }
  unsigned long long bytes = 0;
  totals.Up = ToBytes(static_cast<double>(up), bytes) ? bytes : 0;
  totals.Down = ToBytes(static_cast<double>(down), bytes) ? bytes : 0;
  return totals;
}

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (u < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", u);
          out += esc;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

void WriteExport(std::ostream& out, TExportFormat format, std::span<const TLogRecord> records) {
  struct TRow {
    std::string Date, Hour, View;
    unsigned long long Down = 0, Up = 0;
    bool SoFar = false;
  };
  // Every record is checked before the first byte goes out, so a bad one leaves no half export.
  std::vector<TRow> rows;
  rows.reserve(records.size());
  for (const TLogRecord& r : records) {
    TRow row{IsoDate(r.CDate), IsHourly(r.Flag) ? std::to_string(r.Hour) : std::string(),
             ViewName(r.Flag)};
    row.SoFar = r.SoFar;
    if (!ToBytes(r.Dn, row.Down) || !ToBytes(r.Up, row.Up))
      throw TLogError("The traffic log holds an amount that is not a byte count, for " + row.Date +
                      ".");
    rows.push_back(std::move(row));
  }

  if (format == TExportFormat::Csv) {
    out << "date,hour,view,download_bytes,upload_bytes,so_far\r\n";
    for (const TRow& row : rows)
      out << row.Date << ',' << row.Hour << ',' << CsvField(row.View) << ',' << row.Down << ','
          << row.Up << ',' << (row.SoFar ? "yes" : "") << "\r\n";
    return;
  }
  out << '[';
  const char* sep = "\n  ";
  for (const TRow& row : rows) {
    out << sep << "{\"date\": " << JsonString(row.Date)
        << ", \"hour\": " << (row.Hour.empty() ? std::string("null") : row.Hour)
        << ", \"view\": " << JsonString(row.View) << ", \"download_bytes\": " << row.Down
        << ", \"upload_bytes\": " << row.Up << (row.SoFar ? ", \"so_far\": true}" : "}");
    sep = ",\n  ";
  }
  out << (rows.empty() ? "]\n" : "\n]\n");
}

}  // namespace zul
