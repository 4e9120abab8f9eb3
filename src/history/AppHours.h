// The running hour of each application's traffic, from the seconds' deltas to the hour's rows
// that the log stores. Qt-free. Main thread only.
#pragma once

#include <map>
#include <string>

#include "capture/AppUsage.h"
#include "vartype.h"

namespace zul {

class TAppHours {
 public:
  // One second's bytes per application (kOtherUsersApp among them). Rows of one name add up; a
  // row without a name is dropped, and so is a kSystemApp row: that one is the hours' own.
  void Add(const TAppDeltas& deltas);

  // The running hour's rows, by name, with a kSystemApp row for what the views counted in
  // `hourTotals` beyond the applications' sum (Internet by the "Internet" view, LAN by the "LAN"
  // view, each direction apart, never below zero), so that the rows add up to "Internet & LAN".
  // Rows with no bytes are left out.
  TAppDeltas Rows(const TPeriodTotals& hourTotals) const;
  // Ends the running hour: its rows (as Rows gives them), kept for SinceStart; the next hour
  // starts empty.
  TAppDeltas CloseHour(const TPeriodTotals& hourTotals);
  // Every application's bytes since the program started: the hours that ended and the running
  // one (with its System row from `hourTotals`), by name.
  TAppDeltas SinceStart(const TPeriodTotals& hourTotals) const;

 private:
  std::map<std::string, TAppBytes, std::less<>> Hour;
  std::map<std::string, TAppBytes, std::less<>> Closed;
};

}  // namespace zul
