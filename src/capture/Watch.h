// The interface watchers: one capture per network device that has an address, with the device's
// hardware address and subnets, and the operations that switch capture between all devices and
// one. They follow the kernel's changes: a device that comes later gets a watcher, addresses are
// read again, and a capture lost with its device reopens when the device is back. Main thread
// only.
#pragma once

#include <pcap/pcap.h>

#include <QObject>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/Classify.h"
#include "capture/RemoteSnoop.h"
#include "capture/Snoop.h"
#include "vartype.h"

namespace zul {

inline constexpr int kMaxWatchers = 16;
// The watchers capture only the bytes that the classification reads, in a fixed ring; the capture
// helper sets both.
inline constexpr int32_t kWatchSnapLen = kCaptureSnapLen;
static_assert(kWatchSnapLen >= kIPv6MinFrameLength + 8 && kWatchSnapLen >= kIPv4MinFrameLength,
              "the watchers' snapshot must hold every header that the classification reads");
inline constexpr int32_t kWatchBufferSize = kCaptureBufferBytes;

// Report key of the notice that capture lacks the rights it needs.
inline constexpr const char* kCapturePermissionKey = "capture.permission";
// The notice itself: what is missing and the command that grants it to the capture helper.
std::string CapturePermissionText();
// Report key of the notice that some adapters are not watched because the table is full.
inline constexpr const char* kCaptureFullKey = "capture.full";
// Report key of the notice that the capture on one adapter ended: "capture.lost.<name>".
std::string CaptureLostKey(const std::string& deviceName);

// A watcher is its adapter's address table, which its capture helper classifies by, plus the
// capture and what the watchers need to follow the adapter.
class TWatch : public TAddressTable {
 public:
  // Frames are counted into `counters`: the program's Traffic.Counters, or a test's own block.
  explicit TWatch(TCounterBlock& counters) : Counters(&counters) {}
  TWatch(const TWatch&) = delete;
  TWatch& operator=(const TWatch&) = delete;

  // The capture, run by the capture helper, which counts into Counters.
  std::unique_ptr<TRemoteSnoop> Snoop;

  // The device as listed, kept while it is away so that it is found again under its name.
  std::string DeviceName;
  std::string Description;
  // The kernel's index of the device the capture was opened on: a device made again under the
  // same name gets a new one, and the old capture sees nothing of it.
  unsigned OpenIfIndex = 0;
  // The capture ended on an error and has been reported; it reopens when the device is back.
  bool Lost = false;
  // Why the adapter is not counted when every adapter is (its traffic is counted on another);
  // empty when it is. It is still counted when chosen alone.
  std::string NotUnderAll;

  // Counts one frame by this watcher's table into Counters, for a capture in this process.
  // Sender may be null; a capture that does not deliver Ethernet frames is not classified.
  void HandlePacket(TSnoop* Sender, const pcap_pkthdr* PacketHeader, const uint8_t* EthernetHeader);

  TCounterBlock* Counters;
};

// The watchers, filled from index 0, and their descriptions in the same order. A description
// says so when the adapter is not counted under "all adapters", and why.
extern std::array<std::unique_ptr<TWatch>, kMaxWatchers> Watchers;
extern int32_t WatcherCount;
extern std::vector<std::string> AdapterList;
// Tells the main thread that AdapterList changed: an adapter came, went, or is now counted under
// all adapters or not, so that a list shown to the user can follow.
class TAdapterEvents : public QObject {
  Q_OBJECT
 Q_SIGNALS:
  void AdapterListChanged();
  // The watchers' captures opened or closed, or their address tables were read again.
  void WatchersChanged();
};
TAdapterEvents& AdapterEvents();

// Start-up: clears Traffic's history ring, creates the watchers and opens them.
void InitCapture();
// Creates and opens the watchers, counting into Traffic.Counters; returns the library's listing
// error, "" on success.
std::string EnumerateAdapters();
void StartAllWatchers();
void StopAllWatchers();
// Opens watcher Index and closes all others; an Index past the table changes nothing, a negative
// one closes every watcher.
void MonitorOneAdapter(int32_t index);
// Closes and frees every watcher and the change monitor, and empties AdapterList (at exit,
// after StopAllWatchers).
void ReleaseWatchers();
// Brings the watchers up to the machine's devices: address tables and hardware addresses read
// again, captures lost with their device reopened when it is back, new devices appended. Runs
// by itself after the kernel reports a change; callable directly.
void RefreshWatchers();
// Whether the kernel's changes are followed (the monitor's socket could be opened).
bool FollowingChanges();

// What keeps traffic from being counted, in a few words for the tray tip and the readout: no
// right to capture, or the adapters whose capture stopped. Empty while every chosen adapter is
// captured.
std::string CaptureProblem();

// The hardware address of the operating system's adapter named `guid`, or, for a GUID in braces,
// of the first adapter whose name contains it. MAC is all zero when the adapter is not found or
// has no 6-byte address.
bool GetAdapterMAC(const std::string& GUID, TMacAddress& MAC);

// The part of a device name from its first '{' up to and including the first '}' after it; the
// whole name when it carries no braces.
std::string GuidPartOf(const std::string& deviceName);

// One device of a listing that gets a watcher.
struct TWatchedDevice {
  int32_t Index = -1;  // position in the listing, counting every device
  std::string Name;
  std::string Description;
  const pcap_if_t* Device = nullptr;
};

// Whether a device is worth a watcher: an IPv4 address, or an IPv6 address that is not
// link-local (every device with IPv6 has one of those, container and VM ports included).
bool HasNetworkAddress(const pcap_if_t& dev);

// The devices of a listing that are watched, in listing order: those with a network address,
// except loopback devices, at most `room` (kMaxWatchers by default). The names of the devices
// that would be watched but find no room go to `leftOut` when given.
std::vector<TWatchedDevice> SelectWatchedDevices(const pcap_if_t* list, int room = kMaxWatchers,
                                                 std::vector<std::string>* leftOut = nullptr);

// Opens a watcher's capture; a failure is logged on standard error, and a missing right to
// capture is also reported to the user once.
void OpenWatcher(TWatch& W);

}  // namespace zul
