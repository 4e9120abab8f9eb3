// The traffic log "bw.DB": hourly to yearly kilobyte totals per view, in an SQLite file.
// Qt-free. Main thread only, except the writer thread that the log owns (see Submit).
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "capture/AppUsage.h"
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
  // Holds traffic of a period still running that the log's table does not have yet.
  bool SoFar = false;
  bool operator==(const TLogRecord&) const = default;
};

// The four view records of one period, as the sampler hands them over.
struct TPeriodWrite {
  uint16_t FlagBase = 0;
  uint16_t Hour = 0;
  TPeriodTotals Totals{};
  TDate Date;
  // An hourly period's rows per application, stored beside the view records in the table
  // "zul_apps" (its running part in "zul_running_apps"); other periods carry none.
  TAppDeltas Apps{};
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

  // Writes or merges the four view records of one period (Flag = FlagBase + view), and an hourly
  // period's application rows, durably.
  void WritePeriod(uint16_t flagBase, uint16_t hour, const TPeriodTotals& totals, TDate date);
  // Several periods in one transaction: all of them are stored, or none.
  void WritePeriods(std::span<const TPeriodWrite> periods);

  // The running hour's periods so far, for other programs to read beside the table (the side
  // table "running"); the writer saves them with its next transaction and never waits for them.
  // Submit empties them in the same step, since the hour it hands over ends the running one.
  void SetRunning(std::vector<TPeriodWrite> running);

  // The writer thread: the main thread hands a batch over and goes on; the batch is written in one
  // transaction by the log's own thread, in the order submitted. A batch that fails stays first in
  // the queue and is tried again after the retry interval, at the next Submit, or at Drain; it is
  // removed only once its transaction committed, so nothing is written twice. Batches submitted
  // while the log is closed wait for the next Open.
  void Submit(std::vector<TPeriodWrite> batch);
  // Tries a failed batch again at once and waits at most `bound` until the queue is empty or an
  // attempt begun after the call has failed. Returns whether everything submitted is written.
  bool Drain(std::chrono::milliseconds bound);
  // The exit's way: tries again and again until everything submitted is written or `deadline`
  // has come; no attempt runs past the deadline by more than a moment. Returns whether
  // everything is written. Batches written meanwhile leave the queue.
  bool DrainUntil(std::chrono::steady_clock::time_point deadline);
  // The text of the last attempt's failure; empty once a write succeeded.
  std::string WriteError() const;
  std::size_t QueuedBatches() const;
  // A copy of the batches still waiting, oldest first. Any thread.
  std::vector<std::vector<TPeriodWrite>> QueuedCopy() const;
  // The file, once opened ("" before).
  const std::string& FilePath() const { return Path; }
  // The batches still waiting (for the exit's report); the queue is empty afterwards.
  std::vector<std::vector<TPeriodWrite>> TakeQueued();
  void SetRetryInterval(std::chrono::milliseconds interval);
  // When a write last committed in this run; none before the first. Any thread.
  std::optional<std::chrono::system_clock::time_point> LastWriteTime() const;
  // Runs on the writer thread after each attempt at an hour: the error's text, or empty after a
  // success. Set before Open; TLogEvents turns it into a signal on the main thread.
  std::function<void(const std::string& error)> OnWriteResult;

  // Stops the writer (after the attempt under way) and closes the file; queued batches are kept.
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
  void InspectApps();
  void Prepare();
  void WriteBatch(std::span<const TPeriodWrite> periods, const std::vector<TPeriodWrite>* running,
                  std::optional<std::chrono::steady_clock::time_point> deadline);
  void Exec(const char* sql);
  [[noreturn]] void Fail(const std::string& what, int rc);

  void StartWriter();
  void StopWriter();
  void WriterLoop(const std::stop_token& stop);

  // Guards the connection and its statements: the writer's transactions and the main thread's
  // reads take turns.
  mutable std::mutex DbM;
  sqlite3* Db = nullptr;
  sqlite3_stmt* Upsert = nullptr;
  sqlite3_stmt* RunningInsert = nullptr;
  sqlite3_stmt* AppsUpsert = nullptr;
  sqlite3_stmt* RunningAppsInsert = nullptr;
  bool AppsUsable = true;                  // the application table is ours (or can be made)
  bool RunningUsable = true;               // the side table is ours (or can be made)
  bool StaleRunning = false;               // what an earlier run left in it is still there
  std::array<sqlite3_stmt*, 3> Selects{};  // all dates, one date, a date range
  TFileLock Lock;
  long long BusyTimeoutMs = 3000;
  std::string Path;
  std::string Notice;

  // The queue, shared with the writer; guarded by QueueM.
  mutable std::mutex QueueM;
  std::condition_variable_any QueueCv;
  std::deque<std::vector<TPeriodWrite>> Queue;
  bool RetryNow = false;
  // Attempts are numbered as they start, so that Drain waits for the outcome of one that began
  // after its call rather than of one already under way with the old state of the file.
  uint64_t AttemptsStarted = 0;
  uint64_t LastFailedAttempt = 0;
  std::string LastAttemptError;
  std::chrono::milliseconds RetryInterval{60000};
  std::optional<std::chrono::system_clock::time_point> LastCommit;
  // The running periods and whether the side table still lacks this version of them.
  std::vector<TPeriodWrite> Running;
  bool RunningDirty = false;
  bool Writing = false;  // a transaction of the writer is under way
  uint64_t RunningVersion = 0;
  // Set by DrainUntil: failed attempts are tried again at once, none waits past it.
  std::optional<std::chrono::steady_clock::time_point> ExitDeadline;
  std::jthread Writer;
};

}  // namespace zul
