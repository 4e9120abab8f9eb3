// The applications' hours in the traffic log, for the Applications window and the export: read
// from the file through a read-only connection of their own, summed per application or grouped
// into longer periods. Qt-free; blocking, so callers keep it off the GUI thread.
#pragma once

#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/AppUsage.h"
#include "history/Export.h"
#include "history/TrafficLog.h"

namespace zul {

// One application's bytes in one hour, or (Hour none) in a longer period dated as the log dates
// its records: the day, or the last day of the week, month, year or billing cycle.
struct TAppRecord {
  TDate CDate;
  std::optional<int> Hour;
  std::string App;
  TAppBytes Bytes;
  // Holds traffic of an hour still running that the table does not have yet.
  bool SoFar = false;
  bool operator==(const TAppRecord&) const = default;
};

// The hourly rows of the log at `path` on the days from..to (both included; none: open), in the
// order date, hour, application. With `withRunning`, the running hour's rows that the monitor
// keeps beside the table are added to them and marked SoFar. A log that has no application
// table yet reads as none. Throws as ReadLogFile does, and TLogError for an application table
// that the program did not make.
std::vector<TAppRecord> ReadAppHours(const std::string& path, std::optional<TDate> from,
                                     std::optional<TDate> to, bool withRunning,
                                     int busyTimeoutMs = 5000);

// The application rows that periods not in the log yet carry (the sampler's UnloggedPeriods), as
// hourly records marked SoFar.
std::vector<TAppRecord> AppRecordsOf(std::span<const TPeriodWrite> periods);

// Each application's bytes over `records`, largest total first (then by name).
TAppDeltas SumApps(std::span<const TAppRecord> records);

// The Applications window's figures: each application's bytes on the days from..to, from the
// table and from `unlogged` (the hours the program has not written yet and the running hour;
// empty for the table alone).
TAppDeltas ReadAppTotals(const std::string& path, TDate from, TDate to,
                         std::span<const TPeriodWrite> unlogged, int busyTimeoutMs = 5000);

// Hourly records added up per application and period of `grouping` (lgHourly leaves them as
// they are; lgBillingPeriods groups by the cycles starting on `cycleDay`), in date order, then by
// application. A period is SoFar when any of its hours is.
std::vector<TAppRecord> GroupAppRecords(std::span<const TAppRecord> hourly, int grouping,
                                        int cycleDay);

// What `zul --export ... --apps` prints: the rows of the periods of query.Grouping that touch
// query.From..query.To (View is not used).
std::vector<TAppRecord> ReadAppExport(const std::string& path, const TExportQuery& query,
                                      int busyTimeoutMs = 5000);

// Application names as they came from the system may hold bytes that are not UTF-8, which the
// export's and the metrics' readers refuse: each such byte becomes U+FFFD.
std::string ValidUtf8(std::string_view text);

// The records as rows of date, hour (hourly records only), app, Internet download and upload,
// LAN download and upload in bytes, and so_far, in the conventions of WriteExport.
void WriteAppExport(std::ostream& out, TExportFormat format, std::span<const TAppRecord> records);

}  // namespace zul
