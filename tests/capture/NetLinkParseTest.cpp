// Reading rtnetlink datagrams: the messages that matter are counted, and a malformed datagram is
// counted as such without a read past its end.
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "platform/NetLinkMonitor.h"

namespace zul {
namespace {

// Appends one message of `type` with `body` bytes of payload; `claimed` overrides its length.
void Put(std::vector<uint8_t>& buf, uint16_t type, std::size_t body, long claimed = -1) {
  nlmsghdr h{};
  h.nlmsg_type = type;
  h.nlmsg_len = static_cast<uint32_t>(claimed >= 0 ? claimed : NLMSG_LENGTH(body));
  const std::size_t at = buf.size();
  buf.resize(at + NLMSG_ALIGN(NLMSG_LENGTH(body)), 0);
  std::memcpy(buf.data() + at, &h, sizeof(h));
}

// Parses a copy of exactly the given bytes, so that a read past them trips the sanitizer.
TNetLinkNews Parse(const std::vector<uint8_t>& buf, std::size_t length) {
  auto copy = std::make_unique<uint8_t[]>(length == 0 ? 1 : length);
  if (!buf.empty()) std::memcpy(copy.get(), buf.data(), std::min(length, buf.size()));
  return ParseNetLinkMessages(copy.get(), length);
}

TEST(NetLinkParse, CountsLinkAndAddressNewsAndMalformedMessages) {
  struct TRow {
    const char* Name;
    std::vector<uint8_t> Buf;
    long Cut;  // -1: the whole buffer
    int Links, Addresses, Malformed;
  };
  std::vector<TRow> rows;
  auto row = [&](const char* name, auto fill, long cut, int links, int addresses, int malformed) {
    TRow r{name, {}, cut, links, addresses, malformed};
    fill(r.Buf);
    rows.push_back(std::move(r));
  };
  row(
      "NewLink", [](auto& b) { Put(b, RTM_NEWLINK, sizeof(ifinfomsg) + 40); }, -1, 1, 0, 0);
  row(
      "DelLinkThenNewAddr",
      [](auto& b) {
        Put(b, RTM_DELLINK, sizeof(ifinfomsg));
        Put(b, RTM_NEWADDR, sizeof(ifaddrmsg) + 24);
      },
      -1, 1, 1, 0);
  row(
      "DelAddrAndARoute",
      [](auto& b) {
        Put(b, RTM_NEWROUTE, sizeof(rtmsg));
        Put(b, RTM_DELADDR, sizeof(ifaddrmsg));
        Put(b, NLMSG_DONE, 4);
      },
      -1, 0, 1, 0);
  row(
      "LinkTooShortForItsKind", [](auto& b) { Put(b, RTM_NEWLINK, 2); }, -1, 0, 0, 1);
  row(
      "LengthBelowTheHeader", [](auto& b) { Put(b, RTM_NEWLINK, 16, 8); }, -1, 0, 0, 1);
  row(
      "LengthPastTheDatagram", [](auto& b) { Put(b, RTM_NEWADDR, 16, 4096); }, -1, 0, 0, 1);
  row(
      "SecondMessageCutShort",
      [](auto& b) {
        Put(b, RTM_NEWLINK, sizeof(ifinfomsg));
        Put(b, RTM_NEWLINK, sizeof(ifinfomsg));
      },
      NLMSG_ALIGN(NLMSG_LENGTH(sizeof(ifinfomsg))) + 20, 1, 0, 1);
  row(
      "ShorterThanAHeader", [](auto& b) { Put(b, RTM_NEWLINK, sizeof(ifinfomsg)); }, 10, 0, 0, 0);
  row(
      "Empty", [](auto&) {}, -1, 0, 0, 0);
  for (const TRow& r : rows) {
    const std::size_t length = r.Cut >= 0 ? static_cast<std::size_t>(r.Cut) : r.Buf.size();
    const TNetLinkNews news = Parse(r.Buf, length);
    EXPECT_EQ(news.Links, r.Links) << r.Name;
    EXPECT_EQ(news.Addresses, r.Addresses) << r.Name;
    EXPECT_EQ(news.Malformed, r.Malformed) << r.Name;
  }
  EXPECT_FALSE(ParseNetLinkMessages(nullptr, 100).Relevant());
}

TEST(NetLinkParse, RandomDatagramsNeverReadPastTheirEnd) {
  std::mt19937 rng(20240331u);
  for (int round = 0; round < 50000; ++round) {
    std::vector<uint8_t> buf;
    const int messages = static_cast<int>(rng() % 4);
    buf.reserve(1024);
    for (int m = 0; m < messages; ++m) {
      const uint16_t types[] = {RTM_NEWLINK, RTM_DELLINK, RTM_NEWADDR, RTM_DELADDR, NLMSG_DONE};
      const std::size_t body = rng() % 64;
      // Now and then a length that lies.
      Put(buf, types[rng() % 5], body, rng() % 4 == 0 ? static_cast<long>(rng() % 200) : -1);
    }
    for (auto& b : buf)
      if (rng() % 50 == 0) b = static_cast<uint8_t>(rng());
    const std::size_t length = buf.empty() ? 0 : rng() % (buf.size() + 1);
    const TNetLinkNews news = Parse(buf, length);
    // Every message counted took a header's worth of the datagram.
    ASSERT_LE(news.Links + news.Addresses + news.Malformed,
              static_cast<int>(length / sizeof(nlmsghdr)) + 1);
  }
}

}  // namespace
}  // namespace zul
