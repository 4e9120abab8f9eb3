// The capture component's properties and the operations that need no live device.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "capture/Snoop.h"

namespace zul {
namespace {

// The devices as the library lists them, read here without the component.
struct TListing {
  std::vector<std::string> Names;
  std::vector<std::string> Descriptions;
};

TListing ReadListing() {
  TListing l;
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_if_t* devs = nullptr;
  if (pcap_findalldevs(&devs, errbuf) != 0) return l;
  for (pcap_if_t* d = devs; d != nullptr; d = d->next) {
    l.Names.emplace_back(d->name);
    const bool described = d->description != nullptr && *d->description != '\0';
    l.Descriptions.emplace_back(described ? d->description : d->name);
  }
  pcap_freealldevs(devs);
  return l;
}

class SnoopProperties : public ::testing::Test {
 protected:
  void SetUp() override {
    Expected = ReadListing();
    if (Expected.Names.size() < 2) GTEST_SKIP() << "the capture library lists fewer than 2 devices";
  }
  TListing Expected;
  TSnoop S;
};

TEST_F(SnoopProperties, StartsClosedWithItsDefaults) {
  EXPECT_FALSE(S.Active());
  EXPECT_EQ(S.AdapterIndex(), -1);
  EXPECT_EQ(S.AdapterName(), "");
  EXPECT_EQ(S.AdapterDescription(), "");
  EXPECT_TRUE(S.ThreadSafe);
  EXPECT_EQ(S.Filter, "");
  EXPECT_EQ(S.SnapLen, 1600);
  EXPECT_EQ(S.Flags, 1);
  EXPECT_EQ(S.ReadTimeOut, 100);
  EXPECT_EQ(S.LastError(), "");
  EXPECT_EQ(S.LinkType(), -1);
}

TEST_F(SnoopProperties, ListsEveryDeviceInLibraryOrderDescribingUndescribedOnesByName) {
  EXPECT_EQ(S.AdapterNames(), Expected.Names);
  EXPECT_EQ(S.AdapterDescriptions(), Expected.Descriptions);
}

TEST_F(SnoopProperties, IndexSelectsNameAndDescriptionFromTheLists) {
  const int32_t last = static_cast<int32_t>(Expected.Names.size()) - 1;
  S.SetAdapterIndex(last);
  EXPECT_EQ(S.AdapterIndex(), last);
  EXPECT_EQ(S.AdapterName(), Expected.Names.back());
  EXPECT_EQ(S.AdapterDescription(), Expected.Descriptions.back());
}

TEST_F(SnoopProperties, IndexOutsideTheListsSelectsNothing) {
  for (int32_t bad : {-5, static_cast<int32_t>(Expected.Names.size())}) {
    S.SetAdapterIndex(0);
    S.SetAdapterIndex(bad);
    EXPECT_EQ(S.AdapterIndex(), -1) << bad;
    EXPECT_EQ(S.AdapterName(), "") << bad;
  }
}

TEST_F(SnoopProperties, NameSelectsByExactMatch) {
  S.SetAdapterName(Expected.Names[1]);
  EXPECT_EQ(S.AdapterIndex(), 1);
  EXPECT_EQ(S.AdapterDescription(), Expected.Descriptions[1]);
}

TEST_F(SnoopProperties, UnlistedNameClearsTheSelection) {
  S.SetAdapterIndex(1);
  S.SetAdapterName("no-such-device-zul");
  EXPECT_EQ(S.AdapterIndex(), -1);
  EXPECT_EQ(S.AdapterName(), "");
  EXPECT_EQ(S.AdapterDescription(), "");
}

TEST_F(SnoopProperties, NameMatchIsCaseSensitive) {
  std::string shouted = Expected.Names[1];
  for (char& c : shouted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (shouted == Expected.Names[1]) GTEST_SKIP() << "device name has no letters";
  S.SetAdapterName(shouted);
  EXPECT_EQ(S.AdapterIndex(), -1);
}

TEST_F(SnoopProperties, DescriptionSelectsTheFirstDeviceItDescribes) {
  const std::string& wanted = Expected.Descriptions.back();
  std::size_t first = 0;
  while (Expected.Descriptions[first] != wanted) ++first;
  S.SetAdapterDescription(wanted);
  EXPECT_EQ(S.AdapterIndex(), static_cast<int32_t>(first));
  EXPECT_EQ(S.AdapterName(), Expected.Names[first]);
  S.SetAdapterDescription("no such description");
  EXPECT_EQ(S.AdapterIndex(), -1);
  EXPECT_EQ(S.AdapterName(), "");
}

TEST_F(SnoopProperties, SettersNeverOpenTheCapture) {
  S.SetAdapterIndex(0);
  S.SetAdapterName(Expected.Names[1]);
  EXPECT_FALSE(S.Active());
}

TEST(SnoopOpen, UnlistedAdapterNameLeavesItClosedWithAnError) {
  TSnoop s;
  s.SetAdapterName("no-such-device-zul");
  s.Open();
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(s.LastError(), "Snoop Error: Invalid AdapterName");
}

TEST(SnoopOpen, CloseOnAClosedComponentDoesNothing) {
  TSnoop s;
  s.Close();
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(s.LastError(), "");
  s.Open();  // no adapter selected
  const std::string error = s.LastError();
  s.Close();
  EXPECT_EQ(s.LastError(), error);
}

}  // namespace
}  // namespace zul
