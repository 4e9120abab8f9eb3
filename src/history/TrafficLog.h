// The traffic log "bw.DB": hourly to yearly kilobyte totals per view, in an SQLite file.
// Qt-free; main thread only.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Files.h"
#include "vartype.h"

struct sqlite3;
struct sqlite3_stmt;

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

// Flag bases of the five groupings.
inline constexpr uint16_t kHourlyBase = 0;
inline constexpr uint16_t kDailyBase = 16;
inline constexpr uint16_t kWeeklyBase = 32;
inline constexpr uint16_t kMonthlyBase = 48;
inline constexpr uint16_t kYearlyBase = 64;

// Keys of the longer periods that contain a day. Weeks run Monday to Sunday.
uint16_t DailyHourValue(TDate day);  // day of month * 8 + day of week (1 = Sunday)
TDate WeekEnd(TDate day);            // the Sunday that ends the week
TDate MonthEnd(TDate day);
TDate YearEnd(TDate day);

// The daily, weekly, monthly and yearly writes that add `totals` to the periods holding `day`.
std::array<TPeriodWrite, 4> DayPeriods(TDate day, const TPeriodTotals& totals);

class TTrafficLog {
 public:
  TTrafficLog() = default;
  ~TTrafficLog();
  TTrafficLog(const TTrafficLog&) = delete;
  TTrafficLog& operator=(const TTrafficLog&) = delete;

  // How long a write waits for another program's lock on the file before it fails.
  void SetBusyTimeout(std::chrono::milliseconds timeout) { BusyTimeoutMs = timeout.count(); }

  // Opens dbDir + "bw.DB" (dbDir ends with '/'), creating the folder and the table when missing.
  // A file that is not our table is renamed aside and a fresh one created; TakeNotice() then
  // tells where it went. Throws TLogError when the log cannot be opened (the log stays closed),
  // among others when another instance is writing the same log.
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
  enum class TState { Ours, Empty, Foreign };
  void OpenFile();
  TState Inspect();
  void MoveAside();
  void CreateTable();
  void Prepare();
  void Exec(const char* sql);
  [[noreturn]] void Fail(const std::string& what, int rc);

  sqlite3* Db = nullptr;
  sqlite3_stmt* Upsert = nullptr;
  std::array<sqlite3_stmt*, 3> Selects{};  // all dates, one date, a date range
  TFileLock Lock;
  long long BusyTimeoutMs = 3000;
  std::string Path;
  std::string Notice;
};

}  // namespace zul
