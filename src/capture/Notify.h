// Threshold notifications: the traffic of one view and direction summed over a time window, checked
// against a threshold once a second. Reads its settings from `Cfg`. Qt-free; main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "vartype.h"

namespace zul {

inline constexpr const char* kNotifyBelowText =
    "The data transfer rate has dropped below the threshold vale.";
inline constexpr const char* kNotifyAboveText =
    "The data transfer has exceeded the threshold vale.";

// Error-report keys of the sound and the message, apart from the log's so that neither hides the
// other.
inline constexpr const char* kNotifySoundKey = "notify.sound";
inline constexpr const char* kNotifyMessageKey = "notify.message";

// The running window. 64 bits throughout: a threshold of 4 GB and more, and windows of up to 65535
// days in seconds, must neither wrap nor be cut.
struct TNotifyState {
  uint64_t Accum = 0;          // bytes summed in the current window
  uint64_t Ticks = 0;          // seconds counted in it
  uint64_t WindowSeconds = 0;  // its length; 0 behaves like 1
  uint64_t Threshold = 0;      // in bytes
};

const TNotifyState& NotifyState();
// Seconds still to be counted before the window is evaluated (1 in its last second).
uint64_t NotifySecondsLeft();

// `amount` × 1024 per step of `unit` (0 bytes .. 3 GB), saturating instead of wrapping.
uint64_t NotifyThresholdBytes(uint32_t amount, uint16_t unit);
// `time` × 1, 60, 3600 or 86400 for seconds, minutes, hours, days; any other unit counts seconds.
uint64_t NotifyWindowLength(uint16_t time, uint16_t timeUnit);
// The bytes of one second that `target` (3 × view + direction: 0 down, 1 up, 2 both) measures; a
// target outside 0..11 measures nothing. Both directions are added in 64 bits.
uint64_t NotifyTargetBytes(uint16_t target, const TCounterBlock& counters);

// Starts a new window from the current settings: at start-up, when the options dialog changes a
// setting of the check, and at the end of every window.
void ArmNotification();

// What a window that ended asks for: the sound file to play and the message to show, each only
// when the settings want it.
struct TNotifyDue {
  std::optional<std::string> SoundFile;
  std::optional<std::string> Message;
  bool operator==(const TNotifyDue&) const = default;
};

// Once a second, with the completed second; returns what is due (TNotifyEvents hands it on). The
// next window is armed before anything is played or shown.
TNotifyDue CheckNotification(const TCounterBlock& counters);

}  // namespace zul
