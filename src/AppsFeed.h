// What the Applications window shows, gathered from where it lives: the log's hours, the hours the
// program has not written yet, the application counter's last second and the desktop entries.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "display/AppsWindow.h"
#include "history/AppQuery.h"

namespace zul {

class TAppSource;
class TSampler;
class TTrafficLog;

class TAppsFeed : public TAppsData {
 public:
  TAppsFeed(const TAppSource& source, const TSampler& sampler, const TTrafficLog& log);

  TAppDeltas Totals(TDate from, TDate to) const override;
  TAppDeltas LastSecond() const override;
  std::string Unavailable() const override;
  std::pair<std::string, std::string> Describe(const std::string& app) const override;

 private:
  // The log's part of Totals, read again only when the range changes or a write landed: the
  // window asks every few seconds and the main thread must not wait for the disk each time.
  struct TCached {
    TDate From;
    TDate To;
    std::optional<std::chrono::system_clock::time_point> Written;
    std::vector<TAppRecord> Rows;
  };
  const TAppSource& Source;
  const TSampler& Sampler;
  const TTrafficLog& Log;
  mutable std::optional<TCached> Cached;
  mutable std::string ReadError;
  // Desktop entries by application; an application without one is remembered as such.
  mutable std::map<std::string, std::pair<std::string, std::string>, std::less<>> Described;
  std::vector<std::string> EntryDirs;
};

}  // namespace zul
