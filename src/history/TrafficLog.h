// The traffic log "bw.DB": hourly to yearly kilobyte totals per view, in an SQLite file.
// Qt-free; main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "vartype.h"

struct sqlite3;

namespace zul {

using TDate = std::chrono::year_month_day;

// Raised by every failing log operation; the text is meant for the user.
class TLogError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TLogRecord {
  TDate CDate;
  int Flag = 0;
  int Hour = 0;
  double Up = 0;  // kilobytes
  double Dn = 0;  // kilobytes
  bool operator==(const TLogRecord&) const = default;
};

// The four view records of one period, as the sampler hands them over.
struct TPeriodWrite {
  uint16_t FlagBase = 0;
  uint16_t Hour = 0;
  TPeriodTotals Totals{};
  TDate Date;
};

class TTrafficLog {
 public:
  TTrafficLog() = default;
  ~TTrafficLog();
  TTrafficLog(const TTrafficLog&) = delete;
  TTrafficLog& operator=(const TTrafficLog&) = delete;

  // Opens dbDir + "bw.DB" (dbDir ends with '/'), creating the folder and the table when missing.
  // A file that is not our table is renamed aside and a fresh one created; TakeNotice() then
  // tells where it went. Throws TLogError when the log cannot be opened (the log stays closed).
  void Open(const std::string& dbDir);
  bool IsOpen() const { return Db != nullptr; }

  // Writes or merges the four view records of one period (Flag = FlagBase + view), durably.
  void WritePeriod(uint16_t flagBase, uint16_t hour, const TPeriodTotals& totals, TDate date);
  // Several periods in one transaction: all of them are stored, or none.
  void WritePeriods(std::span<const TPeriodWrite> periods);

  void Close();

  // Runs one of the statistics window's select texts; rows come in key order.
  std::vector<TLogRecord> Select(std::string_view sql);

  // A one-time message for the user about something Open() repaired; empty when none.
  std::string TakeNotice();

 private:
  sqlite3* Db = nullptr;
  int LockFd = -1;
  std::string Notice;
};

}  // namespace zul
