// The framed binary stream between the capture helper and the program, and the device listing
// built from it. No Qt: the helper links it too.
//
// Every record is a 32-bit header, the kind in its low byte and the payload's length above it,
// then the payload. Both ends run on one machine, so numbers are in its byte order. A stream
// starts with a Hello record whose magic and version both ends check.
//   Hello   magic u32, version u16, stream kind u16 (capture or listing)
//   Opened  link type i32, snapshot length i32                       (capture: once, second)
//   Frame   seconds i64, microseconds u32, captured u32, length u32, captured bytes
//   Stats   received u64, dropped u64                                (capture: now and then)
//   Device  flags u32, name and description lengths u16 each, address count u16, 2 spare,
//           name, description, then per address: family u8 (4 or 6), which-present u8,
//           2 spare, scope u32, address, netmask, broadcast 16 bytes each  (listing)
//   End     device count u32                                         (listing: last)
#pragma once

#include <pcap/pcap.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

namespace zul {

inline constexpr uint32_t kStreamMagic = 0x43'4C'55'5A;  // "ZULC" in memory on little-endian
inline constexpr uint16_t kStreamVersion = 1;
inline constexpr uint16_t kStreamCapture = 1;
inline constexpr uint16_t kStreamListing = 2;

enum class TRecordKind : uint8_t {
  Hello = 1,
  Opened = 2,
  Frame = 3,
  Stats = 4,
  Device = 5,
  End = 6
};

inline constexpr std::size_t kRecordHeaderBytes = 4;
inline constexpr std::size_t kFrameFieldBytes = 20;
// The largest snapshot length the library takes; a frame record never carries more.
inline constexpr uint32_t kMaxStreamSnapLen = 262144;
inline constexpr std::size_t kMaxRecordPayload = kFrameFieldBytes + kMaxStreamSnapLen;
inline constexpr std::size_t kMaxNameBytes = 1024;

// The capture helper's exit codes, for the program to tell the reasons apart.
enum THelperExit : int {
  kHelperStopped = 0,      // asked to stop: input closed or SIGTERM
  kHelperReadFailed = 1,   // the capture ended on a read error (a device that went away)
  kHelperUsage = 2,        // a command line in error
  kHelperDenied = 3,       // no permission to capture on the device
  kHelperOpenFailed = 4,   // the device could not be opened, or the filter not installed
  kHelperStreamFailed = 5  // the stream's reader went away
};

// Capture timing both ends follow.
// A reader whose reads empty the ring with less than kPaceBatchBytes waits until kHandOverGapMs
// after its last such read: fewer wake-ups with fuller batches that still fit the caches. A
// larger read goes on at once; in the gap, a gigabit link's smallest frames fill half of a
// watcher's ring.
inline constexpr int kHandOverGapMs = 20;
inline constexpr std::size_t kPaceBatchBytes = 512 * 1024;
// At a close the capture goes on counting what the kernel ring still holds for at most this
// long, and stops earlier once the ring has stayed empty for kDrainQuietMs past its read time-out.
inline constexpr int kDrainMs = 200;
inline constexpr int kDrainQuietMs = 20;
// How often a busy capture takes the kernel's counts of received and dropped frames.
inline constexpr int kStatsPeriodMs = 1000;

// One frame of a capture stream, pointing into the parser's buffer.
struct TStreamFrame {
  pcap_pkthdr Header{};
  const uint8_t* Bytes = nullptr;
};

// Appends records to a byte buffer; the helper writes the buffer out in one go.
class TStreamWriter {
 public:
  void Hello(uint16_t streamKind);
  void Opened(int32_t linkType, int32_t snapshot);
  void Frame(const pcap_pkthdr& header, const uint8_t* bytes);
  void Stats(uint64_t received, uint64_t dropped);
  void Device(const pcap_if_t& dev);
  void End(uint32_t devices);

  const uint8_t* Data() const { return Buffer.data(); }
  std::size_t Size() const { return Used; }
  void Clear() { Used = 0; }

 private:
  uint8_t* Record(TRecordKind kind, std::size_t payload);
  // Grown when a record does not fit and never cleared: only the bytes written are read.
  std::vector<uint8_t> Buffer;
  std::size_t Used = 0;
};

// The device listing: nodes laid out like the library's own, so code that walks a listing
// reads either alike; everything is owned here.
class TDeviceList {
 public:
  TDeviceList() = default;
  TDeviceList(TDeviceList&&) = default;
  TDeviceList& operator=(TDeviceList&&) = default;
  TDeviceList(const TDeviceList&) = delete;
  TDeviceList& operator=(const TDeviceList&) = delete;

  const pcap_if_t* get() const { return Nodes.empty() ? nullptr : &Nodes.front(); }
  std::size_t size() const { return Nodes.size(); }

  // The name and description are copied; the last entry added comes last.
  pcap_if_t& AddDevice(const std::string& name, const std::string& description, uint32_t flags);
  // `family` AF_INET or AF_INET6; null for an address the entry lacks.
  void AddAddress(pcap_if_t& dev, int family, const uint8_t* addr, const uint8_t* netmask,
                  const uint8_t* broadcast, uint32_t scope);

 private:
  sockaddr* Sockaddr(int family, const uint8_t* bytes, uint32_t scope);
  std::deque<pcap_if_t> Nodes;
  std::deque<pcap_addr_t> Addresses;
  std::deque<sockaddr_storage> Sockaddrs;
  std::deque<std::string> Texts;
};

// Reads a stream record by record with every bound checked. Feed it what was read, then take
// the records; a malformed record stops it for good with a reason in Error.
class TStreamParser {
 public:
  enum class TStep { Record, NeedMore, Failed };

  explicit TStreamParser(uint16_t streamKind) : Kind(streamKind) {}

  // Room to read into, at least `min` bytes; Commit tells how much was read there.
  std::span<uint8_t> Room(std::size_t min = 64 * 1024);
  void Commit(std::size_t n);

  // The next whole record. On Record, the accessors below describe it until the next call.
  TStep Next();
  TRecordKind RecordKind() const { return Current; }
  const TStreamFrame& Frame() const { return FFrame; }
  int32_t LinkType() const { return FLinkType; }
  int32_t Snapshot() const { return FSnapshot; }
  uint64_t Received() const { return FReceived; }
  uint64_t Dropped() const { return FDropped; }
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
  TStep Fail(std::string why);
  TStep Take(TRecordKind kind, const uint8_t* p, std::size_t n);

  uint16_t Kind;
  std::vector<uint8_t> Buffer;
  std::size_t Start = 0;  // first byte not yet taken
  std::size_t Have = 0;   // bytes in Buffer
  bool FHello = false;
  bool FOpened = false;
  bool FEnded = false;
  TRecordKind Current = TRecordKind::Hello;
  TStreamFrame FFrame;
  int32_t FLinkType = -1;
  int32_t FSnapshot = 0;
  uint64_t FReceived = 0;
  uint64_t FDropped = 0;
  uint32_t FEndCount = 0;
};

// Decodes a whole listing stream. Returns false with the reason when it is malformed or
// incomplete.
bool ParseListing(std::span<const uint8_t> bytes, TDeviceList& list, std::string& error);

}  // namespace zul
