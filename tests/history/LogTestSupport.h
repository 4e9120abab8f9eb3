// Shared by the log and sampler tests: a scratch folder, another program's lock on the table,
// and the rules every traffic log must meet, checked with the C library's calendar.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <tuple>

#include "history/TrafficLog.h"

namespace zul::test {

class TTempDir {
 public:
  TTempDir() {
    std::string p = (std::filesystem::temp_directory_path() / "zul-log-XXXXXX").string();
    if (mkdtemp(p.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    Dir = p + "/";
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(Dir, ec);
  }
  const std::string& Path() const { return Dir; }

 private:
  std::string Dir;
};

// Another connection that holds the table's write lock while it lives.
class TForeignLock {
 public:
  explicit TForeignLock(const std::string& file, const char* begin = "BEGIN IMMEDIATE") {
    // Waits out a transaction of the log's own writer (it keeps the running hour once a minute).
    if (sqlite3_open(file.c_str(), &Db) != SQLITE_OK ||
        sqlite3_busy_timeout(Db, 2000) != SQLITE_OK ||
        sqlite3_exec(Db, begin, nullptr, nullptr, nullptr) != SQLITE_OK)
      ADD_FAILURE() << "could not lock " << file << ": " << sqlite3_errmsg(Db);
  }
  ~TForeignLock() { sqlite3_close_v2(Db); }  // closing rolls back

 private:
  sqlite3* Db = nullptr;
};

inline TDate Date(int y, int m, int d) {
  return TDate{std::chrono::year(y), std::chrono::month(static_cast<unsigned>(m)),
               std::chrono::day(static_cast<unsigned>(d))};
}

// Calendar arithmetic apart from the code under test.
inline std::tm Civil(TDate d, int addDays = 0) {
  std::tm t{};
  t.tm_year = static_cast<int>(d.year()) - 1900;
  t.tm_mon = static_cast<int>(static_cast<unsigned>(d.month())) - 1;
  t.tm_mday = static_cast<int>(static_cast<unsigned>(d.day())) + addDays;
  t.tm_hour = 12;
  const std::time_t s = timegm(&t);  // normalises the day and fills in the weekday
  gmtime_r(&s, &t);
  return t;
}
inline TDate FromCivil(const std::tm& t) {
  return Date(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
}
inline TDate SundayEnding(TDate d) {
  return FromCivil(Civil(d, (7 - Civil(d).tm_wday) % 7));
}
inline TDate LastOfMonth(TDate d) {
  const int n = static_cast<int>(static_cast<unsigned>(d.day()));
  for (int i = 31 - n; i >= 0; --i)
    if (Civil(d, i).tm_mon == Civil(d).tm_mon) return FromCivil(Civil(d, i));
  return d;
}

struct TAmount {
  double Up = 0, Dn = 0;
  bool operator==(const TAmount&) const = default;
};
inline void PrintTo(const TAmount& a, std::ostream* os) {
  *os << a.Up << " up, " << a.Dn << " dn";
}
using TRows = std::map<std::tuple<int, int, int, int>, TAmount>;  // (y, m, d, Hour)
using TTable = std::map<int, TRows>;                              // by Flag

inline std::tuple<int, int, int, int> Key(TDate d, int hour) {
  return {static_cast<int>(d.year()), static_cast<int>(static_cast<unsigned>(d.month())),
          static_cast<int>(static_cast<unsigned>(d.day())), hour};
}
inline TDate DateOf(const std::tuple<int, int, int, int>& k) {
  return Date(std::get<0>(k), std::get<1>(k), std::get<2>(k));
}

inline std::string SelectAll(int flag) {
  return "select * from bw.DB where Flag=" + std::to_string(flag) + ";";
}

// Every record of the five groupings, read back through the statistics window's query.
inline TTable ReadTable(TTrafficLog& log) {
  TTable table;
  for (int g = 0; g < 5; ++g)
    for (int v = 0; v < 4; ++v)
      for (const TLogRecord& r : log.Select(SelectAll(g * 16 + v)))
        table[r.Flag][Key(r.CDate, r.Hour)] = {r.Up, r.Dn};
  return table;
}

inline std::size_t RecordCount(const TTable& t) {
  std::size_t n = 0;
  for (const auto& [flag, rows] : t) n += rows.size();
  return n;
}

// Adds records up under the key of the longer period that holds them.
template <class KeyOf>
TRows RollUp(const TRows& rows, KeyOf keyOf) {
  TRows out;
  for (const auto& [k, a] : rows) {
    TAmount& s = out[keyOf(DateOf(k))];
    s.Up += a.Up;
    s.Dn += a.Dn;
  }
  return out;
}

// Hourly records add up to the daily ones, daily to weekly and monthly, monthly to yearly, and
// "Internet & LAN" is "Internet" plus "LAN" in every record. Amounts are exact binary fractions.
inline void ExpectConsistent(TTable t) {
  for (int v = 0; v < 4; ++v) {
    EXPECT_EQ(RollUp(t[v],
                     [](TDate d) {
                       return Key(d, static_cast<int>(static_cast<unsigned>(d.day())) * 8 +
                                         Civil(d).tm_wday + 1);
                     }),
              t[16 + v])
        << "daily, view " << v;
    EXPECT_EQ(RollUp(t[16 + v], [](TDate d) { return Key(SundayEnding(d), 0); }), t[32 + v])
        << "weekly, view " << v;
    EXPECT_EQ(RollUp(t[16 + v],
                     [](TDate d) {
                       return Key(LastOfMonth(d),
                                  static_cast<int>(static_cast<unsigned>(d.month())));
                     }),
              t[48 + v])
        << "monthly, view " << v;
    EXPECT_EQ(
        RollUp(t[48 + v], [](TDate d) { return Key(Date(static_cast<int>(d.year()), 12, 31), 0); }),
        t[64 + v])
        << "yearly, view " << v;
  }
  for (int g = 0; g < 80; g += 16) {
    TRows sum = t[g + 1];
    for (const auto& [k, a] : t[g + 2]) {
      sum[k].Up += a.Up;
      sum[k].Dn += a.Dn;
    }
    EXPECT_EQ(sum, t[g]) << "Internet & LAN against Internet + LAN, grouping " << g / 16;
    EXPECT_EQ(t[g].size(), t[g + 3].size()) << "all-PCs records, grouping " << g / 16;
  }
}

}  // namespace zul::test
