// What the capture helper and the program send each other: the helper's counts and listings, the
// program's address tables, read in the splits the input chooses. Whatever the bytes, no count
// is garbage, no table overruns, and a listing's strings end.
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

// A capture stream (from the helper) or a control stream (to it), read in the splits the input
// chooses. Whatever the bytes, no count is garbage and no table overruns.
void Stream(uint16_t kind, const uint8_t* data, std::size_t size) {
  if (size < 1) return;
  const std::size_t chunk = 1 + data[0];
  TStreamParser parser(kind);
  for (std::size_t at = 1; at < size; at += chunk) {
    parser.Feed({data + at, std::min(chunk, size - at)});
    TStreamParser::TStep step;
    while ((step = parser.Next()) == TStreamParser::TStep::Record) {
      if (parser.RecordKind() == TRecordKind::Counts) {
        const TCountDeltas& d = parser.Deltas();
        for (const uint64_t v : d) Check(v <= kMaxCountDelta, "a count beyond any link");
        Check(d[2] <= d[4] && d[3] <= d[5], "own Internet traffic beyond all computers'");
      } else if (parser.RecordKind() == TRecordKind::Table) {
        const TAddressTable& t = parser.Table();
        Check(t.AddressCount >= 0 && t.AddressCount <= kMaxAddresses && t.Address6Count >= 0 &&
                  t.Address6Count <= kMaxAddresses,
              "a table overran");
        std::vector<uint8_t> again;
        EncodeTable(t, again);
        TAddressTable back;
        std::string why;
        Check(DecodeTable(again, back, why) && SameAddresses(t, back),
              "a table reads back otherwise");
      }
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
  switch (data[0] % 3) {
    case 0:
      zul::Listing(data + 1, size - 1);
      break;
    case 1:
      zul::Stream(zul::kStreamCapture, data + 1, size - 1);
      break;
    default:
      zul::Stream(zul::kStreamControl, data + 1, size - 1);
  }
  return 0;
}
