#include "history/LogFile.h"

#include <sqlite3.h>

#include <array>
#include <filesystem>
#include <system_error>

#include "history/Export.h"

namespace zul {
namespace {

// Whether the file has the log's table with the five fields the records are read from.
bool HasLogTable(sqlite3* db, const std::string& path) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA table_info(bw)", -1, &raw, nullptr);
  const TStmt st(raw);
  if (rc != SQLITE_OK) RefuseLogRead(db, path, sqlite3_extended_errcode(db));
  std::array<bool, 5> seen{};
  static constexpr std::array<const char*, 5> kFields = {"CDate", "Flag", "Hour", "Up", "Dn"};
  while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 1));
    for (std::size_t i = 0; i < kFields.size(); ++i)
      if (name != nullptr && sqlite3_stricmp(name, kFields[i]) == 0) seen[i] = true;
  }
  if (rc != SQLITE_DONE) RefuseLogRead(db, path, rc);
  for (bool s : seen)
    if (!s) return false;
  return true;
}

}  // namespace

void TDbCloser::operator()(sqlite3* db) const {
  sqlite3_close_v2(db);
}

void TStmtFinalizer::operator()(sqlite3_stmt* st) const {
  sqlite3_finalize(st);
}

void RefuseLogRead(sqlite3* db, const std::string& path, int rc) {
  const int primary = rc & 0xff;
  if (rc == SQLITE_READONLY_ROLLBACK)
    throw TLogError("The traffic log " + path +
                    " holds a write that was cut short; start the program once so that it is "
                    "undone, then export again.");
  if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
    throw TLogBusy("The traffic log " + path + " stayed locked by another program.");
  if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT)
    throw TLogError("The traffic log " + path + " is damaged or is not a traffic log.");
  const char* detail = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  throw TLogError("Cannot read the traffic log " + path + ": " + detail + ".");
}

TDb OpenLogReadOnly(const std::string& path, int busyTimeoutMs) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec))
    throw TLogError("There is no traffic log at " + path + ".");
  // Read-only: SQLite never creates the file, and the program's writer goes on meanwhile.
  sqlite3* raw = nullptr;
  const int openRc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  TDb db(raw);
  if (openRc != SQLITE_OK) RefuseLogRead(raw, path, openRc);
  sqlite3_extended_result_codes(db.get(), 1);
  sqlite3_busy_timeout(db.get(), busyTimeoutMs);
  if (!HasLogTable(db.get(), path))
    throw TLogError("The traffic log " + path + " is damaged or is not a traffic log.");
  return db;
}

}  // namespace zul
