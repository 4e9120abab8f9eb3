// Per-application traffic: the values that the application counter, the hour totals, the log,
// the export and the Applications window share. Qt-free.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zul {

// Bytes of one application over some span, split by the remote side of each packet (an address
// of a local subnet of a watched adapter is LAN, any other is Internet).
struct TAppBytes {
  uint64_t InternetDown = 0;
  uint64_t InternetUp = 0;
  uint64_t LanDown = 0;
  uint64_t LanUp = 0;

  uint64_t Down() const { return InternetDown + LanDown; }
  uint64_t Up() const { return InternetUp + LanUp; }
  uint64_t Total() const { return Down() + Up(); }
  TAppBytes& operator+=(const TAppBytes& o) {
    InternetDown += o.InternetDown;
    InternetUp += o.InternetUp;
    LanDown += o.LanDown;
    LanUp += o.LanUp;
    return *this;
  }
  bool operator==(const TAppBytes&) const = default;
};

// One application's bytes. App is the application's identity as stored in the log and the
// export: a desktop identity (the desktop entry's id without ".desktop", e.g.
// "org.mozilla.firefox"), a service's unit name, or the name of the process that made the socket;
// or one of the two rows below.
struct TAppDelta {
  std::string App;
  TAppBytes Bytes;
  bool operator==(const TAppDelta&) const = default;
};
using TAppDeltas = std::vector<TAppDelta>;

// Every process of another user, summed: no user sees another user's applications.
inline constexpr std::string_view kOtherUsersApp = "Other users";
// Traffic that no socket owns (forwarded, answered by the kernel, not IP): what the adapters'
// "Internet & LAN" view counted beyond the applications' sum.
inline constexpr std::string_view kSystemApp = "System";

}  // namespace zul
