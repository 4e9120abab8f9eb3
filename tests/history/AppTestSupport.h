// Readable failures for the applications' rows.
#pragma once

#include <ostream>

#include "history/AppQuery.h"

namespace zul {

inline void PrintTo(const TAppBytes& b, std::ostream* os) {
  *os << "{Internet " << b.InternetDown << " down " << b.InternetUp << " up, LAN " << b.LanDown
      << " down " << b.LanUp << " up}";
}
inline void PrintTo(const TAppDelta& d, std::ostream* os) {
  *os << d.App << ' ';
  PrintTo(d.Bytes, os);
}
inline void PrintTo(const TAppRecord& r, std::ostream* os) {
  *os << IsoDate(r.CDate) << ' ' << (r.Hour ? std::to_string(*r.Hour) : "-") << ' ' << r.App << ' ';
  PrintTo(r.Bytes, os);
  if (r.SoFar) *os << " so far";
}

}  // namespace zul
