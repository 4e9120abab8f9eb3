// The traffic log's records for other programs: read from the file without the program's help,
// written as CSV or JSON. Qt-free.
#pragma once

#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "history/TrafficLog.h"

namespace zul {

enum class TExportFormat { Csv, Json };

// What to read: one grouping, one view or all four, and the periods that touch a date range.
struct TExportQuery {
  int Grouping = lgDaily;
  std::optional<int> View;  // none: all four views
  std::optional<TDate> From;
  std::optional<TDate> To;
};

// "YYYY-MM-DD" naming a day that exists; none otherwise.
std::optional<TDate> ParseIsoDate(std::string_view text);
std::string IsoDate(TDate d);

// A view by its name ("Internet & LAN", case ignored) or its number 0 to 3.
std::optional<int> ParseViewName(std::string_view text);
// "hourly" to "yearly", case ignored.
std::optional<int> ParseGroupingName(std::string_view text);

// Reads the matching records of the log file at `path`, in key order, through a read-only
// connection of its own: the file is never created or changed, and no lock of the program's is
// taken, so it works while the program runs. A record belongs to the range when its period
// overlaps it (a month is in when any of its days is). Throws TLogError for a file that is
// missing, locked beyond `busyTimeoutMs`, damaged or not a traffic log.
std::vector<TLogRecord> ReadLogFile(const std::string& path, const TExportQuery& query,
                                    int busyTimeoutMs = 5000);

// One field of a CSV row (RFC 4180): quoted when it holds a comma, a quote or a line break.
std::string CsvField(std::string_view text);
// A JSON string literal with its quotes.
std::string JsonString(std::string_view text);

// The records as rows of date, hour (hourly records only), view, download and upload bytes:
// CSV with a header row and CRLF line ends, or one JSON array of objects.
void WriteExport(std::ostream& out, TExportFormat format, std::span<const TLogRecord> records);

}  // namespace zul
