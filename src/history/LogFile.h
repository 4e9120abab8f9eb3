// Read-only connections to a traffic log file for the readers beside the program's writer (the
// exports, the windows' reads): the file is never created or changed. Qt-free; for the history
// library's own files.
#pragma once

#include <memory>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace zul {

struct TDbCloser {
  void operator()(sqlite3* db) const;
};
struct TStmtFinalizer {
  void operator()(sqlite3_stmt* st) const;
};
using TDb = std::unique_ptr<sqlite3, TDbCloser>;
using TStmt = std::unique_ptr<sqlite3_stmt, TStmtFinalizer>;

// Throws the reader's error for the SQLite code `rc` met on `path`: TLogBusy for a lock held
// too long, TLogError otherwise, with a text meant for the user.
[[noreturn]] void RefuseLogRead(sqlite3* db, const std::string& path, int rc);

// Opens the log at `path` read-only, checking that it holds the log's table. Throws TLogError
// for a missing, damaged or foreign file.
TDb OpenLogReadOnly(const std::string& path, int busyTimeoutMs);

}  // namespace zul
