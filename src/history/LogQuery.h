// The select texts the statistics window sends to the traffic log, and nothing else.
// Qt-free.
#pragma once

#include <string_view>

#include "history/TrafficLog.h"

namespace zul {

struct TLogQuery {
  enum class TKind { AllDates, OneDate, DateRange };
  TKind Kind = TKind::AllDates;
  int Flag = 0;
  TDate From;  // OneDate and DateRange
  TDate To;    // DateRange
};

// Accepts exactly
//   select * from bw.DB where Flag=F;
//   select * from bw.DB where Flag=F and CDate="mm/dd/yyyy";
//   select * from bw.DB where Flag=F and CDate>="mm/dd/yyyy" and CDate<="mm/dd/yyyy";
// with any whitespace between the parts and keywords in any case. Anything else, including a
// date that does not exist, throws TLogError.
TLogQuery ParseLogQuery(std::string_view sql);

}  // namespace zul
