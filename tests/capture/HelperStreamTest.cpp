// The capture helper's stream: what one end writes the other reads back, in any split, and a
// damaged stream stops the reader with a reason instead of reading past its bounds.
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

struct TSentFrame {
  int64_t Sec;
  uint32_t Usec, Length;
  std::vector<uint8_t> Bytes;
};

std::vector<TSentFrame> SomeFrames(uint32_t snapshot) {
  std::vector<TSentFrame> frames;
  for (uint32_t captured : {0u, 1u, 14u, 60u, snapshot}) {
    TSentFrame f{1'800'000'000 + captured, captured * 7, captured + 1000, {}};
    for (uint32_t i = 0; i < captured; ++i)
      f.Bytes.push_back(static_cast<uint8_t>(i * 31 + captured));
    frames.push_back(std::move(f));
  }
  return frames;
}

pcap_pkthdr HeaderOf(const TSentFrame& f) {
  pcap_pkthdr h{};
  h.ts.tv_sec = static_cast<time_t>(f.Sec);
  h.ts.tv_usec = static_cast<suseconds_t>(f.Usec);
  h.caplen = static_cast<bpf_u_int32>(f.Bytes.size());
  h.len = f.Length;
  return h;
}

// A shared ring's memory, here plain memory of this process.
struct TTestRing {
  explicit TTestRing(std::size_t dataBytes)
      : Memory(kRingHeaderBytes + dataBytes), Size(dataBytes) {}
  uint8_t* Header() { return Memory.data(); }
  uint8_t* Data() { return Memory.data() + kRingHeaderBytes; }
  std::vector<uint8_t> Memory;
  std::size_t Size;
};

TEST(HelperStream, FramesGoRoundTheRingInOrderWhateverTheReadsSplitTheStream) {
  constexpr uint32_t kSnap = 1600;
  const auto sent = SomeFrames(kSnap);
  // Small enough that the frames wrap round its end many times, with pads.
  TTestRing memory(8192);
  TRingWriter writer(memory.Header(), memory.Data(), memory.Size);
  TRingReader reader(memory.Header(), memory.Data(), memory.Size, kSnap);
  for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{4096}}) {
    SCOPED_TRACE("reads of " + std::to_string(chunk));
    TStreamWriter stream;
    stream.Hello(kStreamCapture);
    stream.Opened(1, kSnap);
    TStreamParser p(kStreamCapture);
    std::vector<TSentFrame> got;
    uint64_t received = 0, dropped = 0;
    std::size_t fed = 0;
    // The program's side: takes what the stream has, reads the frames, frees the ring.
    auto take = [&] {
      for (; fed < stream.Size(); fed += std::min(chunk, stream.Size() - fed)) {
        const std::size_t n = std::min(chunk, stream.Size() - fed);
        std::memcpy(p.Room(n).data(), stream.Data() + fed, n);
        p.Commit(n);
        while (p.Next() == TStreamParser::TStep::Record) {
          if (p.RecordKind() == TRecordKind::Stats) {
            received = p.Received();
            dropped = p.Dropped();
          }
          if (p.RecordKind() != TRecordKind::Ring) continue;
          ASSERT_TRUE(reader.Announce(p.RingPosition())) << reader.Error;
          uint64_t pos = reader.Released();
          TStreamFrame f;
          while (reader.Next(pos, f) == TRingReader::TStep::Frame)
            got.push_back({f.Header.ts.tv_sec,
                           static_cast<uint32_t>(f.Header.ts.tv_usec),
                           f.Header.len,
                           {f.Bytes, f.Bytes + f.Header.caplen}});
          ASSERT_EQ(pos, reader.Announced());
          reader.Release(pos);
        }
      }
    };
    // The helper's side: 30 rounds of the frames; a full ring is freed by the program.
    for (int round = 0; round < 30; ++round) {
      for (const TSentFrame& f : sent) {
        const bool written = writer.Frame(HeaderOf(f), f.Bytes.data(), [&] {
          stream.Ring(writer.Publish());
          take();
          return true;
        });
        ASSERT_TRUE(written);
      }
      stream.Ring(writer.Publish());
    }
    stream.Stats(123456789012ull, 42);
    take();
    ASSERT_FALSE(p.Failed()) << p.Error;
    EXPECT_EQ(p.Pending(), 0u);
    EXPECT_EQ(p.LinkType(), 1);
    ASSERT_EQ(got.size(), 30 * sent.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      const TSentFrame& want = sent[i % sent.size()];
      ASSERT_EQ(got[i].Sec, want.Sec) << i;
      EXPECT_EQ(got[i].Usec, want.Usec);
      EXPECT_EQ(got[i].Length, want.Length);
      EXPECT_EQ(got[i].Bytes, want.Bytes);
    }
    EXPECT_EQ(received, 123456789012ull);
    EXPECT_EQ(dropped, 42u);
  }
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

TEST(HelperStream, ADamagedStreamStopsTheReaderWithAReason) {
  // A capture stream: Hello at 0, Opened at 12, a ring position at 24, Stats after it.
  TStreamWriter capture;
  capture.Hello(kStreamCapture);
  capture.Opened(1, 64);
  capture.Ring(88);
  capture.Stats(1, 0);
  const std::vector<uint8_t> good(capture.Data(), capture.Data() + capture.Size());
  constexpr std::size_t kRing = 24;

  struct TRow {
    const char* What;
    std::function<void(std::vector<uint8_t>&)> Damage;
    const char* Reason;
  };
  const std::vector<TRow> rows = {
      {"another program's output", [](auto& s) { Patch(s, 4, {'X'}); },
       "not a capture helper's stream"},
      {"another version", [](auto& s) { Patch(s, 8, {9}); }, "version 9"},
      {"a listing instead", [](auto& s) { Patch(s, 10, {2}); }, "another kind"},
      {"no greeting", [](auto& s) { s.erase(s.begin(), s.begin() + 12); }, "no greeting"},
      {"a position before the opening", [](auto& s) { s.erase(s.begin() + 12, s.begin() + 24); },
       "misplaced ring position"},
      {"a snapshot length of 0",
       [](auto& s) {
         Patch(s, 20, {0, 0, 0, 0});
       },
       "snapshot length of 0"},
      {"a frame in the stream", [](auto& s) { Patch(s, kRing, {3}); }, "unknown kind 3"},
      {"a record of 16 MB",
       [](auto& s) {
         Patch(s, kRing, {7, 0xFF, 0xFF, 0xFF});
       },
       "a record of"},
      {"a kind unknown", [](auto& s) { Patch(s, kRing, {99}); }, "unknown kind 99"},
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
    TStreamParser p(kStreamCapture);
    std::memcpy(p.Room(s.size()).data(), s.data(), s.size());
    p.Commit(s.size());
    TStreamParser::TStep step;
    while ((step = p.Next()) == TStreamParser::TStep::Record) {
    }
    ASSERT_EQ(step, TStreamParser::TStep::Failed);
    EXPECT_NE(p.Error.find("Malformed capture stream"), std::string::npos) << p.Error;
    EXPECT_NE(p.Error.find(row.Reason), std::string::npos) << p.Error;
    // Once failed, it stays failed.
    EXPECT_EQ(p.Next(), TStreamParser::TStep::Failed);
  }

  // Listings: one device with one address, then the end.
  TDeviceList one;
  const uint8_t ip[16] = {192, 0, 2, 1};
  one.AddAddress(one.AddDevice("veth0", "", 0), AF_INET, ip, nullptr, nullptr, 0);
  TStreamWriter listing;
  listing.Hello(kStreamListing);
  listing.Device(*one.get());
  listing.End(1);
  const std::vector<uint8_t> goodListing(listing.Data(), listing.Data() + listing.Size());
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
      {"a ring position in a listing", [](auto& s) { Patch(s, 12, {7}); },
       "misplaced ring position"},
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

TEST(HelperStream, ADamagedRingStopsTheReaderWithoutReadingPastIt) {
  constexpr uint32_t kSnap = 64;
  // One 60-byte frame at 0 (88 bytes with its header and padding), then a pad to the end.
  struct TRow {
    const char* What;
    std::size_t At;
    std::vector<uint8_t> Bytes;
    uint64_t Announced;
  };
  const std::vector<TRow> rows = {
      {"a kind unknown", 0, {9}, 88},
      {"a pad that does not reach the end", 0, {8}, 88},
      {"more captured than the snapshot", 4 + 12, {65}, 88},
      {"captured not what the record holds", 4 + 12, {59}, 88},
      {"captured more than on the wire", 4 + 16, {10, 0, 0, 0}, 88},
      {"a microsecond count past a second", 4 + 8, {0x40, 0x42, 0x0F, 0}, 88},
      {"a record longer than what was announced", 0, {}, 80},
      {"a record past the ring's end", 1, {0xFF, 0xFF, 0x00}, 88},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.What);
    TTestRing memory(4096);
    TRingWriter writer(memory.Header(), memory.Data(), memory.Size);
    const std::vector<uint8_t> bytes(60, 0xAB);
    pcap_pkthdr h{};
    h.caplen = h.len = 60;
    ASSERT_TRUE(writer.Frame(h, bytes.data(), [] { return false; }));
    writer.Publish();
    Patch(memory.Memory, kRingHeaderBytes + row.At, row.Bytes);
    TRingReader reader(memory.Header(), memory.Data(), memory.Size, kSnap);
    ASSERT_TRUE(reader.Announce(row.Announced));
    uint64_t pos = 0;
    TStreamFrame f;
    EXPECT_EQ(reader.Next(pos, f), TRingReader::TStep::Failed);
    EXPECT_EQ(pos, 0u);
  }
  // Positions the helper cannot have announced.
  TTestRing memory(4096);
  TRingReader reader(memory.Header(), memory.Data(), memory.Size, kSnap);
  EXPECT_FALSE(reader.Announce(4096 + 8)) << "more than the ring holds";
  EXPECT_FALSE(reader.Announce(12)) << "not a record's boundary";
  EXPECT_TRUE(reader.Announce(88));
  EXPECT_FALSE(reader.Announce(80)) << "backwards";
  // A helper whose program's position is impossible writes no more.
  TRingWriter writer(memory.Header(), memory.Data(), memory.Size);
  Patch(memory.Memory, kRingReleasedAt, {1});
  pcap_pkthdr h{};
  EXPECT_FALSE(writer.Frame(h, nullptr, [] { return true; }));
  EXPECT_TRUE(writer.Broken);
}

TEST(HelperStream, RandomDamageNeverReadsPastTheRing) {
  // Bounded: the same rounds every run. Under the address sanitizer a read past the ring fails.
  constexpr uint32_t kSnap = 64;
  const auto sent = SomeFrames(kSnap);
  std::mt19937 rng(20261208);
  for (int round = 0; round < 5000; ++round) {
    TTestRing memory(1024);
    TRingWriter writer(memory.Header(), memory.Data(), memory.Size);
    for (const TSentFrame& f : sent)
      ASSERT_TRUE(writer.Frame(HeaderOf(f), f.Bytes.data(), [] { return false; }));
    const uint64_t published = writer.Publish();
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e)
      memory.Data()[rng() % memory.Size] = static_cast<uint8_t>(rng());
    TRingReader reader(memory.Header(), memory.Data(), memory.Size, kSnap);
    ASSERT_TRUE(reader.Announce(published));
    uint64_t pos = 0;
    TStreamFrame f;
    while (reader.Next(pos, f) == TRingReader::TStep::Frame) {
      ASSERT_LE(f.Header.caplen, kSnap);
      ASSERT_LE(pos, published);
      ASSERT_GE(f.Bytes, memory.Data());
      ASSERT_LE(f.Bytes + f.Header.caplen, memory.Data() + memory.Size);
    }
  }
}

}  // namespace
}  // namespace zul
