#include "history/TrafficLog.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "history/LogQuery.h"
#include "platform/Files.h"

namespace zul {
namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

constexpr const char* kCreateTable =
    "CREATE TABLE bw ("
    " CDate TEXT NOT NULL,"
    " Flag INTEGER NOT NULL,"
    " Hour INTEGER NOT NULL,"
    " Up REAL NOT NULL,"
    " Dn REAL NOT NULL,"
    " PRIMARY KEY (CDate, Flag, Hour)"
    ") WITHOUT ROWID";

// A write merges into the record of the same key instead of replacing it.
constexpr const char* kUpsert =
    "INSERT INTO bw (CDate, Flag, Hour, Up, Dn) VALUES (?1, ?2, ?3, ?4, ?5)"
    " ON CONFLICT (CDate, Flag, Hour) DO UPDATE SET Up = Up + excluded.Up, Dn = Dn + excluded.Dn";

// The running hour's periods, per view, as the log's records will hold them once the hour ends;
// beside the table so that another program sees them. Every transaction that writes an hour
// replaces them, so a period is never both here and in the table.
constexpr const char* kCreateRunning =
    "CREATE TABLE IF NOT EXISTS zul_running ("
    " CDate TEXT NOT NULL,"
    " Flag INTEGER NOT NULL,"
    " Hour INTEGER NOT NULL,"
    " Up REAL NOT NULL,"
    " Dn REAL NOT NULL,"
    " PRIMARY KEY (CDate, Flag, Hour)"
    ") WITHOUT ROWID";
constexpr const char* kRunningInsert =
    "INSERT INTO zul_running (CDate, Flag, Hour, Up, Dn) VALUES (?1, ?2, ?3, ?4, ?5)"
    " ON CONFLICT (CDate, Flag, Hour) DO UPDATE SET Up = Up + excluded.Up, Dn = Dn + excluded.Dn";
// Each application's bytes per hour (the hourly records' key and the application's name), whole
// bytes as integers; a write merges into the row of the same key, as the view records do.
constexpr const char* kCreateApps =
    "CREATE TABLE IF NOT EXISTS zul_apps ("
    " CDate TEXT NOT NULL,"
    " Hour INTEGER NOT NULL,"
    " App TEXT NOT NULL,"
    " InternetDn INTEGER NOT NULL,"
    " InternetUp INTEGER NOT NULL,"
    " LanDn INTEGER NOT NULL,"
    " LanUp INTEGER NOT NULL,"
    " PRIMARY KEY (CDate, Hour, App)"
    ") WITHOUT ROWID";
constexpr const char* kAppsUpsert =
    "INSERT INTO zul_apps (CDate, Hour, App, InternetDn, InternetUp, LanDn, LanUp)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"
    " ON CONFLICT (CDate, Hour, App) DO UPDATE SET InternetDn = InternetDn + excluded.InternetDn,"
    " InternetUp = InternetUp + excluded.InternetUp, LanDn = LanDn + excluded.LanDn,"
    " LanUp = LanUp + excluded.LanUp";
// The running hour's application rows, beside zul_running and replaced with it.
constexpr const char* kCreateRunningApps =
    "CREATE TABLE IF NOT EXISTS zul_running_apps ("
    " CDate TEXT NOT NULL,"
    " Hour INTEGER NOT NULL,"
    " App TEXT NOT NULL,"
    " InternetDn INTEGER NOT NULL,"
    " InternetUp INTEGER NOT NULL,"
    " LanDn INTEGER NOT NULL,"
    " LanUp INTEGER NOT NULL,"
    " PRIMARY KEY (CDate, Hour, App)"
    ") WITHOUT ROWID";
constexpr const char* kRunningAppsInsert =
    "INSERT INTO zul_running_apps (CDate, Hour, App, InternetDn, InternetUp, LanDn, LanUp)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"
    " ON CONFLICT (CDate, Hour, App) DO UPDATE SET InternetDn = InternetDn + excluded.InternetDn,"
    " InternetUp = InternetUp + excluded.InternetUp, LanDn = LanDn + excluded.LanDn,"
    " LanUp = LanUp + excluded.LanUp";
// Indexed by TLogQuery::TKind. The key order is what the statistics window lists.
constexpr std::array<const char*, 3> kSelects = {
    "SELECT CDate, Flag, Hour, Up, Dn FROM bw WHERE Flag = ?1 ORDER BY CDate, Flag, Hour",
    "SELECT CDate, Flag, Hour, Up, Dn FROM bw WHERE Flag = ?1 AND CDate = ?2"
    " ORDER BY CDate, Flag, Hour",
    "SELECT CDate, Flag, Hour, Up, Dn FROM bw WHERE Flag = ?1 AND CDate >= ?2 AND CDate <= ?3"
    " ORDER BY CDate, Flag, Hour",
};

struct TColumn {
  const char* Name;
  const char* Type;
  int KeyPos;  // 1-based position in the primary key, 0 when not a key column
};
constexpr std::array<TColumn, 5> kColumns = {{
    {"CDate", "TEXT", 1},
    {"Flag", "INTEGER", 2},
    {"Hour", "INTEGER", 3},
    {"Up", "REAL", 0},
    {"Dn", "REAL", 0},
}};
constexpr std::array<TColumn, 7> kAppColumns = {{
    {"CDate", "TEXT", 1},
    {"Hour", "INTEGER", 2},
    {"App", "TEXT", 3},
    {"InternetDn", "INTEGER", 0},
    {"InternetUp", "INTEGER", 0},
    {"LanDn", "INTEGER", 0},
    {"LanUp", "INTEGER", 0},
}};

// SQLite's integers are signed; no hour comes near the limit.
sqlite3_int64 Stored(uint64_t bytes) {
  constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
  return static_cast<sqlite3_int64>(bytes < kMax ? bytes : kMax);
}

// Binds one application row of the hour `date`/`hour` to an insert of kAppsUpsert's shape and
// runs it.
int StepAppRow(sqlite3_stmt* st, const std::string& date, int hour, const TAppDelta& a) {
  sqlite3_bind_text(st, 1, date.c_str(), static_cast<int>(date.size()), SQLITE_TRANSIENT);
  sqlite3_bind_int(st, 2, hour);
  sqlite3_bind_text(st, 3, a.App.c_str(), static_cast<int>(a.App.size()), SQLITE_TRANSIENT);
  sqlite3_bind_int64(st, 4, Stored(a.Bytes.InternetDown));
  sqlite3_bind_int64(st, 5, Stored(a.Bytes.InternetUp));
  sqlite3_bind_int64(st, 6, Stored(a.Bytes.LanDown));
  sqlite3_bind_int64(st, 7, Stored(a.Bytes.LanUp));
  const int rc = sqlite3_step(st);
  sqlite3_reset(st);
  return rc;
}

bool IsLockedCode(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

bool IsDamagedCode(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

bool StorableDate(TDate d) {
  return d.ok() && d.year() >= year(1) && d.year() <= year(9999);
}

// ISO 8601, so that text order is date order.
std::string DateText(TDate d) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(d.year()),
                static_cast<unsigned>(d.month()), static_cast<unsigned>(d.day()));
  return buf;
}

bool ParseDateText(const unsigned char* text, int len, TDate& out) {
  if (text == nullptr || len != 10 || text[4] != '-' || text[7] != '-') return false;
  auto number = [&](int from, int count, unsigned& n) {
    n = 0;
    for (int i = from; i < from + count; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      n = n * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
  };
  unsigned y = 0, m = 0, d = 0;
  if (!number(0, 4, y) || !number(5, 2, m) || !number(8, 2, d)) return false;
  out = TDate{year(static_cast<int>(y)), month(m), day(d)};
  return StorableDate(out);
}

bool SameName(const unsigned char* a, const char* b) {
  return a != nullptr && sqlite3_stricmp(reinterpret_cast<const char*>(a), b) == 0;
}

// Reads a table's columns (`pragma` is its table_info) against `columns`: name, type, NOT NULL and
// place in the key, in order. `n` is how many it has (0: no such table), `match` whether they are
// exactly those. SQLITE_DONE, or the error that stopped the read.
int CompareColumns(sqlite3* db, const char* pragma, std::span<const TColumn> columns,
                   std::size_t& n, bool& match) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(db, pragma, -1, &st, nullptr);
  if (rc != SQLITE_OK) return rc;
  n = 0;
  match = true;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    if (n >= columns.size()) {
      match = false;
      ++n;
      continue;
    }
    const TColumn& want = columns[n++];
    match = match && SameName(sqlite3_column_text(st, 1), want.Name) &&
            SameName(sqlite3_column_text(st, 2), want.Type) && sqlite3_column_int(st, 3) == 1 &&
            sqlite3_column_int(st, 5) == want.KeyPos;
  }
  sqlite3_finalize(st);
  match = match && n == columns.size();
  return rc;
}

// Resets a statement however the caller leaves, so it never holds a read lock.
struct TResetGuard {
  sqlite3_stmt* Stmt;
  ~TResetGuard() {
    sqlite3_reset(Stmt);
    sqlite3_clear_bindings(Stmt);
  }
};

std::string LocalStamp() {
  const std::time_t t = std::time(nullptr);
  std::tm lt{};
  localtime_r(&t, &lt);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &lt);
  return buf;
}

}  // namespace

uint16_t DailyHourValue(TDate d) {
  const weekday wd{sys_days{d}};
  return static_cast<uint16_t>(static_cast<unsigned>(d.day()) * 8 + wd.c_encoding() + 1);
}

TDate WeekEnd(TDate d) {
  const sys_days sd{d};
  const unsigned iso = weekday{sd}.iso_encoding();  // Monday 1 .. Sunday 7
  return TDate{sd + days{7 - iso}};
}

TDate MonthEnd(TDate d) {
  return TDate{year_month_day_last{d.year(), month_day_last{d.month()}}};
}

TDate YearEnd(TDate d) {
  return TDate{d.year(), December, day(31)};
}

std::array<TPeriodWrite, 4> DayPeriods(TDate d, const TPeriodTotals& totals) {
  return {{
      {kDailyBase, DailyHourValue(d), totals, d},
      {kWeeklyBase, 0, totals, WeekEnd(d)},
      {kMonthlyBase, static_cast<uint16_t>(static_cast<unsigned>(d.month())), totals, MonthEnd(d)},
      {kYearlyBase, 0, totals, YearEnd(d)},
  }};
}

TTrafficLog::~TTrafficLog() {
  Close();
}

void TTrafficLog::Open(const std::string& dbDir) {
  Close();
  std::unique_lock db(DbM);
  Path = dbDir.empty() || dbDir.back() == '/' ? dbDir + "bw.DB" : dbDir + "/bw.DB";
  try {
    try {
      MakePrivateDir(dbDir, "traffic log folder");
    } catch (const std::runtime_error& e) {
      throw TLogError(e.what());
    }

    // SQLite's own locks cover single transactions; this one keeps a second writer away for
    // the whole run.
    const std::string lockPath = Path + ".lock";  // kept on disk: removing it would race
    switch (Lock.TryLock(lockPath)) {
      case TFileLock::TResult::Locked:
        break;
      case TFileLock::TResult::HeldElsewhere:
        throw TLogError("Another instance of the program is writing the traffic log " + Path +
                        "; this one does not log traffic.");
      case TFileLock::TResult::Failed:
        throw TLogError("Cannot lock the traffic log: " + Lock.Error());
    }

    OpenFile();
    switch (Inspect()) {
      case TState::Ours:
        InspectApps();
        break;
      case TState::Empty:
        CreateTable();
        break;
      case TState::Foreign:
        MoveAside();
        OpenFile();
        CreateTable();
        break;
    }
    // A rollback journal plus a full sync at each commit: a transaction that returned survives
    // a crash or power loss, one that did not is rolled back on the next open.
    Exec("PRAGMA journal_mode=DELETE");
    Exec("PRAGMA synchronous=FULL");
    Prepare();
    RunningUsable = true;
    StaleRunning = true;
  } catch (...) {
    db.unlock();
    Close();
    throw;
  }
  db.unlock();
  StartWriter();
}

void TTrafficLog::OpenFile() {
  // SQLite would create the file readable by everyone (and its journals take the file's mode):
  // the log is the user's alone.
  try {
    OpenPrivateFile(Path, "traffic log");
  } catch (const std::runtime_error& e) {
    throw TLogError(e.what());
  }
  const int rc =
      sqlite3_open_v2(Path.c_str(), &Db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) Fail("Cannot open the traffic log " + Path, rc);
  sqlite3_extended_result_codes(Db, 1);
  sqlite3_busy_timeout(Db, static_cast<int>(BusyTimeoutMs));
}

TTrafficLog::TState TTrafficLog::Inspect() {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(Db, "PRAGMA quick_check", -1, &st, nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(st);
    const bool healthy = rc == SQLITE_ROW && SameName(sqlite3_column_text(st, 0), "ok");
    sqlite3_finalize(st);
    if (rc == SQLITE_ROW) {
      if (!healthy) return TState::Foreign;
      rc = SQLITE_OK;
    }
  }
  if (IsDamagedCode(rc)) return TState::Foreign;
  if (rc != SQLITE_OK) Fail("Cannot read the traffic log " + Path, rc);

  rc = sqlite3_prepare_v2(Db, "SELECT count(*) FROM sqlite_master WHERE type = 'table'", -1, &st,
                          nullptr);
  if (rc != SQLITE_OK) Fail("Cannot read the traffic log " + Path, rc);
  rc = sqlite3_step(st);
  const sqlite3_int64 tables = rc == SQLITE_ROW ? sqlite3_column_int64(st, 0) : 0;
  sqlite3_finalize(st);
  if (rc != SQLITE_ROW) Fail("Cannot read the traffic log " + Path, rc);
  if (tables == 0) return TState::Empty;

  std::size_t n = 0;
  bool match = false;
  rc = CompareColumns(Db, "PRAGMA table_info(bw)", kColumns, n, match);
  if (rc != SQLITE_DONE) Fail("Cannot read the traffic log " + Path, rc);
  return match ? TState::Ours : TState::Foreign;
}

void TTrafficLog::MoveAside() {
  sqlite3_close_v2(Db);
  Db = nullptr;
  const std::string base = Path + ".damaged-" + LocalStamp();
  std::string aside = base;
  for (int i = 1; i < 100 && fs::exists(aside); ++i) aside = base + "-" + std::to_string(i);
  std::error_code ec;
  if (fs::exists(aside)) ec = std::make_error_code(std::errc::file_exists);
  if (!ec) fs::rename(Path, aside, ec);
  if (ec)
    throw TLogError(
        "The traffic log " + Path +
        " is damaged or not a traffic log, and it could not be moved aside: " + ec.message());
  // A journal left beside the old file must not be played back into the new one.
  for (const char* suffix : {"-journal", "-wal", "-shm"}) {
    if (!fs::exists(Path + suffix)) continue;
    fs::rename(Path + suffix, aside + suffix, ec);
    if (ec) throw TLogError("Cannot move " + Path + suffix + " aside: " + ec.message());
  }
  Notice = "The traffic log " + Path + " was damaged or was not a traffic log. It was moved to " +
           aside + " and a new, empty log was started.";
}

void TTrafficLog::CreateTable() {
  Exec(kCreateTable);
  Exec(kCreateApps);
  AppsUsable = true;
}

void TTrafficLog::InspectApps() {
  // An older log gets the table with its next write; one of another shape is kept as it is, and
  // the applications' hours are not logged.
  AppsUsable = true;
  std::size_t n = 0;
  bool match = false;
  const int rc = CompareColumns(Db, "PRAGMA table_info(zul_apps)", kAppColumns, n, match);
  if (rc != SQLITE_DONE) Fail("Cannot read the traffic log " + Path, rc);
  if (n == 0 || match) return;
  AppsUsable = false;
  if (!Notice.empty()) Notice += "\n";
  Notice += "The traffic log " + Path +
            " has a table \"zul_apps\" that the program did not make. It is left as it is, and "
            "the applications' traffic is not logged.";
}

void TTrafficLog::Prepare() {
  int rc = sqlite3_prepare_v3(Db, kUpsert, -1, SQLITE_PREPARE_PERSISTENT, &Upsert, nullptr);
  if (rc != SQLITE_OK) Fail("Cannot prepare the traffic log " + Path, rc);
  for (std::size_t i = 0; i < kSelects.size(); ++i) {
    rc = sqlite3_prepare_v3(Db, kSelects[i], -1, SQLITE_PREPARE_PERSISTENT, &Selects[i], nullptr);
    if (rc != SQLITE_OK) Fail("Cannot prepare the traffic log " + Path, rc);
  }
}

void TTrafficLog::Exec(const char* sql) {
  const int rc = sqlite3_exec(Db, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) Fail("Cannot set up the traffic log " + Path, rc);
}

void TTrafficLog::Fail(const std::string& what, int rc) {
  if (IsLockedCode(rc)) throw TLogError(what + ": the file is locked by another program.");
  const char* detail = Db != nullptr ? sqlite3_errmsg(Db) : sqlite3_errstr(rc);
  throw TLogError(what + ": " + detail + ".");
}

void TTrafficLog::WritePeriod(uint16_t flagBase, uint16_t hour, const TPeriodTotals& totals,
                              TDate date) {
  const TPeriodWrite one{flagBase, hour, totals, date};
  WritePeriods(std::span<const TPeriodWrite>(&one, 1));
}

void TTrafficLog::WritePeriods(std::span<const TPeriodWrite> periods) {
  WriteBatch(periods, nullptr, std::nullopt);
}

void TTrafficLog::WriteBatch(std::span<const TPeriodWrite> periods,
                             const std::vector<TPeriodWrite>* running,
                             std::optional<steady_clock::time_point> deadline) {
  const std::lock_guard db(DbM);
  if (Db == nullptr) throw TLogError("The traffic log is not open.");
  for (const TPeriodWrite& p : periods) {
    if (!StorableDate(p.Date)) throw TLogError("A traffic log record has an invalid date.");
  }
  if (running != nullptr) {
    for (const TPeriodWrite& p : *running)
      if (!StorableDate(p.Date)) running = nullptr;  // kept out of the side table, nothing else
  }
  const std::string what = "Cannot write to the traffic log " + Path;
  // An attempt at exit waits for another program's lock no longer than the exit may.
  struct TBusyBound {
    sqlite3* Db;
    long long Normal;
    ~TBusyBound() { sqlite3_busy_timeout(Db, static_cast<int>(Normal)); }
  } bound{Db, BusyTimeoutMs};
  if (deadline) {
    const long long left = std::max<long long>(
        0, duration_cast<milliseconds>(*deadline - steady_clock::now()).count());
    sqlite3_busy_timeout(Db, static_cast<int>(std::min(left, BusyTimeoutMs)));
  }
  int rc = sqlite3_exec(Db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) Fail(what, rc);
  auto abandon = [&](int code) {
    // Keep the error text before the rollback replaces it.
    std::string text = IsLockedCode(code) ? std::string("the file is locked by another program")
                                          : std::string(sqlite3_errmsg(Db));
    if (sqlite3_get_autocommit(Db) == 0) sqlite3_exec(Db, "ROLLBACK", nullptr, nullptr, nullptr);
    // The rollback may have taken back tables this transaction made for these statements; the
    // next attempt makes them again.
    for (sqlite3_stmt** st : {&AppsUpsert, &RunningInsert, &RunningAppsInsert}) {
      sqlite3_finalize(*st);
      *st = nullptr;
    }
    throw TLogError(what + ": " + text + ".");
  };
  for (const TPeriodWrite& p : periods) {
    const std::string date = DateText(p.Date);
    for (int v = 0; v < kViewCount; ++v) {
      const TCounterPair pair = kViewCounters[v];
      sqlite3_bind_text(Upsert, 1, date.c_str(), static_cast<int>(date.size()), SQLITE_TRANSIENT);
      sqlite3_bind_int(Upsert, 2, p.FlagBase + v);
      sqlite3_bind_int(Upsert, 3, p.Hour);
      sqlite3_bind_double(Upsert, 4, static_cast<double>(p.Totals[pair.Up]) / 1024.0);
      sqlite3_bind_double(Upsert, 5, static_cast<double>(p.Totals[pair.Down]) / 1024.0);
      rc = sqlite3_step(Upsert);
      sqlite3_reset(Upsert);
      if (rc != SQLITE_DONE) abandon(rc);
    }
  }
  if (AppsUsable) {
    if (AppsUpsert == nullptr) {
      rc = sqlite3_exec(Db, kCreateApps, nullptr, nullptr, nullptr);
      if (rc == SQLITE_OK)
        rc = sqlite3_prepare_v3(Db, kAppsUpsert, -1, SQLITE_PREPARE_PERSISTENT, &AppsUpsert,
                                nullptr);
      if (IsLockedCode(rc)) abandon(rc);
      // Made by another program since the open: left alone, as the open would have.
      if (rc != SQLITE_OK) AppsUsable = false;
    }
  }
  if (AppsUsable) {
    for (const TPeriodWrite& p : periods) {
      if (p.FlagBase != kHourlyBase || p.Apps.empty()) continue;
      const std::string date = DateText(p.Date);
      for (const TAppDelta& a : p.Apps) {
        rc = StepAppRow(AppsUpsert, date, p.Hour, a);
        if (rc != SQLITE_DONE) abandon(rc);
      }
    }
  }
  // The side table goes with the hours: an hour written here ends the running part it had there,
  // and what a run that ended without its exit left there is no running part any more (the
  // table holds whole hours only, so it is dropped, not merged).
  if (RunningUsable && (StaleRunning || running != nullptr)) {
    if (RunningInsert == nullptr) {
      rc = sqlite3_exec(Db, kCreateRunning, nullptr, nullptr, nullptr);
      if (rc == SQLITE_OK) rc = sqlite3_exec(Db, kCreateRunningApps, nullptr, nullptr, nullptr);
      sqlite3_finalize(RunningAppsInsert);
      RunningAppsInsert = nullptr;
      if (rc == SQLITE_OK)
        rc = sqlite3_prepare_v3(Db, kRunningAppsInsert, -1, SQLITE_PREPARE_PERSISTENT,
                                &RunningAppsInsert, nullptr);
      if (rc == SQLITE_OK)
        rc = sqlite3_prepare_v3(Db, kRunningInsert, -1, SQLITE_PREPARE_PERSISTENT, &RunningInsert,
                                nullptr);
      if (IsLockedCode(rc)) abandon(rc);
      // A table of that name that is not ours is left alone, and so is the running part.
      if (rc != SQLITE_OK) RunningUsable = false;
    }
    if (RunningUsable) {
      rc = sqlite3_exec(Db, "DELETE FROM zul_running; DELETE FROM zul_running_apps", nullptr,
                        nullptr, nullptr);
      if (rc != SQLITE_OK) abandon(rc);
    }
    for (const TPeriodWrite& p : running != nullptr && RunningUsable
                                     ? std::span<const TPeriodWrite>(*running)
                                     : std::span<const TPeriodWrite>()) {
      const std::string date = DateText(p.Date);
      for (int v = 0; v < kViewCount; ++v) {
        const TCounterPair pair = kViewCounters[v];
        sqlite3_bind_text(RunningInsert, 1, date.c_str(), static_cast<int>(date.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_int(RunningInsert, 2, p.FlagBase + v);
        sqlite3_bind_int(RunningInsert, 3, p.Hour);
        sqlite3_bind_double(RunningInsert, 4, static_cast<double>(p.Totals[pair.Up]) / 1024.0);
        sqlite3_bind_double(RunningInsert, 5, static_cast<double>(p.Totals[pair.Down]) / 1024.0);
        rc = sqlite3_step(RunningInsert);
        sqlite3_reset(RunningInsert);
        if (rc != SQLITE_DONE) abandon(rc);
      }
      if (p.FlagBase != kHourlyBase) continue;
      for (const TAppDelta& a : p.Apps) {
        rc = StepAppRow(RunningAppsInsert, date, p.Hour, a);
        if (rc != SQLITE_DONE) abandon(rc);
      }
    }
  }
  rc = sqlite3_exec(Db, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) abandon(rc);
  StaleRunning = false;
  const std::lock_guard lock(QueueM);
  LastCommit = std::chrono::system_clock::now();
}

std::optional<std::chrono::system_clock::time_point> TTrafficLog::LastWriteTime() const {
  const std::lock_guard lock(QueueM);
  return LastCommit;
}

void TTrafficLog::Close() {
  StopWriter();
  const std::lock_guard db(DbM);
  sqlite3_finalize(Upsert);
  Upsert = nullptr;
  sqlite3_finalize(RunningInsert);
  RunningInsert = nullptr;
  sqlite3_finalize(AppsUpsert);
  AppsUpsert = nullptr;
  sqlite3_finalize(RunningAppsInsert);
  RunningAppsInsert = nullptr;
  for (sqlite3_stmt*& st : Selects) {
    sqlite3_finalize(st);
    st = nullptr;
  }
  if (Db != nullptr) {
    sqlite3_close_v2(Db);
    Db = nullptr;
  }
  Lock.Unlock();
}

std::vector<TLogRecord> TTrafficLog::Select(std::string_view sql) {
  const TLogQuery q = ParseLogQuery(sql);
  const std::lock_guard db(DbM);
  if (Db == nullptr) throw TLogError("The traffic log is not open.");
  std::string from, to;  // bound without a copy, so they outlive the statement's use
  sqlite3_stmt* st = Selects[static_cast<std::size_t>(q.Kind)];
  TResetGuard guard{st};
  sqlite3_bind_int(st, 1, q.Flag);
  if (q.Kind != TLogQuery::TKind::AllDates) {
    from = DateText(q.From);
    sqlite3_bind_text(st, 2, from.c_str(), static_cast<int>(from.size()), SQLITE_STATIC);
  }
  if (q.Kind == TLogQuery::TKind::DateRange) {
    to = DateText(q.To);
    sqlite3_bind_text(st, 3, to.c_str(), static_cast<int>(to.size()), SQLITE_STATIC);
  }
  std::vector<TLogRecord> rows;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    TLogRecord r;
    if (!ParseDateText(sqlite3_column_text(st, 0), sqlite3_column_bytes(st, 0), r.CDate))
      throw TLogError("The traffic log " + Path + " holds a record with a malformed date.");
    r.Flag = sqlite3_column_int(st, 1);
    r.Hour = sqlite3_column_int(st, 2);
    r.Up = sqlite3_column_double(st, 3);
    r.Dn = sqlite3_column_double(st, 4);
    rows.push_back(r);
  }
  if (rc != SQLITE_DONE) Fail("Cannot read the traffic log " + Path, rc);
  return rows;
}

void TTrafficLog::Submit(std::vector<TPeriodWrite> batch) {
  {
    const std::lock_guard lock(QueueM);
    Queue.push_back(std::move(batch));
    // In the same step, so that no transaction writes the hour and keeps its running part.
    Running.clear();
    RunningDirty = true;
    ++RunningVersion;
    RetryNow = true;
  }
  QueueCv.notify_all();
}

void TTrafficLog::SetRunning(std::vector<TPeriodWrite> running) {
  {
    const std::lock_guard lock(QueueM);
    Running = std::move(running);
    RunningDirty = true;
    ++RunningVersion;
    RetryNow = true;
  }
  QueueCv.notify_all();
}

bool TTrafficLog::Drain(std::chrono::milliseconds bound) {
  std::unique_lock lock(QueueM);
  if (!Writer.joinable()) return Queue.empty();
  RetryNow = true;
  QueueCv.notify_all();
  const uint64_t before = AttemptsStarted;
  // The running part too, and the transaction under way, so that none is open afterwards.
  QueueCv.wait_for(lock, bound, [&] {
    return (Queue.empty() && !RunningDirty && !Writing) || LastFailedAttempt > before;
  });
  return Queue.empty();
}

bool TTrafficLog::DrainUntil(steady_clock::time_point deadline) {
  std::unique_lock lock(QueueM);
  if (!Writer.joinable()) return Queue.empty();
  ExitDeadline = deadline;
  RetryNow = true;
  QueueCv.notify_all();
  QueueCv.wait_until(lock, deadline, [&] { return Queue.empty(); });
  const bool done = Queue.empty();
  ExitDeadline.reset();
  return done;
}

std::string TTrafficLog::WriteError() const {
  const std::lock_guard lock(QueueM);
  return LastAttemptError;
}

std::size_t TTrafficLog::QueuedBatches() const {
  const std::lock_guard lock(QueueM);
  return Queue.size();
}

std::vector<std::vector<TPeriodWrite>> TTrafficLog::QueuedCopy() const {
  const std::lock_guard lock(QueueM);
  return {Queue.begin(), Queue.end()};
}

std::vector<std::vector<TPeriodWrite>> TTrafficLog::TakeQueued() {
  StopWriter();
  const std::lock_guard lock(QueueM);
  std::vector<std::vector<TPeriodWrite>> taken(std::make_move_iterator(Queue.begin()),
                                               std::make_move_iterator(Queue.end()));
  Queue.clear();
  return taken;
}

void TTrafficLog::SetRetryInterval(std::chrono::milliseconds interval) {
  {
    const std::lock_guard lock(QueueM);
    RetryInterval = interval;
  }
  QueueCv.notify_all();
}

void TTrafficLog::StartWriter() {
  if (Writer.joinable()) return;
  Writer = std::jthread([this](const std::stop_token& stop) { WriterLoop(stop); });
}

void TTrafficLog::StopWriter() {
  if (!Writer.joinable()) return;
  Writer.request_stop();
  QueueCv.notify_all();
  Writer.join();
  Writer = std::jthread();
}

void TTrafficLog::WriterLoop(const std::stop_token& stop) {
  // A failed attempt at exit is tried again after this pause, until the exit's deadline.
  constexpr milliseconds kExitRetryPause{100};
  std::unique_lock lock(QueueM);
  while (!stop.stop_requested()) {
    if (Queue.empty() && !RunningDirty) {
      QueueCv.wait(lock, stop, [this] { return !Queue.empty() || RunningDirty; });
      continue;
    }
    // The batch stays first in the queue until its transaction committed; the running part goes
    // with it, or alone when no hour waits.
    const bool hasBatch = !Queue.empty();
    const std::vector<TPeriodWrite> batch = hasBatch ? Queue.front() : std::vector<TPeriodWrite>{};
    const std::optional<std::vector<TPeriodWrite>> running =
        RunningDirty ? std::optional(Running) : std::nullopt;
    const uint64_t version = RunningVersion;
    const auto deadline = ExitDeadline;
    RetryNow = false;
    const uint64_t attempt = ++AttemptsStarted;
    Writing = true;
    lock.unlock();
    std::string error;
    try {
      WriteBatch(batch, running ? &*running : nullptr, deadline);
    } catch (const std::exception& e) {
      error = e.what();
    }
    if (hasBatch && OnWriteResult) OnWriteResult(error);
    lock.lock();
    Writing = false;
    if (error.empty() && running && version == RunningVersion) RunningDirty = false;
    if (!hasBatch) {
      QueueCv.notify_all();
      if (error.empty()) continue;
      // The running part alone failed: it waits for the next hour, running part or retry.
      LastFailedAttempt = attempt;
      QueueCv.wait(lock, stop, [this] { return RetryNow || !Queue.empty(); });
      continue;
    }
    LastAttemptError = error;
    if (error.empty()) {
      Queue.pop_front();
      QueueCv.notify_all();
      continue;
    }
    LastFailedAttempt = attempt;
    QueueCv.notify_all();
    if (ExitDeadline) {
      QueueCv.wait_for(lock, stop, kExitRetryPause, [] { return false; });
      continue;
    }
    QueueCv.wait_for(lock, stop, RetryInterval, [this] { return RetryNow; });
  }
}

std::string TTrafficLog::TakeNotice() {
  std::string n;
  n.swap(Notice);
  return n;
}

}  // namespace zul
