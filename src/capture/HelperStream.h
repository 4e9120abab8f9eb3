// The framed binary stream between the capture helper and the program. No Qt: the helper links
// it too.
//
// Every record is a 32-bit header, the kind in its low byte and the payload's length above it,
// then the payload. Both ends run on one machine, so numbers are in its byte order. A stream
// starts with a Hello record whose magic and version both ends check. Three kinds of stream:
//   capture (helper to program)
//     Opened  link type i32, snapshot length i32                  (once, second)
//     Counts  six u64: bytes since the last Counts for LanUp, LanDown, WanUp, WanDown,
//             AllPcsUp, AllPcsDown                                 (at least every 100 ms of
//                                                                   traffic, and last)
//     Stats   received u64, dropped u64                           (now and then, and last)
//     Failed  error length u16, reason length u16, error, reason  (the read failed; last)
//   control (program to helper)
//     Table   the adapter's local address table (see AddressTable.h), whenever it changes
//     Watched  the adapters whose applications are counted: count u16, then per adapter its
//              name length u8, name, table length u16, table (see AddressTable.h)
//   apps (helper to program)
//     AppDeltas last u8, count u16, then per application its name length u8, name, and four
//               u64: bytes since the last second for Internet down and up, LAN down and up.
//               A second's deltas may take several records; the one with `last` ends it.
//   listing (helper to program): see DeviceListing.h
//     Device  one device of the capture library's listing
//     End     device count u32
// No frame, header or address of a frame is ever part of a stream: only counts leave the helper.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/AddressTable.h"
#include "capture/AppUsage.h"
#include "capture/DeviceListing.h"
#include "vartype.h"

namespace zul {

inline constexpr uint32_t kStreamMagic = 0x43'4C'55'5A;  // "ZULC" in memory on little-endian
inline constexpr uint16_t kStreamVersion = 2;
inline constexpr uint16_t kStreamCapture = 1;
inline constexpr uint16_t kStreamListing = 2;
inline constexpr uint16_t kStreamControl = 3;
inline constexpr uint16_t kStreamApps = 4;

enum class TRecordKind : uint8_t {
  Hello = 1,
  Opened = 2,
  Stats = 4,
  Device = 5,
  End = 6,
  Counts = 9,
  Failed = 10,
  Table = 11,
  Watched = 12,
  AppDeltas = 13
};

inline constexpr std::size_t kRecordHeaderBytes = 4;
inline constexpr std::size_t kMaxRecordPayload = 64 * 1024;
inline constexpr std::size_t kMaxErrorTextBytes = 1024;

// The counters a capture fills, in the order of a Counts record.
inline constexpr std::array<int, 6> kCountedIndexes = {ciLanUp,   ciLanDown,  ciWanUp,
                                                       ciWanDown, ciAllPcsUp, ciAllPcsDown};
// No adapter carries this much in the time between two Counts records: a larger delta is not
// a count but garbage.
inline constexpr uint64_t kMaxCountDelta = uint64_t{1} << 40;

using TCountDeltas = std::array<uint64_t, kCountedIndexes.size()>;

// The capture helper's exit codes, for the program to tell the reasons apart.
enum THelperExit : int {
  kHelperStopped = 0,       // asked to stop: input closed or SIGTERM
  kHelperReadFailed = 1,    // the capture ended on a read error (a device that went away)
  kHelperUsage = 2,         // a command line in error, or a device the helper does not capture
  kHelperDenied = 3,        // no permission to capture on the device
  kHelperOpenFailed = 4,    // the device could not be opened
  kHelperStreamFailed = 5,  // the program went away
  kHelperBadControl = 6,    // the program sent what is not a control stream
  kHelperNoCgroup2 = 7,     // --apps: no unified cgroup hierarchy is mounted
  kHelperNoKernel = 8       // --apps: the kernel lacks cgroup BPF or BTF for the programs
};

// An adapter whose applications are counted, with its local subnets.
struct TWatchedAdapter {
  std::string Name;
  TAddressTable Table;
};
using TWatchedAdapters = std::vector<TWatchedAdapter>;
inline constexpr std::size_t kMaxWatchedAdapters = 64;
// Application names longer than this are cut; one record holds this many applications.
inline constexpr std::size_t kMaxAppNameBytes = 255;
inline constexpr std::size_t kAppsPerRecord = 200;
// No application moves this much in one second: a larger delta is garbage.
inline constexpr uint64_t kMaxAppDelta = uint64_t{1} << 40;

// Whether `name` can be a network adapter's name: short, printable, no path.
bool IsAdapterName(const std::string& name);
// Whether `name` can name an application in the stream: 1 to kMaxAppNameBytes bytes, none a
// control character.
bool IsAppName(std::string_view name);

// The helper's capture, the same for every adapter and not the caller's to choose: the bytes the
// classification reads (the Ethernet header and the IPv4 or IPv6 header, with room for two VLAN
// tags), a fixed kernel ring, promiscuous, and the read time-out after which the kernel hands a
// partly filled block over.
inline constexpr int32_t kCaptureSnapLen = 64;
inline constexpr int32_t kCaptureBufferBytes = 8 * 1024 * 1024;
inline constexpr int32_t kCaptureTimeoutMs = 100;

// Counts reach the program at least this often while frames arrive.
inline constexpr int kCountsPeriodMs = 50;

// Appends records to a byte buffer; the writer's owner writes the buffer out in one go.
class TStreamWriter {
 public:
  void Hello(uint16_t streamKind);
  void Opened(int32_t linkType, int32_t snapshot);
  void Counts(const TCountDeltas& deltas);
  void Stats(uint64_t received, uint64_t dropped);
  void Failed(const std::string& error, const std::string& reason);
  void Table(const TAddressTable& table);
  void Watched(const TWatchedAdapters& adapters);
  // At most kAppsPerRecord deltas.
  void AppDeltas(std::span<const TAppDelta> deltas, bool last);
  void Device(const pcap_if_t& dev);
  void End(uint32_t devices);
  // A whole listing stream: greeting, the named devices, end.
  void Listing(const pcap_if_t* devices);

  const uint8_t* Data() const { return Buffer.data(); }
  std::size_t Size() const { return Used; }
  void Clear() { Used = 0; }

 private:
  uint8_t* Record(TRecordKind kind, std::size_t payload);
  // Grown when a record does not fit and never cleared: only the bytes written are read.
  std::vector<uint8_t> Buffer;
  std::size_t Used = 0;
};

// Reads a stream record by record with every bound checked. Feed it what was read, then take
// the records; a malformed record stops it for good with a reason in Error.
class TStreamParser {
 public:
  enum class TStep { Record, NeedMore, Failed };

  explicit TStreamParser(uint16_t streamKind) : Kind(streamKind) {}

  // Room to read into, at least `min` bytes; Commit tells how much was read there.
  std::span<uint8_t> Room(std::size_t min = 16 * 1024);
  void Commit(std::size_t n);
  // Room, copy and Commit in one.
  void Feed(std::span<const uint8_t> bytes);

  // The next whole record. On Record, the accessors below describe it until the next call.
  TStep Next();
  TRecordKind RecordKind() const { return Current; }
  int32_t LinkType() const { return FLinkType; }
  int32_t Snapshot() const { return FSnapshot; }
  const TCountDeltas& Deltas() const { return FDeltas; }
  uint64_t Received() const { return FReceived; }
  uint64_t Dropped() const { return FDropped; }
  const std::string& FailedError() const { return FFailedError; }
  const std::string& FailedReason() const { return FFailedReason; }
  const TAddressTable& Table() const { return FTable; }
  const TWatchedAdapters& WatchedAdapters() const { return FWatched; }
  // The applications of the last AppDeltas record, and whether it ended its second.
  const TAppDeltas& Apps() const { return FApps; }
  bool AppsLast() const { return FAppsLast; }
  uint32_t EndCount() const { return FEndCount; }
  // Device records are added to this listing as they are read.
  TDeviceList Devices;

  bool Failed() const { return !Error.empty(); }
  bool Opened() const { return FOpened; }
  bool Ended() const { return FEnded; }
  // Bytes received but not yet taken as records.
  std::size_t Pending() const { return Have - Start; }
  std::string Error;

 private:
  TStep Fail(const std::string& why);
  TStep Take(TRecordKind kind, const uint8_t* p, std::size_t n);

  uint16_t Kind;
  std::vector<uint8_t> Buffer;
  std::size_t Start = 0;  // first byte not yet taken
  std::size_t Have = 0;   // bytes in Buffer
  bool FHello = false;
  bool FOpened = false;
  bool FEnded = false;
  TRecordKind Current = TRecordKind::Hello;
  int32_t FLinkType = -1;
  int32_t FSnapshot = 0;
  TCountDeltas FDeltas{};
  uint64_t FReceived = 0;
  uint64_t FDropped = 0;
  std::string FFailedError;
  std::string FFailedReason;
  TAddressTable FTable;
  TWatchedAdapters FWatched;
  TAppDeltas FApps;
  bool FAppsLast = false;
  uint32_t FEndCount = 0;
};

// Decodes a whole listing stream. Returns false with the reason when it is malformed or
// incomplete.
bool ParseListing(std::span<const uint8_t> bytes, TDeviceList& list, std::string& error);

// Writes what `w` holds to `fd` whole, then empties it; false when the reader went away.
bool FlushTo(int fd, TStreamWriter& w);

// A helper's read of its control stream from `fd` (non-blocking): what arrived goes into
// `control` and each whole record to `onRecord`. At the end of input `inputOpen` turns false; a
// record cut short there (`cutShort` names what was) or a malformed stream sets `error` and
// returns false.
bool ReadControlInput(int fd, TStreamParser& control, bool& inputOpen, std::string& error,
                      std::string_view cutShort, const std::function<void()>& onRecord);

}  // namespace zul
