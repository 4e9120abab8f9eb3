// What the capture helper sends: its stream read in the splits the input chooses, the ring it
// announces read frame by frame, and device listings. Whatever the bytes, every frame handed on
// lies inside the ring and within the snapshot length, and a listing's strings end.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzKit.h"
#include "capture/HelperStream.h"

namespace zul {
namespace {

using zulfuzz::Check;

constexpr std::size_t kRing = 8192;

void Listing(const uint8_t* data, std::size_t size) {
  TDeviceList list;
  std::string error;
  if (!ParseListing({data, size}, list, error)) {
    Check(!error.empty(), "a refused listing says why");
    return;
  }
  std::size_t n = 0;
  for (const pcap_if_t* d = list.get(); d != nullptr; d = d->next, ++n) {
    Check(d->name != nullptr && std::strlen(d->name) <= kMaxNameBytes, "a device has a name");
    for (const pcap_addr_t* a = d->addresses; a != nullptr; a = a->next)
      Check(a->addr != nullptr && (a->addr->sa_family == AF_INET || a->addr->sa_family == AF_INET6),
            "an address has a family");
  }
  Check(n == list.size(), "the listing's links reach every device");
}

void Capture(const uint8_t* data, std::size_t size) {
  if (size < 3) return;
  const std::size_t chunk = 1 + data[0];
  const std::size_t streamBytes = std::min<std::size_t>(size - 2, data[1] * 4u);
  const uint8_t* stream = data + 2;
  // The rest is what the helper wrote into the ring.
  std::vector<uint8_t> memory(kRingHeaderBytes + kRing, 0);
  std::memcpy(memory.data() + kRingHeaderBytes, stream + streamBytes,
              std::min(kRing, size - 2 - streamBytes));
  const uint8_t* ring = memory.data() + kRingHeaderBytes;

  TStreamParser parser(kStreamCapture);
  std::unique_ptr<TRingReader> reader;
  for (std::size_t at = 0; at < streamBytes; at += chunk) {
    const std::size_t n = std::min(chunk, streamBytes - at);
    std::memcpy(parser.Room(n).data(), stream + at, n);
    parser.Commit(n);
    TStreamParser::TStep step;
    while ((step = parser.Next()) == TStreamParser::TStep::Record) {
      if (parser.RecordKind() == TRecordKind::Opened) {
        Check(parser.Snapshot() > 0 && static_cast<uint32_t>(parser.Snapshot()) <= kMaxStreamSnapLen,
              "a snapshot length in range");
        reader = std::make_unique<TRingReader>(memory.data(), ring, kRing,
                                               static_cast<uint32_t>(parser.Snapshot()));
      }
      if (parser.RecordKind() != TRecordKind::Ring) continue;
      Check(reader != nullptr, "a ring position only after the opening");
      if (!reader->Announce(parser.RingPosition())) return;
      uint64_t pos = reader->Released();
      TStreamFrame f;
      while (reader->Next(pos, f) == TRingReader::TStep::Frame) {
        Check(pos <= reader->Announced(), "a frame within what was announced");
        Check(f.Bytes >= ring && f.Bytes + f.Header.caplen <= ring + kRing, "a frame in the ring");
        Check(f.Header.caplen <= static_cast<uint32_t>(parser.Snapshot()), "within the snapshot");
        Check(f.Header.caplen <= f.Header.len, "no more captured than on the wire");
      }
      reader->Release(pos);
    }
    if (step == TStreamParser::TStep::Failed) {
      Check(!parser.Error.empty(), "a refused stream says why");
      return;
    }
  }
}

}  // namespace
}  // namespace zul

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if ((data[0] & 1) == 0)
    zul::Listing(data + 1, size - 1);
  else
    zul::Capture(data + 1, size - 1);
  return 0;
}
