// The framed binary stream between the capture helper and the program, and the device listing
// built from it. No Qt: the helper links it too.
//
// Every record is a 32-bit header, the kind in its low byte and the payload's length above it,
// then the payload. Both ends run on one machine, so numbers are in its byte order. A stream
// starts with a Hello record whose magic and version both ends check.
//   Hello   magic u32, version u16, stream kind u16 (capture or listing)
//   Opened  link type i32, snapshot length i32                       (capture: once, second)
//   Ring    position u64: the ring holds frames up to here           (capture)
//   Stats   received u64, dropped u64                                (capture: now and then)
//   Device  flags u32, name and description lengths u16 each, address count u16, 2 spare,
//           name, description, then per address: family u8 (4 or 6), which-present u8,
//           2 spare, scope u32, address, netmask, broadcast 16 bytes each  (listing)
//   End     device count u32                                         (listing: last)
//
// The frames themselves travel through a ring in memory shared with the program, so that no
// frame is copied through the kernel twice: a header page with the helper's published position
// and the program's released one (bytes ever written and let go, counted from 0), then the
// data. Its records, 8-byte aligned and never wrapping round the end, are
//   Frame   seconds i64, microseconds u32, captured u32, length u32, captured bytes
//   Pad     the rest of the ring up to its end: the next record starts at its beginning
#pragma once

#include <pcap/pcap.h>
#include <sys/socket.h>

#include <algorithm>
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
  End = 6,
  Ring = 7,
  Pad = 8
};

inline constexpr std::size_t kRecordHeaderBytes = 4;
inline constexpr std::size_t kFrameFieldBytes = 20;
// The largest snapshot length the library takes; a frame record never carries more.
inline constexpr uint32_t kMaxStreamSnapLen = 262144;
inline constexpr std::size_t kMaxRecordPayload = kFrameFieldBytes + kMaxStreamSnapLen;
inline constexpr std::size_t kMaxNameBytes = 1024;

// The ring: the program passes it to the helper as this descriptor.
inline constexpr int kRingFd = 3;
inline constexpr std::size_t kRingHeaderBytes = 4096;
inline constexpr std::size_t kRingDataBytes = 2 << 20;  // the least; see RingBytesFor
inline constexpr std::size_t kRingPublishedAt = 0;
inline constexpr std::size_t kRingReleasedAt = 64;  // a cache line of its own
inline constexpr std::size_t kRingAlign = 8;
// A frame that does not fit before the end goes to the start, after a pad: the ring must hold
// two of the largest.
static_assert(kRingDataBytes >= 2 * (kRecordHeaderBytes + kFrameFieldBytes + kMaxStreamSnapLen));

// The ring for a snapshot length: room for a couple of thousand frames, so that a hand-over
// is worth its wake-up, and at least kRingDataBytes.
std::size_t RingBytesFor(uint32_t snapshot);

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
  void Ring(uint64_t position);
  void Stats(uint64_t received, uint64_t dropped);
  void Device(const pcap_if_t& dev);
  void End(uint32_t devices);
  // A whole listing stream of the library's devices: greeting, the named devices, end.
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

// The helper's end of the ring: writes frames at its own position and publishes them.
class TRingWriter {
 public:
  // `header` and `data` lie in the shared memory; `dataBytes` is a multiple of kRingAlign.
  TRingWriter(uint8_t* header, uint8_t* data, std::size_t dataBytes);

  // Writes one frame; while the ring lacks room, calls `wait`, which returns false to give up.
  // False too once the program's released position is impossible (Broken).
  template <class F>
  bool Frame(const pcap_pkthdr& header, const uint8_t* bytes, F&& wait) {
    const uint32_t captured = std::min<uint32_t>(header.caplen, kMaxStreamSnapLen);
    const std::size_t need = RecordBytes(captured);
    const std::size_t tail = Size - Local % Size;
    const std::size_t room = tail < need ? tail + need : need;
    // The room last seen only grows meanwhile: the program's position is read again only when
    // it no longer suffices.
    // A full ring waits until a quarter of it is free again, so that the program gets its
    // frames in batches rather than one by one.
    if (Room < room) {
      const std::size_t wanted = std::max(room, Size / 4);
      while (!HasRoom(wanted))
        if (Broken || !wait()) return false;
    }
    Put(header, bytes, captured, tail < need ? tail : 0);
    Room -= room;
    return true;
  }
  // Makes what was written visible; returns the position to announce.
  uint64_t Publish();
  std::size_t Unpublished() const { return static_cast<std::size_t>(Local - Published); }
  bool Broken = false;

  static constexpr std::size_t RecordBytes(uint32_t captured) {
    return (kRecordHeaderBytes + kFrameFieldBytes + captured + kRingAlign - 1) / kRingAlign *
           kRingAlign;
  }

 private:
  bool HasRoom(std::size_t bytes);
  void Put(const pcap_pkthdr& header, const uint8_t* bytes, uint32_t captured, std::size_t pad);
  uint8_t* Header;
  uint8_t* Data;
  std::size_t Size;
  uint64_t Local = 0;
  uint64_t Published = 0;
  std::size_t Room = 0;
};

// The program's end of the ring: frames between two positions, every bound checked on a copy of
// what the helper wrote, so that nothing it writes meanwhile can lead a read astray.
class TRingReader {
 public:
  enum class TStep { Frame, End, Failed };
  TRingReader(uint8_t* header, const uint8_t* data, std::size_t dataBytes, uint32_t snapshot);

  // Takes a position the helper announced; false when it cannot be one.
  bool Announce(uint64_t position);
  uint64_t Announced() const { return FAnnounced; }
  uint64_t Released() const { return FReleased; }
  // The next frame from `pos` on, before the announced position; moves `pos` past it.
  TStep Next(uint64_t& pos, TStreamFrame& frame) const;
  // Gives the helper the ring up to `pos` back.
  void Release(uint64_t pos);
  std::string Error;

 private:
  uint8_t* Header;
  const uint8_t* Data;
  std::size_t Size;
  uint32_t Snapshot;
  uint64_t FAnnounced = 0;
  uint64_t FReleased = 0;
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
  uint64_t RingPosition() const { return FRingPosition; }
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
  uint64_t FRingPosition = 0;
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
