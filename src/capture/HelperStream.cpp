#include "capture/HelperStream.h"

#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace zul {
namespace {

template <typename T>
void Put(uint8_t*& p, T v) {
  std::memcpy(p, &v, sizeof(T));
  p += sizeof(T);
}

template <typename T>
T Get(const uint8_t*& p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  p += sizeof(T);
  return v;
}

constexpr std::size_t kDeviceFieldBytes = 12;
constexpr std::size_t kAddressBytes = 8 + 3 * 16;
constexpr std::size_t kMaxAddresses = 256;

// The address bytes of an entry the library gave, with the family we carry, or none.
bool AddressBytes(const sockaddr* sa, int family, uint8_t* out, uint32_t* scope) {
  if (sa == nullptr || sa->sa_family != family) return false;
  if (family == AF_INET) {
    sockaddr_in in{};
    std::memcpy(&in, sa, sizeof(in));
    std::memcpy(out, &in.sin_addr, 4);
  } else {
    sockaddr_in6 in6{};
    std::memcpy(&in6, sa, sizeof(in6));
    std::memcpy(out, &in6.sin6_addr, 16);
    if (scope != nullptr) *scope = in6.sin6_scope_id;
  }
  return true;
}

}  // namespace

// ---- TStreamWriter ----

uint8_t* TStreamWriter::Record(TRecordKind kind, std::size_t payload) {
  const std::size_t need = Used + kRecordHeaderBytes + payload;
  if (need > Buffer.size()) Buffer.resize(std::max(need, Buffer.size() * 2));
  uint8_t* p = Buffer.data() + Used;
  Used = need;
  Put<uint32_t>(p, static_cast<uint32_t>(kind) | static_cast<uint32_t>(payload << 8));
  return p;
}

void TStreamWriter::Hello(uint16_t streamKind) {
  uint8_t* p = Record(TRecordKind::Hello, 8);
  Put<uint32_t>(p, kStreamMagic);
  Put<uint16_t>(p, kStreamVersion);
  Put<uint16_t>(p, streamKind);
}

void TStreamWriter::Opened(int32_t linkType, int32_t snapshot) {
  uint8_t* p = Record(TRecordKind::Opened, 8);
  Put<int32_t>(p, linkType);
  Put<int32_t>(p, snapshot);
}

void TStreamWriter::Ring(uint64_t position) {
  uint8_t* p = Record(TRecordKind::Ring, 8);
  Put<uint64_t>(p, position);
}

void TStreamWriter::Stats(uint64_t received, uint64_t dropped) {
  uint8_t* p = Record(TRecordKind::Stats, 16);
  Put<uint64_t>(p, received);
  Put<uint64_t>(p, dropped);
}

void TStreamWriter::Device(const pcap_if_t& dev) {
  const std::string name = dev.name != nullptr ? dev.name : "";
  const std::string desc = dev.description != nullptr ? dev.description : "";
  const std::size_t nameLen = std::min(name.size(), kMaxNameBytes);
  const std::size_t descLen = std::min(desc.size(), kMaxNameBytes);
  std::size_t count = 0;
  for (const pcap_addr_t* a = dev.addresses; a != nullptr && count < kMaxAddresses; a = a->next)
    if (a->addr != nullptr && (a->addr->sa_family == AF_INET || a->addr->sa_family == AF_INET6))
      ++count;
  uint8_t* p =
      Record(TRecordKind::Device, kDeviceFieldBytes + nameLen + descLen + count * kAddressBytes);
  Put<uint32_t>(p, dev.flags);
  Put<uint16_t>(p, static_cast<uint16_t>(nameLen));
  Put<uint16_t>(p, static_cast<uint16_t>(descLen));
  Put<uint16_t>(p, static_cast<uint16_t>(count));
  Put<uint16_t>(p, 0);
  std::memcpy(p, name.data(), nameLen);
  p += nameLen;
  std::memcpy(p, desc.data(), descLen);
  p += descLen;
  std::size_t written = 0;
  for (const pcap_addr_t* a = dev.addresses; a != nullptr && written < count; a = a->next) {
    if (a->addr == nullptr) continue;
    const int family = a->addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    uint8_t addr[16] = {}, mask[16] = {}, broad[16] = {};
    uint32_t scope = 0;
    AddressBytes(a->addr, family, addr, &scope);
    const bool hasMask = AddressBytes(a->netmask, family, mask, nullptr) ||
                         // Some listings give an IPv6 netmask without its family.
                         (family == AF_INET6 && a->netmask != nullptr &&
                          AddressBytes(a->netmask, a->netmask->sa_family, mask, nullptr));
    const bool hasBroad = AddressBytes(a->broadaddr, family, broad, nullptr);
    Put<uint8_t>(p, family == AF_INET ? 4 : 6);
    Put<uint8_t>(p, static_cast<uint8_t>((hasMask ? 1 : 0) | (hasBroad ? 2 : 0)));
    Put<uint16_t>(p, 0);
    Put<uint32_t>(p, scope);
    std::memcpy(p, addr, 16);
    std::memcpy(p + 16, mask, 16);
    std::memcpy(p + 32, broad, 16);
    p += 48;
    ++written;
  }
}

void TStreamWriter::End(uint32_t devices) {
  uint8_t* p = Record(TRecordKind::End, 4);
  Put<uint32_t>(p, devices);
}

void TStreamWriter::Listing(const pcap_if_t* devices) {
  Hello(kStreamListing);
  uint32_t count = 0;
  for (const pcap_if_t* d = devices; d != nullptr; d = d->next) {
    if (d->name == nullptr || d->name[0] == '\0') continue;
    Device(*d);
    ++count;
  }
  End(count);
}

// ---- the ring ----

std::size_t RingBytesFor(uint32_t snapshot) {
  const std::size_t want = 2048 * TRingWriter::RecordBytes(std::min(snapshot, kMaxStreamSnapLen));
  std::size_t bytes = kRingDataBytes;
  while (bytes < want) bytes *= 2;
  return bytes;
}

namespace {
std::atomic_ref<uint64_t> Position(uint8_t* header, std::size_t at) {
  return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(header + at));
}
}  // namespace

TRingWriter::TRingWriter(uint8_t* header, uint8_t* data, std::size_t dataBytes)
    : Header(header), Data(data), Size(dataBytes) {}

bool TRingWriter::HasRoom(std::size_t bytes) {
  const uint64_t released = Position(Header, kRingReleasedAt).load(std::memory_order_acquire);
  // The program can only let go of what was published to it.
  if (released > Published || Local - released > Size) {
    Broken = true;
    return false;
  }
  Room = Size - static_cast<std::size_t>(Local - released);
  return Room >= bytes;
}

void TRingWriter::Put(const pcap_pkthdr& header, const uint8_t* bytes, uint32_t captured,
                      std::size_t pad) {
  if (pad > 0) {
    uint8_t* p = Data + Local % Size;
    ::zul::Put<uint32_t>(p, static_cast<uint32_t>(TRecordKind::Pad) |
                                static_cast<uint32_t>((pad - kRecordHeaderBytes) << 8));
    Local += pad;
  }
  uint8_t* p = Data + Local % Size;
  ::zul::Put<uint32_t>(p, static_cast<uint32_t>(TRecordKind::Frame) |
                              static_cast<uint32_t>((kFrameFieldBytes + captured) << 8));
  ::zul::Put<int64_t>(p, header.ts.tv_sec);
  ::zul::Put<uint32_t>(p, static_cast<uint32_t>(header.ts.tv_usec));
  ::zul::Put<uint32_t>(p, captured);
  ::zul::Put<uint32_t>(p, std::max<uint32_t>(header.len, captured));
  if (captured > 0) std::memcpy(p, bytes, captured);
  Local += RecordBytes(captured);
}

uint64_t TRingWriter::Publish() {
  Position(Header, kRingPublishedAt).store(Local, std::memory_order_release);
  Published = Local;
  return Local;
}

TRingReader::TRingReader(uint8_t* header, const uint8_t* data, std::size_t dataBytes,
                         uint32_t snapshot)
    : Header(header), Data(data), Size(dataBytes), Snapshot(snapshot) {}

bool TRingReader::Announce(uint64_t position) {
  if (position < FAnnounced || position - FReleased > Size || position % kRingAlign != 0) {
    Error = "Malformed capture stream: a ring position out of place";
    return false;
  }
  // The announcement comes through the stream after the helper's store; this orders the reads
  // of what it wrote after it.
  (void)Position(Header, kRingPublishedAt).load(std::memory_order_acquire);
  FAnnounced = position;
  return true;
}

TRingReader::TStep TRingReader::Next(uint64_t& pos, TStreamFrame& frame) const {
  while (pos < FAnnounced) {
    const std::size_t off = static_cast<std::size_t>(pos % Size);
    const std::size_t tail = Size - off;
    const std::size_t left = static_cast<std::size_t>(FAnnounced - pos);
    if (left < kRecordHeaderBytes) break;
    const uint8_t* p = Data + off;
    const uint32_t head = Get<uint32_t>(p);
    const std::size_t payload = head >> 8;
    const auto kind = static_cast<TRecordKind>(head & 0xFF);
    const std::size_t span =
        (kRecordHeaderBytes + payload + kRingAlign - 1) / kRingAlign * kRingAlign;
    if (span > tail || span > left) break;
    if (kind == TRecordKind::Pad) {
      // Pads only fill the end of the ring.
      if (span != tail) break;
      pos += span;
      continue;
    }
    if (kind != TRecordKind::Frame || payload < kFrameFieldBytes) break;
    const int64_t sec = Get<int64_t>(p);
    const uint32_t usec = Get<uint32_t>(p);
    const uint32_t captured = Get<uint32_t>(p);
    const uint32_t length = Get<uint32_t>(p);
    if (captured != payload - kFrameFieldBytes || captured > Snapshot || captured > length ||
        usec >= 1'000'000)
      break;
    frame.Header = {};
    frame.Header.ts.tv_sec = static_cast<time_t>(sec);
    frame.Header.ts.tv_usec = static_cast<suseconds_t>(usec);
    frame.Header.caplen = captured;
    frame.Header.len = length;
    frame.Bytes = p;
    pos += span;
    return TStep::Frame;
  }
  if (pos == FAnnounced) return TStep::End;
  return TStep::Failed;
}

void TRingReader::Release(uint64_t pos) {
  FReleased = std::min(pos, FAnnounced);
  Position(Header, kRingReleasedAt).store(FReleased, std::memory_order_release);
}

// ---- TDeviceList ----

pcap_if_t& TDeviceList::AddDevice(const std::string& name, const std::string& description,
                                  uint32_t flags) {
  pcap_if_t& d = Nodes.emplace_back();
  d.name = Texts.emplace_back(name).data();
  d.description = description.empty() ? nullptr : Texts.emplace_back(description).data();
  d.flags = flags;
  // A deque keeps its elements in place, so the links stay valid as the listing grows.
  if (Nodes.size() > 1) Nodes[Nodes.size() - 2].next = &d;
  return d;
}

sockaddr* TDeviceList::Sockaddr(int family, const uint8_t* bytes, uint32_t scope) {
  if (bytes == nullptr) return nullptr;
  sockaddr_storage& s = Sockaddrs.emplace_back();
  std::memset(&s, 0, sizeof(s));
  if (family == AF_INET) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    std::memcpy(&in.sin_addr, bytes, 4);
    std::memcpy(&s, &in, sizeof(in));
  } else {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_scope_id = scope;
    std::memcpy(&in6.sin6_addr, bytes, 16);
    std::memcpy(&s, &in6, sizeof(in6));
  }
  return reinterpret_cast<sockaddr*>(&s);
}

void TDeviceList::AddAddress(pcap_if_t& dev, int family, const uint8_t* addr,
                             const uint8_t* netmask, const uint8_t* broadcast, uint32_t scope) {
  pcap_addr_t& a = Addresses.emplace_back();
  a.addr = Sockaddr(family, addr, scope);
  a.netmask = Sockaddr(family, netmask, 0);
  a.broadaddr = Sockaddr(family, broadcast, 0);
  pcap_addr_t** tail = &dev.addresses;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = &a;
}

// ---- TStreamParser ----

std::span<uint8_t> TStreamParser::Room(std::size_t min) {
  if (Start > 0 && Start == Have) Start = Have = 0;
  if (Buffer.size() - Have < min) {
    // Move the unread part to the front before growing: the buffer stays about one read large.
    if (Start > 0) {
      std::memmove(Buffer.data(), Buffer.data() + Start, Have - Start);
      Have -= Start;
      Start = 0;
    }
    if (Buffer.size() - Have < min) Buffer.resize(Have + min);
  }
  return {Buffer.data() + Have, Buffer.size() - Have};
}

void TStreamParser::Commit(std::size_t n) {
  Have += std::min(n, Buffer.size() - Have);
}

TStreamParser::TStep TStreamParser::Fail(std::string why) {
  if (Error.empty()) Error = "Malformed capture stream: " + why;
  return TStep::Failed;
}

TStreamParser::TStep TStreamParser::Next() {
  if (Failed()) return TStep::Failed;
  if (Have - Start < kRecordHeaderBytes) return TStep::NeedMore;
  const uint8_t* p = Buffer.data() + Start;
  const uint32_t head = Get<uint32_t>(p);
  const std::size_t payload = head >> 8;
  const auto kind = static_cast<TRecordKind>(head & 0xFF);
  if (payload > kMaxRecordPayload) return Fail("a record of " + std::to_string(payload) + " bytes");
  if (Have - Start - kRecordHeaderBytes < payload) {
    // A whole record always fits the next Room, since it is bounded above.
    return TStep::NeedMore;
  }
  Start += kRecordHeaderBytes + payload;
  return Take(kind, p, payload);
}

TStreamParser::TStep TStreamParser::Take(TRecordKind kind, const uint8_t* p, std::size_t n) {
  if (FEnded) return Fail("a record after the end");
  if (!FHello && kind != TRecordKind::Hello) return Fail("no greeting");
  const bool capture = Kind == kStreamCapture;
  switch (kind) {
    case TRecordKind::Hello: {
      if (FHello || n != 8) return Fail("a misplaced greeting");
      const uint32_t magic = Get<uint32_t>(p);
      const uint16_t version = Get<uint16_t>(p);
      const uint16_t streamKind = Get<uint16_t>(p);
      if (magic != kStreamMagic) return Fail("not a capture helper's stream");
      if (version != kStreamVersion)
        return Fail("version " + std::to_string(version) + " of the capture helper, not " +
                    std::to_string(kStreamVersion));
      if (streamKind != Kind) return Fail("a stream of another kind");
      FHello = true;
      break;
    }
    case TRecordKind::Opened:
      if (!capture || FOpened || n != 8) return Fail("a misplaced opening");
      FLinkType = Get<int32_t>(p);
      FSnapshot = Get<int32_t>(p);
      if (FSnapshot <= 0 || static_cast<uint32_t>(FSnapshot) > kMaxStreamSnapLen)
        return Fail("a snapshot length of " + std::to_string(FSnapshot));
      FOpened = true;
      break;
    case TRecordKind::Ring:
      if (!capture || !FOpened || n != 8) return Fail("a misplaced ring position");
      FRingPosition = Get<uint64_t>(p);
      break;
    case TRecordKind::Stats:
      if (!capture || !FOpened || n != 16) return Fail("misplaced counts");
      FReceived = Get<uint64_t>(p);
      FDropped = Get<uint64_t>(p);
      break;
    case TRecordKind::Device: {
      if (capture || n < kDeviceFieldBytes) return Fail("a misplaced device");
      const uint32_t flags = Get<uint32_t>(p);
      const std::size_t nameLen = Get<uint16_t>(p);
      const std::size_t descLen = Get<uint16_t>(p);
      const std::size_t count = Get<uint16_t>(p);
      p += 2;
      if (nameLen == 0 || nameLen > kMaxNameBytes || descLen > kMaxNameBytes ||
          count > kMaxAddresses ||
          n != kDeviceFieldBytes + nameLen + descLen + count * kAddressBytes)
        return Fail("a device whose lengths do not add up");
      const std::string name(reinterpret_cast<const char*>(p), nameLen);
      p += nameLen;
      const std::string desc(reinterpret_cast<const char*>(p), descLen);
      p += descLen;
      if (name.find('\0') != std::string::npos || desc.find('\0') != std::string::npos)
        return Fail("a device name with a zero byte");
      pcap_if_t& dev = Devices.AddDevice(name, desc, flags);
      for (std::size_t i = 0; i < count; ++i) {
        const uint8_t family = Get<uint8_t>(p);
        const uint8_t present = Get<uint8_t>(p);
        p += 2;
        const uint32_t scope = Get<uint32_t>(p);
        if ((family != 4 && family != 6) || present > 3) return Fail("an address of no family");
        Devices.AddAddress(dev, family == 4 ? AF_INET : AF_INET6, p,
                           (present & 1) != 0 ? p + 16 : nullptr,
                           (present & 2) != 0 ? p + 32 : nullptr, scope);
        p += 48;
      }
      break;
    }
    case TRecordKind::End:
      if (capture || n != 4) return Fail("a misplaced end");
      FEndCount = Get<uint32_t>(p);
      if (FEndCount != Devices.size()) return Fail("a listing with devices missing");
      FEnded = true;
      break;
    default:
      return Fail("a record of unknown kind " + std::to_string(static_cast<int>(kind)));
  }
  Current = kind;
  return TStep::Record;
}

bool ParseListing(std::span<const uint8_t> bytes, TDeviceList& list, std::string& error) {
  TStreamParser parser(kStreamListing);
  std::span<uint8_t> room = parser.Room(bytes.size());
  std::copy(bytes.begin(), bytes.end(), room.begin());
  parser.Commit(bytes.size());
  TStreamParser::TStep step;
  while ((step = parser.Next()) == TStreamParser::TStep::Record) {
  }
  if (step == TStreamParser::TStep::Failed) {
    error = parser.Error;
    return false;
  }
  if (!parser.Ended()) {
    error = parser.Pending() > 0 ? "Malformed capture stream: a record cut short"
                                 : "The capture helper's listing ended early";
    return false;
  }
  list = std::move(parser.Devices);
  error.clear();
  return true;
}

}  // namespace zul
