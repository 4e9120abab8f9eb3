// The traffic log's records for other programs: read from the file without the program's help,
// written as CSV or JSON. Qt-free.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "history/TrafficLog.h"

namespace zul {

// Png is the chart of the records (TrafficChart.h), drawn by the command line.
enum class TExportFormat { Csv, Json, Png };

// What to read: one grouping, one view or all four, and the periods that touch a date range.
struct TExportQuery {
  int Grouping = lgDaily;
  std::optional<int> View;  // none: all four views
  std::optional<TDate> From;
  std::optional<TDate> To;
  // The running period's part that the monitor keeps beside the table, added and marked.
  bool WithRunning = true;
  // The day billing cycles start on, for the grouping lgBillingPeriods (DataPlan.h).
  int CycleDay = 1;
};

// A log that another program keeps locked past the reader's wait.
class TLogBusy : public TLogError {
 public:
  using TLogError::TLogError;
};

// "YYYY-MM-DD" naming a day that exists; none otherwise.
std::optional<TDate> ParseIsoDate(std::string_view text);
std::string IsoDate(TDate d);

// A view by its name ("Internet & LAN", case ignored) or its number 0 to 3.
std::optional<int> ParseViewName(std::string_view text);
// "hourly" to "yearly", or "billing" for one row per billing cycle; case ignored.
std::optional<int> ParseGroupingName(std::string_view text);

// Reads the matching records of the log file at `path`, in key order, through a read-only
// connection of its own: the file is never created or changed, and no lock of the program's is
// taken, so it works while the program runs. A record belongs to the range when its period
// overlaps it (a month is in when any of its days is). With WithRunning, the running hour that
// the monitor keeps beside the table is added to the periods it belongs to, which are marked
// SoFar. Throws TLogError for a file that is missing, damaged or not a traffic log, TLogBusy for
// one locked beyond `busyTimeoutMs`.
std::vector<TLogRecord> ReadLogFile(const std::string& path, const TExportQuery& query,
                                    int busyTimeoutMs = 5000);
// The same for one of the statistics window's select texts (see LogQuery.h), the table alone.
std::vector<TLogRecord> ReadLogSelect(const std::string& path, std::string_view sql,
                                      int busyTimeoutMs);

// The one way to add traffic that the table does not hold yet to its records: each of `running`
// that `wanted` accepts goes into the record of `rows` with its key, or in key order as a record
// of its own; either way the record is marked SoFar. `rows` is in key order.
void AddRunning(std::vector<TLogRecord>& rows, std::span<const TLogRecord> running,
                const std::function<bool(const TLogRecord&)>& wanted);
// The per-view records (kilobytes, marked SoFar) of periods not in the table yet, added up by
// key, in key order.
std::vector<TLogRecord> RunningRecords(std::span<const TPeriodWrite> periods);

// One view's bytes over the days from..to, with the running part that a monitor running now
// keeps beside the table (Running tells whether there was one).
struct TTotalsSoFar {
  uint64_t Down = 0;
  uint64_t Up = 0;
  bool Running = false;
};
TTotalsSoFar ReadTotalsSoFar(const std::string& path, int view, TDate from, TDate to,
                             int busyTimeoutMs = 5000);

// One field of a CSV row (RFC 4180): quoted when it holds a comma, a quote or a line break.
std::string CsvField(std::string_view text);
// A JSON string literal with its quotes.
std::string JsonString(std::string_view text);

// The records as rows of date, hour (hourly records only), view, download and upload bytes, and
// whether the period is still running ("so_far"): CSV with a header row and CRLF line ends, or
// one JSON array of objects (running ones with "so_far": true).
void WriteExport(std::ostream& out, TExportFormat format, std::span<const TLogRecord> records);

}  // namespace zul
