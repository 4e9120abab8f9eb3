#include "capture/HelperStream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/StreamBytes.h"

namespace zul {
namespace {

using bytes::Get;
using bytes::Put;

std::string Cut(const std::string& s) {
  return s.substr(0, kMaxErrorTextBytes);
}

bool Bad(std::string& why, const std::string& text) {
  why = text;
  return false;
}

// Decodes a Watched record; false with the reason when it is not one.
bool DecodeWatched(const uint8_t* p, std::size_t n, TWatchedAdapters& out, std::string& why) {
  const uint8_t* end = p + n;
  if (n < 2) return Bad(why, "a list of adapters cut short");
  const std::size_t count = Get<uint16_t>(p);
  if (count > kMaxWatchedAdapters) return Bad(why, "a list of too many adapters");
  TWatchedAdapters list;
  for (std::size_t i = 0; i < count; ++i) {
    if (end - p < 1) return Bad(why, "a list of adapters cut short");
    const std::size_t nameLen = *p++;
    if (static_cast<std::size_t>(end - p) < nameLen + 2)
      return Bad(why, "a list of adapters cut short");
    TWatchedAdapter a;
    a.Name.assign(reinterpret_cast<const char*>(p), nameLen);
    p += nameLen;
    if (!IsAdapterName(a.Name)) return Bad(why, "not an adapter name");
    const std::size_t tableLen = Get<uint16_t>(p);
    if (static_cast<std::size_t>(end - p) < tableLen)
      return Bad(why, "a list of adapters cut short");
    if (!DecodeTable({p, tableLen}, a.Table, why)) return false;
    p += tableLen;
    list.push_back(std::move(a));
  }
  if (p != end) return Bad(why, "a list of adapters with bytes left over");
  out = std::move(list);
  return true;
}

bool DecodeAppDeltas(const uint8_t* p, std::size_t n, TAppDeltas& out, bool& last,
                     std::string& why) {
  const uint8_t* end = p + n;
  if (n < 3 || p[0] > 1) return Bad(why, "misplaced application counts");
  last = *p++ == 1;
  const std::size_t count = Get<uint16_t>(p);
  if (count > kAppsPerRecord) return Bad(why, "too many applications in one record");
  out.clear();
  for (std::size_t i = 0; i < count; ++i) {
    if (end - p < 1) return Bad(why, "application counts cut short");
    const std::size_t nameLen = *p++;
    if (static_cast<std::size_t>(end - p) < nameLen + 32)
      return Bad(why, "application counts cut short");
    TAppDelta d;
    d.App.assign(reinterpret_cast<const char*>(p), nameLen);
    p += nameLen;
    if (!IsAppName(d.App)) return Bad(why, "not an application's name");
    for (uint64_t* v :
         {&d.Bytes.InternetDown, &d.Bytes.InternetUp, &d.Bytes.LanDown, &d.Bytes.LanUp}) {
      *v = Get<uint64_t>(p);
      if (*v > kMaxAppDelta) return Bad(why, "an application's count of " + std::to_string(*v));
    }
    out.push_back(std::move(d));
  }
  if (p != end) return Bad(why, "application counts with bytes left over");
  return true;
}

}  // namespace

bool IsAdapterName(const std::string& name) {
  // IFNAMSIZ less its terminator.
  if (name.empty() || name.size() > 15 || name == "." || name == "..") return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7F && c != '/' && c != ':';
  });
}

bool IsAppName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxAppNameBytes &&
         std::none_of(name.begin(), name.end(), [](char c) {
           const auto u = static_cast<unsigned char>(c);
           return u < 0x20 || u == 0x7F;
         });
}

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

void TStreamWriter::Counts(const TCountDeltas& deltas) {
  uint8_t* p = Record(TRecordKind::Counts, sizeof(deltas));
  for (const uint64_t d : deltas) Put<uint64_t>(p, d);
}

void TStreamWriter::Stats(uint64_t received, uint64_t dropped) {
  uint8_t* p = Record(TRecordKind::Stats, 16);
  Put<uint64_t>(p, received);
  Put<uint64_t>(p, dropped);
}

void TStreamWriter::Failed(const std::string& error, const std::string& reason) {
  const std::string e = Cut(error), r = Cut(reason);
  uint8_t* p = Record(TRecordKind::Failed, 4 + e.size() + r.size());
  Put<uint16_t>(p, static_cast<uint16_t>(e.size()));
  Put<uint16_t>(p, static_cast<uint16_t>(r.size()));
  // Texts of a binary record: their lengths lead, no terminator follows.
  std::copy(e.begin(), e.end(), p);
  std::copy(r.begin(), r.end(), p + e.size());
}

void TStreamWriter::Table(const TAddressTable& table) {
  std::vector<uint8_t> bytes;
  EncodeTable(table, bytes);
  std::memcpy(Record(TRecordKind::Table, bytes.size()), bytes.data(), bytes.size());
}

void TStreamWriter::Watched(const TWatchedAdapters& adapters) {
  std::vector<uint8_t> bytes;
  const std::size_t count = std::min(adapters.size(), kMaxWatchedAdapters);
  bytes::Append<uint16_t>(bytes, static_cast<uint16_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& name = adapters[i].Name;
    const std::size_t len = std::min<std::size_t>(name.size(), 255);
    bytes::Append<uint8_t>(bytes, static_cast<uint8_t>(len));
    bytes.insert(bytes.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(len));
    std::vector<uint8_t> table;
    EncodeTable(adapters[i].Table, table);
    bytes::Append<uint16_t>(bytes, static_cast<uint16_t>(table.size()));
    bytes.insert(bytes.end(), table.begin(), table.end());
  }
  std::memcpy(Record(TRecordKind::Watched, bytes.size()), bytes.data(), bytes.size());
}

void TStreamWriter::AppDeltas(std::span<const TAppDelta> deltas, bool last) {
  std::vector<uint8_t> bytes;
  const std::size_t count = std::min(deltas.size(), kAppsPerRecord);
  bytes::Append<uint8_t>(bytes, last ? 1 : 0);
  bytes::Append<uint16_t>(bytes, static_cast<uint16_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    const TAppDelta& d = deltas[i];
    const std::size_t len = std::min(d.App.size(), kMaxAppNameBytes);
    bytes::Append<uint8_t>(bytes, static_cast<uint8_t>(len));
    bytes.insert(bytes.end(), d.App.begin(), d.App.begin() + static_cast<std::ptrdiff_t>(len));
    for (const uint64_t v :
         {d.Bytes.InternetDown, d.Bytes.InternetUp, d.Bytes.LanDown, d.Bytes.LanUp})
      bytes::Append<uint64_t>(bytes, v);
  }
  std::memcpy(Record(TRecordKind::AppDeltas, bytes.size()), bytes.data(), bytes.size());
}

void TStreamWriter::Device(const pcap_if_t& dev) {
  std::vector<uint8_t> bytes;
  EncodeDevice(dev, bytes);
  std::memcpy(Record(TRecordKind::Device, bytes.size()), bytes.data(), bytes.size());
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

void TStreamParser::Feed(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  std::memcpy(Room(bytes.size()).data(), bytes.data(), bytes.size());
  Commit(bytes.size());
}

TStreamParser::TStep TStreamParser::Fail(const std::string& why) {
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
  // A whole record always fits the next Room, since it is bounded above.
  if (Have - Start - kRecordHeaderBytes < payload) return TStep::NeedMore;
  Start += kRecordHeaderBytes + payload;
  return Take(kind, p, payload);
}

TStreamParser::TStep TStreamParser::Take(TRecordKind kind, const uint8_t* p, std::size_t n) {
  if (FEnded) return Fail("a record after the end");
  if (!FHello && kind != TRecordKind::Hello) return Fail("no greeting");
  const bool capture = Kind == kStreamCapture;
  const bool listing = Kind == kStreamListing;
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
      if (FSnapshot <= 0 || FSnapshot > 262144)
        return Fail("a snapshot length of " + std::to_string(FSnapshot));
      FOpened = true;
      break;
    case TRecordKind::Counts: {
      if (!capture || !FOpened || n != sizeof(TCountDeltas)) return Fail("misplaced counts");
      TCountDeltas d{};
      for (uint64_t& v : d) v = Get<uint64_t>(p);
      for (const uint64_t v : d)
        if (v > kMaxCountDelta) return Fail("a count of " + std::to_string(v) + " bytes");
      // This computer's Internet traffic is part of all computers' on every frame.
      if (d[2] > d[4] || d[3] > d[5]) return Fail("counts that cannot come from frames");
      FDeltas = d;
      break;
    }
    case TRecordKind::Stats:
      if (!capture || !FOpened || n != 16) return Fail("misplaced capture statistics");
      FReceived = Get<uint64_t>(p);
      FDropped = Get<uint64_t>(p);
      break;
    case TRecordKind::Failed: {
      if (!capture || !FOpened || n < 4) return Fail("a misplaced failure");
      const std::size_t e = Get<uint16_t>(p);
      const std::size_t r = Get<uint16_t>(p);
      if (e == 0 || e > kMaxErrorTextBytes || r > kMaxErrorTextBytes || n != 4 + e + r)
        return Fail("a failure whose lengths do not add up");
      FFailedError.assign(reinterpret_cast<const char*>(p), e);
      FFailedReason.assign(reinterpret_cast<const char*>(p) + e, r);
      // Texts for the user: nothing that could steer a terminal or a log line.
      for (std::string* s : {&FFailedError, &FFailedReason})
        std::replace_if(
            s->begin(), s->end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
      FEnded = true;
      break;
    }
    case TRecordKind::Table: {
      if (Kind != kStreamControl) return Fail("a misplaced address table");
      std::string why;
      if (!DecodeTable({p, n}, FTable, why)) return Fail(why);
      break;
    }
    case TRecordKind::Watched: {
      if (Kind != kStreamControl) return Fail("a misplaced list of adapters");
      std::string why;
      if (!DecodeWatched(p, n, FWatched, why)) return Fail(why);
      break;
    }
    case TRecordKind::AppDeltas: {
      if (Kind != kStreamApps) return Fail("misplaced application counts");
      std::string why;
      if (!DecodeAppDeltas(p, n, FApps, FAppsLast, why)) return Fail(why);
      break;
    }
    case TRecordKind::Device: {
      if (!listing) return Fail("a misplaced device");
      std::string why;
      if (!DecodeDevice(p, n, Devices, why)) return Fail(why);
      break;
    }
    case TRecordKind::End:
      if (!listing || n != 4) return Fail("a misplaced end");
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
  parser.Feed(bytes);
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

bool FlushTo(int fd, TStreamWriter& w) {
  const uint8_t* p = w.Data();
  std::size_t n = w.Size();
  bool ok = true;
  while (n > 0) {
    const ssize_t done = ::write(fd, p, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    p += done;
    n -= static_cast<std::size_t>(done);
  }
  w.Clear();
  return ok;
}

bool ReadControlInput(int fd, TStreamParser& control, bool& inputOpen, std::string& error,
                      std::string_view cutShort, const std::function<void()>& onRecord) {
  std::span<uint8_t> room = control.Room(4096);
  const ssize_t n = ::read(fd, room.data(), room.size());
  if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
    inputOpen = false;
    if (control.Pending() == 0) return true;
    error = std::string(cutShort) + " was cut short";
    return false;
  }
  if (n < 0) return true;
  control.Commit(static_cast<std::size_t>(n));
  for (;;) {
    switch (control.Next()) {
      case TStreamParser::TStep::NeedMore:
        return true;
      case TStreamParser::TStep::Failed:
        error = control.Error;
        return false;
      case TStreamParser::TStep::Record:
        onRecord();
        break;
    }
  }
}

}  // namespace zul
