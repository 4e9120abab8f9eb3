// The stream between the capture helper and the program: what one end writes the other reads
// back, in any split, and a damaged or hostile stream stops the reader with a reason instead of
// reading past its bounds or counting garbage.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "capture/HelperStream.h"

namespace zul {
namespace {

TAddressTable SomeTable() {
  TAddressTable t;
  t.MAC = {0x02, 0, 0, 0, 0, 0x10};
  t.MACFound = true;
  AddAddress(t, htonl(0xC0000214), htonl(0xFFFFFF00));  // 192.0.2.20/24
  AddAddress(t, htonl(0xC6336401), htonl(0xFFFF0000));  // 198.51.100.1/16
  uint8_t ip6[16] = {0x20, 0x01, 0x0d, 0xb8}, mask6[16] = {};
  ip6[15] = 9;
  std::memset(mask6, 0xFF, 8);
  AddAddress6(t, ip6, mask6);
  return t;
}

std::vector<uint8_t> Bytes(const TStreamWriter& w) {
  return {w.Data(), w.Data() + w.Size()};
}

TEST(HelperStream, CountsAndTablesReadBackWhateverTheReadsSplitTheStream) {
  TStreamWriter capture;
  capture.Hello(kStreamCapture);
  capture.Opened(1, 64);
  capture.Counts({10, 20, 30, 40, 300, 400});
  capture.Stats(123456789012ull, 42);
  capture.Counts({0, 0, 0, 0, 0, kMaxCountDelta});
  capture.Failed("Snoop Error: pcap_next_ex return -1", "The interface disappeared");
  const std::vector<uint8_t> stream = Bytes(capture);
  for (std::size_t chunk = 1; chunk <= stream.size(); chunk += chunk < 16 ? 1 : 13) {
    SCOPED_TRACE(chunk);
    TStreamParser p(kStreamCapture);
    std::vector<TCountDeltas> counts;
    uint64_t received = 0, dropped = 0;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      p.Feed({stream.data() + at, std::min(chunk, stream.size() - at)});
      while (p.Next() == TStreamParser::TStep::Record) {
        if (p.RecordKind() == TRecordKind::Counts) counts.push_back(p.Deltas());
        if (p.RecordKind() == TRecordKind::Stats) received = p.Received(), dropped = p.Dropped();
      }
    }
    ASSERT_FALSE(p.Failed()) << p.Error;
    EXPECT_TRUE(p.Opened() && p.Ended());
    EXPECT_EQ(p.LinkType(), 1);
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts[0], (TCountDeltas{10, 20, 30, 40, 300, 400}));
    EXPECT_EQ(counts[1][5], kMaxCountDelta);
    EXPECT_EQ(received, 123456789012ull);
    EXPECT_EQ(dropped, 42u);
    EXPECT_EQ(p.FailedError(), "Snoop Error: pcap_next_ex return -1");
    EXPECT_EQ(p.FailedReason(), "The interface disappeared");
  }

  TStreamWriter control;
  control.Hello(kStreamControl);
  const TAddressTable empty;
  control.Table(empty);
  control.Table(SomeTable());
  TStreamParser p(kStreamControl);
  p.Feed({control.Data(), control.Size()});
  int tables = 0;
  while (p.Next() == TStreamParser::TStep::Record) tables += p.RecordKind() == TRecordKind::Table;
  ASSERT_FALSE(p.Failed()) << p.Error;
  EXPECT_EQ(tables, 2);
  EXPECT_TRUE(SameAddresses(p.Table(), SomeTable()));
  EXPECT_EQ(p.Table().Addresses[0].IPText, "192.0.2.20");
  EXPECT_EQ(p.Table().Addresses6[0].PrefixLength, 64);
}

TEST(HelperStream, AListingReadsBackWithItsAddresses) {
  TDeviceList source;
  const uint8_t ip[16] = {192, 0, 2, 20}, mask[16] = {255, 255, 255, 0},
                bcast[16] = {192, 0, 2, 255};
  uint8_t ip6[16] = {0x20, 0x01, 0x0d, 0xb8}, mask6[16];
  ip6[15] = 9;
  std::memset(mask6, 0xFF, 8);
  std::memset(mask6 + 8, 0, 8);
  pcap_if_t& eth = source.AddDevice("eth0", "Ethernet adapter", PCAP_IF_UP | PCAP_IF_RUNNING);
  source.AddAddress(eth, AF_INET, ip, mask, bcast, 0);
  source.AddAddress(eth, AF_INET6, ip6, mask6, nullptr, 3);
  pcap_if_t& lo = source.AddDevice("lo", "", PCAP_IF_LOOPBACK);
  source.AddAddress(lo, AF_INET, ip, nullptr, nullptr, 0);
  TStreamWriter w;
  w.Hello(kStreamListing);
  for (const pcap_if_t* d = source.get(); d != nullptr; d = d->next) w.Device(*d);
  w.End(2);

  TDeviceList got;
  std::string error;
  ASSERT_TRUE(ParseListing({w.Data(), w.Size()}, got, error)) << error;
  ASSERT_EQ(got.size(), 2u);
  const pcap_if_t* d = got.get();
  EXPECT_STREQ(d->name, "eth0");
  EXPECT_STREQ(d->description, "Ethernet adapter");
  EXPECT_EQ(d->flags, static_cast<bpf_u_int32>(PCAP_IF_UP | PCAP_IF_RUNNING));
  const pcap_addr_t* a = d->addresses;
  ASSERT_NE(a, nullptr);
  sockaddr_in in{};
  std::memcpy(&in, a->addr, sizeof(in));
  EXPECT_EQ(in.sin_addr.s_addr, htonl(0xC0000214));
  std::memcpy(&in, a->netmask, sizeof(in));
  EXPECT_EQ(in.sin_addr.s_addr, htonl(0xFFFFFF00));
  std::memcpy(&in, a->broadaddr, sizeof(in));
  EXPECT_EQ(in.sin_addr.s_addr, htonl(0xC00002FF));
  a = a->next;
  ASSERT_NE(a, nullptr);
  sockaddr_in6 in6{};
  std::memcpy(&in6, a->addr, sizeof(in6));
  EXPECT_EQ(std::memcmp(&in6.sin6_addr, ip6, 16), 0);
  EXPECT_EQ(in6.sin6_scope_id, 3u);
  std::memcpy(&in6, a->netmask, sizeof(in6));
  EXPECT_EQ(std::memcmp(&in6.sin6_addr, mask6, 16), 0);
  EXPECT_EQ(a->broadaddr, nullptr);
  EXPECT_EQ(a->next, nullptr);
  d = d->next;
  EXPECT_STREQ(d->name, "lo");
  EXPECT_EQ(d->description, nullptr);
  ASSERT_NE(d->addresses, nullptr);
  EXPECT_EQ(d->addresses->netmask, nullptr);
  EXPECT_EQ(d->next, nullptr);
}

// Overwrites the bytes of `s` from `at` on.
void Patch(std::vector<uint8_t>& s, std::size_t at, std::vector<uint8_t> bytes) {
  std::copy(bytes.begin(), bytes.end(), s.begin() + static_cast<std::ptrdiff_t>(at));
}

struct TRow {
  const char* What;
  std::function<void(std::vector<uint8_t>&)> Damage;
  const char* Reason;
};

// Reads `s` as a stream of `kind` to its end; the parser's last step.
TStreamParser::TStep ReadAll(const std::vector<uint8_t>& s, uint16_t kind, std::string& error) {
  TStreamParser p(kind);
  p.Feed(s);
  TStreamParser::TStep step;
  while ((step = p.Next()) == TStreamParser::TStep::Record) {
  }
  error = p.Error;
  // Once failed, it stays failed.
  if (step == TStreamParser::TStep::Failed) {
    EXPECT_EQ(p.Next(), TStreamParser::TStep::Failed);
  }
  return step;
}

std::vector<uint8_t> EmptyTableRecord() {
  const TAddressTable empty;
  TStreamWriter w;
  w.Table(empty);
  return Bytes(w);
}

TEST(HelperStream, AHostileStreamStopsTheReaderWithAReasonAndCountsNothingOfIt) {
  // A capture stream: Hello at 0, Opened at 12, Counts at 24 (52 bytes), Stats at 76.
  TStreamWriter capture;
  capture.Hello(kStreamCapture);
  capture.Opened(1, 64);
  capture.Counts({1, 2, 3, 4, 5, 6});
  capture.Stats(1, 0);
  const std::vector<uint8_t> good = Bytes(capture);
  constexpr std::size_t kCounts = 24;
  const std::vector<TRow> rows = {
      {"another program's output", [](auto& s) { Patch(s, 4, {'X'}); },
       "not a capture helper's stream"},
      {"another version", [](auto& s) { Patch(s, 8, {9}); }, "version 9"},
      {"a listing instead", [](auto& s) { Patch(s, 10, {2}); }, "another kind"},
      {"no greeting", [](auto& s) { s.erase(s.begin(), s.begin() + 12); }, "no greeting"},
      {"counts before the opening", [](auto& s) { s.erase(s.begin() + 12, s.begin() + 24); },
       "misplaced counts"},
      {"a snapshot length of 0",
       [](auto& s) {
         Patch(s, 20, {0, 0, 0, 0});
       },
       "snapshot length of 0"},
      {"a frame in the stream", [](auto& s) { Patch(s, kCounts, {3}); }, "unknown kind 3"},
      {"a record of 16 MB",
       [](auto& s) {
         Patch(s, kCounts, {9, 0xFF, 0xFF, 0xFF});
       },
       "a record of"},
      {"counts of another size", [](auto& s) { Patch(s, kCounts + 1, {40}); }, "misplaced counts"},
      {"a count beyond any link", [](auto& s) { Patch(s, kCounts + 4 + 8 + 7, {0x10}); },
       "a count of"},
      {"own Internet traffic beyond all computers'",
       [](auto& s) { Patch(s, kCounts + 4 + 16, {9}); }, "cannot come from frames"},
      {"an address table from the helper",
       [](auto& s) {
         const std::vector<uint8_t> table = EmptyTableRecord();
         s.insert(s.end(), table.begin(), table.end());
       },
       "misplaced address table"},
      {"a failure without its text",
       [](auto& s) {
         s.insert(s.end(), {10, 4, 0, 0, 0, 0, 0, 0});
       },
       "lengths do not add up"},
      {"a record after the failure",
       [](auto& s) {
         TStreamWriter w;
         w.Failed("e", "r");
         w.Stats(1, 1);
         s.insert(s.end(), w.Data(), w.Data() + w.Size());
       },
       "after the end"},
      {"a kind unknown", [](auto& s) { Patch(s, kCounts, {99}); }, "unknown kind 99"},
      {"a second greeting", [](auto& s) { s.insert(s.end(), s.begin(), s.begin() + 12); },
       "misplaced greeting"},
      {"a second opening", [](auto& s) { s.insert(s.end(), s.begin() + 12, s.begin() + 24); },
       "misplaced opening"},
      {"a listing's device",
       [](auto& s) {
         s.insert(s.end(), {5, 0, 0, 0});
       },
       "misplaced device"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.What);
    std::vector<uint8_t> s = good;
    row.Damage(s);
    std::string error;
    ASSERT_EQ(ReadAll(s, kStreamCapture, error), TStreamParser::TStep::Failed);
    EXPECT_NE(error.find("Malformed capture stream"), std::string::npos) << error;
    EXPECT_NE(error.find(row.Reason), std::string::npos) << error;
  }

  // What the program sends the helper: a greeting and a table of two subnets and a prefix.
  TStreamWriter control;
  control.Hello(kStreamControl);
  control.Table(SomeTable());
  const std::vector<uint8_t> goodControl = Bytes(control);
  constexpr std::size_t kTable = 12 + 4;
  const std::vector<TRow> controlRows = {
      {"a table cut short", [](auto& s) { s.resize(s.size() - 1), Patch(s, 13, {59}); },
       "lengths do not add up"},
      {"seventeen subnets", [](auto& s) { Patch(s, kTable + 7, {17}); }, "do not add up"},
      {"a found flag of 2", [](auto& s) { Patch(s, kTable + 6, {2}); }, "do not add up"},
      {"spare bytes set", [](auto& s) { Patch(s, kTable + 10, {1}); }, "do not add up"},
      {"counts to the helper", [](auto& s) { Patch(s, 12, {9}); }, "misplaced counts"},
      {"a capture stream", [](auto& s) { Patch(s, 10, {1}); }, "another kind"},
  };
  for (const TRow& row : controlRows) {
    SCOPED_TRACE(row.What);
    std::vector<uint8_t> s = goodControl;
    row.Damage(s);
    std::string error;
    ASSERT_EQ(ReadAll(s, kStreamControl, error), TStreamParser::TStep::Failed);
    EXPECT_NE(error.find(row.Reason), std::string::npos) << error;
  }

  // Listings: one device with one address, then the end.
  TDeviceList one;
  const uint8_t ip[16] = {192, 0, 2, 1};
  one.AddAddress(one.AddDevice("veth0", "", 0), AF_INET, ip, nullptr, nullptr, 0);
  TStreamWriter listing;
  listing.Hello(kStreamListing);
  listing.Device(*one.get());
  listing.End(1);
  const std::vector<uint8_t> goodListing = Bytes(listing);
  constexpr std::size_t kDevice = 12 + 4;
  const std::vector<TRow> listingRows = {
      {"cut short", [](auto& s) { s.resize(s.size() - 3); }, "cut short"},
      {"without its end", [](auto& s) { s.resize(s.size() - 8); }, "ended early"},
      {"a device missing", [](auto& s) { Patch(s, s.size() - 4, {2}); }, "devices missing"},
      {"a name with a zero byte", [](auto& s) { Patch(s, kDevice + 12 + 2, {0}); }, "zero byte"},
      {"an empty name", [](auto& s) { Patch(s, kDevice + 4, {0}); }, "lengths do not add up"},
      {"an address of family 5", [](auto& s) { Patch(s, kDevice + 12 + 5, {5}); }, "no family"},
      {"a record after the end", [](auto& s) { s.insert(s.end(), s.begin(), s.begin() + 12); },
       "after the end"},
      {"counts in a listing", [](auto& s) { Patch(s, 12, {9}); }, "misplaced counts"},
  };
  for (const TRow& row : listingRows) {
    SCOPED_TRACE(row.What);
    std::vector<uint8_t> s = goodListing;
    row.Damage(s);
    TDeviceList list;
    std::string error;
    EXPECT_FALSE(ParseListing(s, list, error));
    EXPECT_NE(error.find(row.Reason), std::string::npos) << error;
  }
  TDeviceList list;
  std::string error;
  EXPECT_TRUE(ParseListing(goodListing, list, error)) << error;
}

TEST(HelperStream, AdaptersAndApplicationCountsReadBackAndHostileOnesStopTheReader) {
  TStreamWriter control;
  control.Hello(kStreamControl);
  control.Watched({{"eth0", SomeTable()}, {"wlp2s0", TAddressTable{}}});
  TStreamParser in(kStreamControl);
  in.Feed(Bytes(control));
  ASSERT_EQ(in.Next(), TStreamParser::TStep::Record);
  ASSERT_EQ(in.Next(), TStreamParser::TStep::Record);
  ASSERT_EQ(in.WatchedAdapters().size(), 2u);
  EXPECT_EQ(in.WatchedAdapters()[0].Name, "eth0");
  EXPECT_TRUE(SameAddresses(in.WatchedAdapters()[0].Table, SomeTable()));
  EXPECT_EQ(in.WatchedAdapters()[1].Name, "wlp2s0");

  // More applications than one record holds, split over records; the last ends the second.
  TAppDeltas many;
  for (uint64_t i = 0; i < kAppsPerRecord + 3; ++i)
    many.push_back({"app" + std::to_string(i), {i, 2 * i, 3 * i, kMaxAppDelta}});
  many[0].App = std::string(kMaxAppNameBytes, 'n');
  TStreamWriter apps;
  apps.Hello(kStreamApps);
  apps.AppDeltas({many.data(), kAppsPerRecord}, false);
  apps.AppDeltas({many.data() + kAppsPerRecord, 3}, true);
  TStreamParser out(kStreamApps);
  out.Feed(Bytes(apps));
  TAppDeltas got;
  bool last = false;
  while (out.Next() == TStreamParser::TStep::Record)
    if (out.RecordKind() == TRecordKind::AppDeltas) {
      EXPECT_FALSE(last);
      got.insert(got.end(), out.Apps().begin(), out.Apps().end());
      last = out.AppsLast();
    }
  ASSERT_FALSE(out.Failed()) << out.Error;
  EXPECT_TRUE(last);
  EXPECT_EQ(got, many);

  // Control: greeting, header at 12, count at 16, "eth0" at 19, its table's length at 23.
  TStreamWriter one;
  one.Hello(kStreamControl);
  one.Watched({{"eth0", SomeTable()}});
  // Apps: greeting, header at 12, last at 16, count at 17, "a" at 20, counts from 21.
  TStreamWriter app;
  app.Hello(kStreamApps);
  const TAppDelta a{"a", {1, 2, 3, 4}};
  app.AppDeltas({&a, 1}, true);
  const std::vector<std::pair<uint16_t, TRow>> rows = {
      {kStreamControl,
       {"a path for a name",
        [](auto& s) {
          Patch(s, 19, {'.', '.', '/', 'x'});
        },
        "not an adapter name"}},
      {kStreamControl,
       {"a name with a space", [](auto& s) { Patch(s, 20, {' '}); }, "not an adapter name"}},
      {kStreamControl, {"one adapter more", [](auto& s) { Patch(s, 16, {2}); }, "cut short"}},
      {kStreamControl,
       {"a thousand adapters",
        [](auto& s) {
          Patch(s, 16, {0xE8, 3});
        },
        "too many adapters"}},
      {kStreamControl,
       {"a table longer than the record", [](auto& s) { Patch(s, 23, {0xFF}); }, "cut short"}},
      {kStreamControl,
       {"a table one byte short", [](auto& s) { Patch(s, 23, {static_cast<uint8_t>(s[23] - 1)}); },
        "do not add up"}},
      {kStreamControl,
       {"counts to the helper", [](auto& s) { Patch(s, 12, {13}); },
        "misplaced application counts"}},
      {kStreamApps,
       {"a control character in a name", [](auto& s) { Patch(s, 20, {'\n'}); },
        "not an application's name"}},
      {kStreamApps,
       {"an empty name",
        [](auto& s) {
          Patch(s, 19, {0});
          s.erase(s.begin() + 20);
          Patch(s, 13, {static_cast<uint8_t>(s[13] - 1)});
        },
        "not an application's name"}},
      {kStreamApps, {"a last flag of 2", [](auto& s) { Patch(s, 16, {2}); }, "misplaced"}},
      {kStreamApps,
       {"a count beyond any link", [](auto& s) { Patch(s, 21 + 7, {0x10}); }, "count of"}},
      {kStreamApps, {"one application more", [](auto& s) { Patch(s, 17, {2}); }, "cut short"}},
      {kStreamApps,
       {"too many applications",
        [](auto& s) {
          Patch(s, 17, {0xFF, 0xFF});
        },
        "too many applications"}},
      {kStreamApps,
       {"an adapter list from the helper", [](auto& s) { Patch(s, 12, {12}); },
        "misplaced list of adapters"}},
  };
  for (const auto& [kind, row] : rows) {
    SCOPED_TRACE(row.What);
    std::vector<uint8_t> s = Bytes(kind == kStreamControl ? one : app);
    row.Damage(s);
    std::string error;
    ASSERT_EQ(ReadAll(s, kind, error), TStreamParser::TStep::Failed);
    EXPECT_NE(error.find(row.Reason), std::string::npos) << error;
  }
}

TEST(HelperStream, RandomDamageNeverReadsPastTheStream) {
  TStreamWriter w;
  w.Hello(kStreamCapture);
  w.Opened(1, 64);
  for (int i = 0; i < 20; ++i) w.Counts({1, 2, 3, 4, 5, 6});
  w.Failed("e", "r");
  const std::vector<uint8_t> good = Bytes(w);
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> s = good;
    for (int k = 0; k < 1 + round % 4; ++k) s[random() % s.size()] = static_cast<uint8_t>(random());
    if (round % 3 == 0) s.resize(random() % s.size());
    for (const uint16_t kind : {kStreamCapture, kStreamControl, kStreamListing}) {
      TStreamParser p(kind);
      p.Feed(s);
      while (p.Next() == TStreamParser::TStep::Record) {
        if (p.RecordKind() != TRecordKind::Counts) continue;
        for (const uint64_t v : p.Deltas()) {
          ASSERT_LE(v, kMaxCountDelta);
        }
      }
    }
  }
}

}  // namespace
}  // namespace zul
