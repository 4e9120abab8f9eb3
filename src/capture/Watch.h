// The interface watchers: one capture per network device that has an address, with the device's
// hardware address and subnets, and the operations that switch capture between all devices and
// one. Main thread only.
#pragma once

#include <pcap/pcap.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/Classify.h"
#include "capture/Snoop.h"
#include "vartype.h"

namespace zul {

inline constexpr int kMaxWatchers = 16;
inline constexpr int kMaxAddresses = 16;

// Report key of the notice that capture lacks the rights it needs.
inline constexpr const char* kCapturePermissionKey = "capture.permission";
extern const char* const kCapturePermissionText;

// One local IPv4 address with its netmask; the numbers in network byte order.
struct TNetIPMask {
  uint32_t IP = 0;
  uint32_t Net = 0;  // IP AND Mask
  uint32_t Mask = 0;
  std::string IPText;
  std::string MaskText;
  uint32_t InvMask = 0;  // NOT Mask
};

class TWatch {
 public:
  // Frames are counted into `counters`: the program's Traffic.Counters, or a test's own block.
  explicit TWatch(TCounterBlock& counters) : Counters(&counters) {}
  TWatch(const TWatch&) = delete;
  TWatch& operator=(const TWatch&) = delete;

  std::unique_ptr<TSnoop> Snoop;
  TMacAddress MAC{};
  // Whether MAC is the device's real address; an address that was not found matches no frame.
  bool MACFound = false;
  std::array<TNetIPMask, kMaxAddresses> Addresses{};
  int32_t AddressCount = 0;

  // Counts one frame. Runs on the main thread: the watcher's capture hands frames over.
  // Sender may be null; a capture that does not deliver Ethernet frames is not classified.
  void HandlePacket(TSnoop* Sender, const pcap_pkthdr* PacketHeader, const uint8_t* EthernetHeader);

  TCounterBlock* Counters;
};

// Whether A (network byte order) lies in one of W's subnets, or is the limited broadcast address
// while W has at least one subnet.
bool IsLocalAddress(const TWatch& W, uint32_t A);

// Counts a frame of wire length L that holds at least an Ethernet header, by the LAN rules.
void CountLanFrame(const TWatch& W, const uint8_t* frame, uint32_t L, TCounterBlock& counters);

// The watchers, filled from index 0, and their descriptions in the same order.
extern std::array<std::unique_ptr<TWatch>, kMaxWatchers> Watchers;
extern int32_t WatcherCount;
extern std::vector<std::string> AdapterList;

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
// Closes and frees every watcher and empties AdapterList (at exit, after StopAllWatchers).
void ReleaseWatchers();

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

// The devices of a listing that are watched, in listing order: those with a network address,
// except loopback devices, at most kMaxWatchers.
std::vector<TWatchedDevice> SelectWatchedDevices(const pcap_if_t* list);

// Fills W's address table from a device's address entries: IPv4 entries with a netmask, the
// first kMaxAddresses of them.
void FillAddressTable(const pcap_addr_t* addresses, TWatch& W);

// Opens a watcher's capture; a failure is logged on standard error, and a missing right to
// capture is also reported to the user once.
void OpenWatcher(TWatch& W);

}  // namespace zul
