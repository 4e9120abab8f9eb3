#include "AppsFeed.h"

#include "capture/AppIdentity.h"
#include "capture/AppSource.h"
#include "history/Sampler.h"
#include "history/TrafficLog.h"
#include "platform/Log.h"

namespace zul {

TAppsFeed::TAppsFeed(const TAppSource& source, const TSampler& sampler, const TTrafficLog& log)
    : Source(source), Sampler(sampler), Log(log), EntryDirs(DesktopEntryDirs()) {}

TAppDeltas TAppsFeed::Totals(TDate from, TDate to) const {
  if (Log.IsOpen() && !Log.FilePath().empty()) {
    const auto written = Log.LastWriteTime();
    if (!Cached || Cached->From != from || Cached->To != to || Cached->Written != written) {
      try {
        // A write that lands during the read would be counted from the table and again from the
        // unlogged hours below: the read is taken again then.
        for (int attempt = 0; attempt < 3; ++attempt) {
          const auto before = Log.LastWriteTime();
          std::vector<TAppRecord> rows = ReadAppHours(Log.FilePath(), from, to, false, 200);
          if (Log.LastWriteTime() != before) continue;
          Cached = TCached{from, to, before, std::move(rows)};
          break;
        }
        ReadError.clear();
      } catch (const std::exception& e) {
        // A locked or damaged log: the window keeps what it last read and the user's log hears
        // it once.
        if (ReadError != e.what()) LogLine(std::string("Applications: ") + e.what());
        ReadError = e.what();
      }
    }
  }
  std::vector<TAppRecord> rows;
  if (Cached && Cached->From == from && Cached->To == to) rows = Cached->Rows;
  const std::vector<TPeriodWrite> unlogged = Sampler.UnloggedPeriods();
  for (const TAppRecord& r : AppRecordsOf(unlogged))
    if (r.CDate >= from && r.CDate <= to) rows.push_back(r);
  return SumApps(rows);
}

TAppDeltas TAppsFeed::LastSecond() const {
  return Source.LastSecond();
}

std::string TAppsFeed::Unavailable() const {
  return Source.Unavailable();
}

std::pair<std::string, std::string> TAppsFeed::Describe(const std::string& app) const {
  if (const auto it = Described.find(app); it != Described.end()) return it->second;
  std::pair<std::string, std::string> found;
  if (const std::optional<TDesktopEntry> entry = FindDesktopEntry(app, EntryDirs))
    found = {entry->Name, entry->Icon};
  return Described.emplace(app, std::move(found)).first->second;
}

}  // namespace zul
