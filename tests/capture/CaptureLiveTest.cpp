// Live capture inside network namespaces made here: a veth pair per device, frames injected at
// layer 2 from the far end. Needs root; skips without it.
#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FrameKit.h"
#include "LivePump.h"
#include "capture/HelperStream.h"
#include "capture/Traffic.h"
#include "capture/Watch.h"
#include "platform/ChildProcess.h"
#include "platform/ErrorReport.h"

namespace zul {
namespace {

using Clock = std::chrono::steady_clock;
using zultest::BuildFrame;
using zultest::Ip;
using zultest::TMac;

constexpr uint16_t kLocalExperimental = 0x88B5;  // no stack in the namespaces reacts to it
const TMac kStranger = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x77};
const TMac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

using zultest::Pump;
using zultest::PumpUntil;

// Run before the test program gives up on a hung call, so that it leaves no namespace behind.
std::function<void()> OnHang;

// Ends the test program with a message when a call that must return promptly hangs instead, so
// that a hang fails here rather than at the test driver's time-out.
class THangGuard {
 public:
  THangGuard(const char* what, int ms) {
    Watcher = std::thread([this, what, ms] {
      std::unique_lock lock(M);
      if (!Cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Done; })) {
        std::fprintf(stderr, "FAILED: %s did not return within %d ms\n", what, ms);
        if (OnHang) OnHang();
        std::_Exit(1);
      }
    });
  }
  ~THangGuard() {
    {
      std::lock_guard lock(M);
      Done = true;
    }
    Cv.notify_all();
    Watcher.join();
  }
  THangGuard(const THangGuard&) = delete;
  THangGuard& operator=(const THangGuard&) = delete;

 private:
  std::mutex M;
  std::condition_variable Cv;
  bool Done = false;
  std::thread Watcher;
};

// A frame of the local experimental type that carries its sequence number after the header.
std::vector<uint8_t> Numbered(const TMac& dst, const TMac& src, uint32_t n, uint32_t length) {
  auto f = BuildFrame({dst, src, kLocalExperimental, 0, 0, length});
  for (int i = 0; i < 4; ++i) f[14 + i] = static_cast<uint8_t>(n >> (24 - 8 * i));
  return f;
}

uint32_t NumberOf(const uint8_t* frame) {
  return static_cast<uint32_t>(frame[14]) << 24 | static_cast<uint32_t>(frame[15]) << 16 |
         static_cast<uint32_t>(frame[16]) << 8 | frame[17];
}

class LiveCapture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!zultest::HaveRoot()) return;
    try {
      Lab = std::make_unique<zultest::TNetnsLab>("zc");
      NsA = Lab->AddSpace("a");
      NsB = Lab->AddSpace("b");
      Lab->AddVeth(NsA, "zca0", NsB, "zcb0", "192.0.2.20/24");
      Lab->AddVeth(NsA, "zca1", NsB, "zcb1", "198.51.100.20/24");
      Mac0 = Lab->MacOf(NsA, "zca0");
      Mac1 = Lab->MacOf(NsA, "zca1");
      Sender0 = std::make_unique<zultest::TRawSender>(NsB, "zcb0");
      Sender1 = std::make_unique<zultest::TRawSender>(NsB, "zcb1");
      OnHang = [] { Lab.reset(); };
    } catch (const std::exception& e) {
      SetupError = e.what();
    }
  }
  static void TearDownTestSuite() {
    OnHang = nullptr;
    Sender0.reset();
    Sender1.reset();
    Lab.reset();
  }

  void SetUp() override {
    if (!zultest::HaveRoot()) GTEST_SKIP() << "live capture needs root and iproute2";
    ASSERT_TRUE(SetupError.empty()) << SetupError;
    In = std::make_unique<zultest::TNetnsGuard>(NsA);
  }
  void TearDown() override {
    ReleaseWatchers();
    In.reset();
  }

  static inline std::unique_ptr<zultest::TNetnsLab> Lab;
  static inline std::unique_ptr<zultest::TRawSender> Sender0;
  static inline std::unique_ptr<zultest::TRawSender> Sender1;
  static inline std::string NsA, NsB, SetupError;
  static inline TMac Mac0{}, Mac1{};
  std::unique_ptr<zultest::TNetnsGuard> In;
};

// ---- the capture component ----

class LiveSnoop : public LiveCapture {
 protected:
  void SetUp() override {
    LiveCapture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    S = std::make_unique<TSnoop>();
    S->SetAdapterName("zca0");
    ASSERT_EQ(S->AdapterName(), "zca0");
    // The component hands its batches to whoever watches its descriptor: here the event loop.
    Notifier = std::make_unique<QSocketNotifier>(S->HandoverDescriptor(), QSocketNotifier::Read);
    QObject::connect(Notifier.get(), &QSocketNotifier::activated, Notifier.get(),
                     [this] { S->Serve(); });
    S->OnCapture = [this](TSnoop* sender, const pcap_pkthdr* h, const uint8_t* f) {
      EXPECT_EQ(sender, S.get());
      if (std::this_thread::get_id() != Main) OffMain.fetch_add(1);
      if (h->caplen >= 18 && f[12] == 0x88 && f[13] == 0xB5) Seen.push_back(NumberOf(f));
      SeenCount.fetch_add(1);
    };
  }
  void TearDown() override {
    Notifier.reset();
    S.reset();
    LiveCapture::TearDown();
  }
  void SendNumbered(int count, uint32_t length = 100) {
    for (int i = 0; i < count; ++i)
      ASSERT_EQ(Sender0->Send(Numbered(Mac0, kStranger, static_cast<uint32_t>(i), length), 1), 1);
  }

  std::unique_ptr<TSnoop> S;
  std::unique_ptr<QSocketNotifier> Notifier;
  std::thread::id Main = std::this_thread::get_id();
  std::vector<uint32_t> Seen;  // touched by the main thread only when ThreadSafe
  std::atomic<int> SeenCount{0};
  std::atomic<int> OffMain{0};
};

TEST_F(LiveSnoop, HandsEveryFrameToTheMainThreadInCaptureOrder) {
  S->Open();
  ASSERT_TRUE(S->Active()) << S->LastError();
  EXPECT_EQ(S->LinkType(), DLT_EN10MB);
  SendNumbered(500);
  EXPECT_TRUE(PumpUntil([&] { return Seen.size() >= 500; }, 5000)) << Seen.size();
  ASSERT_EQ(Seen.size(), 500u);
  for (uint32_t i = 0; i < 500; ++i) ASSERT_EQ(Seen[i], i);
  EXPECT_EQ(OffMain.load(), 0);
  // The reader's own counts, readable while it runs: they come with the first frames.
  EXPECT_TRUE(PumpUntil([&] { return S->CurrentStats().has_value(); }, 2000));
  const auto running = S->CurrentStats();
  ASSERT_TRUE(running.has_value());
  EXPECT_GT(running->Received, 0u);
  EXPECT_EQ(running->Dropped, 0u);
  S->Close();
  EXPECT_FALSE(S->Active());
  EXPECT_EQ(S->LastStats().Handled, 500u);
  EXPECT_EQ(S->LastStats().Dropped, 0u);
}

// The pid of this process's running capture helper, 0 when there is none.
pid_t HelperChild() {
  std::FILE* f =
      std::fopen(("/proc/self/task/" + std::to_string(gettid()) + "/children").c_str(), "r");
  // Children are listed per thread that made them; the capture starts its helper on this one.
  pid_t found = 0;
  long pid = 0;
  while (f != nullptr && std::fscanf(f, "%ld", &pid) == 1) {
    char comm[64] = {};
    std::FILE* c = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r");
    if (c != nullptr && std::fgets(comm, sizeof(comm), c) != nullptr &&
        std::string(comm) == "zul-capture\n")
      found = static_cast<pid_t>(pid);
    if (c != nullptr) std::fclose(c);
  }
  if (f != nullptr) std::fclose(f);
  return found;
}

// The address table of zca0 as the watchers read it.
TAddressTable TableOfA0(const TMac& mac) {
  TAddressTable t;
  t.MAC = mac;
  t.MACFound = true;
  AddAddress(t, Ip("192.0.2.20"), Ip("255.255.255.0"));
  return t;
}

TEST_F(LiveCapture, AHelperThatDiesEndsTheCaptureAsAReadErrorDoes) {
  TCounterBlock counters{};
  TRemoteSnoop s(counters);
  s.SetAdapterName("zca0");
  s.SetTable(TableOfA0(Mac0));
  std::string reason;
  s.OnReadError = [&](const std::string& r) { reason = r; };
  s.Open();
  ASSERT_TRUE(s.Active()) << s.LastError();
  ASSERT_EQ(Sender0->Send(BuildFrame({Mac0, kStranger, kLocalExperimental, 0, 0, 100}), 20), 20);
  EXPECT_TRUE(PumpUntil([&] { return counters[ciLanDown] == 2000; }, 5000));
  const pid_t helper = HelperChild();
  ASSERT_GT(helper, 0);
  ASSERT_EQ(kill(helper, SIGKILL), 0);
  EXPECT_TRUE(PumpUntil([&] { return !s.Active(); }, 3000));
  EXPECT_EQ(s.LastError(), "Snoop Error: pcap_next_ex return -1");
  EXPECT_EQ(reason, "the capture helper ended (killed by signal 9)");
  EXPECT_EQ(counters[ciLanDown], 2000u);
  // Nothing is left of it, and the capture opens again.
  EXPECT_EQ(HelperChild(), 0);
  s.Open();
  EXPECT_TRUE(s.Active()) << s.LastError();
}

TEST_F(LiveCapture, HelperCountsEqualTheClassificationInThisProcess) {
  // The same frames through the helper and through a capture in this process, at once.
  TCounterBlock viaHelper{}, here{};
  TRemoteSnoop remote(viaHelper);
  remote.SetAdapterName("zca0");
  remote.SetTable(TableOfA0(Mac0));
  TWatch w(here);
  static_cast<TAddressTable&>(w) = TableOfA0(Mac0);
  TSnoop local;
  local.SetAdapterName("zca0");
  local.ThreadSafe = false;
  local.SnapLen = kWatchSnapLen;
  std::mutex m;
  local.OnCapture = [&](TSnoop* sender, const pcap_pkthdr* h, const uint8_t* f) {
    std::lock_guard lock(m);
    w.HandlePacket(sender, h, f);
  };
  remote.Open();
  local.Open();
  ASSERT_TRUE(remote.Active() && local.Active()) << remote.LastError() << local.LastError();
  const auto home = Ip("192.0.2.20"), other = Ip("192.0.2.7"), far = Ip("203.0.113.9");
  const std::vector<std::pair<zultest::TFrameDesc, int>> mix = {
      {{Mac0, kStranger, 0x0800, far, home, 1000}, 30},
      {{kStranger, Mac0, 0x0800, home, far, 700}, 20},
      {{kStranger, kStranger, 0x0800, far, other, 400}, 5},
      {{kStranger, Mac0, 0x0800, home, other, 300}, 10},
      {{Mac0, kStranger, kLocalExperimental, 0, 0, 100}, 40},
      {{kBroadcast, kStranger, kLocalExperimental, 0, 0, 60}, 8},
  };
  for (const auto& [frame, count] : mix) ASSERT_EQ(Sender0->Send(BuildFrame(frame), count), count);
  auto same = [&] {
    std::lock_guard lock(m);
    return viaHelper == here && here[ciLanDown] == 40 * 100 + 8 * 60;
  };
  EXPECT_TRUE(PumpUntil(same, 5000));
  remote.Close();
  local.Close();
  EXPECT_EQ(viaHelper, here);
  EXPECT_EQ(viaHelper[ciAllPcsDown], 30u * 1000 + 5 * 400);
}

// Starts the helper on `device` with a table, as the program does.
std::unique_ptr<TChildProcess> StartHelper(const std::string& path, const std::string& device,
                                           const TAddressTable& table) {
  auto helper =
      std::make_unique<TChildProcess>(path, std::vector<std::string>{"--capture", device});
  TStreamWriter w;
  w.Hello(kStreamControl);
  w.Table(table);
  helper->WriteInput(w.Data(), w.Size());
  return helper;
}

// What a helper sent, read to its end or for at most a time: the sums of its counts and the
// kinds of its records.
struct THelperOutput {
  bool Ended = false;
  bool Opened = false;
  std::string Error;
  TCountDeltas Sums{};
  std::vector<TRecordKind> Kinds;
};
THelperOutput ReadHelper(int fd, int ms) {
  THelperOutput out;
  TStreamParser parser(kStreamCapture);
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!out.Ended && Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const std::span<uint8_t> room = parser.Room(1 << 16);
    const ssize_t n = read(fd, room.data(), room.size());
    if (n <= 0) {
      out.Ended = true;
      break;
    }
    parser.Commit(static_cast<std::size_t>(n));
    while (parser.Next() == TStreamParser::TStep::Record) {
      out.Kinds.push_back(parser.RecordKind());
      if (parser.RecordKind() != TRecordKind::Counts) continue;
      for (std::size_t i = 0; i < out.Sums.size(); ++i) out.Sums[i] += parser.Deltas()[i];
    }
  }
  out.Opened = parser.Opened();
  out.Error = parser.Error;
  return out;
}

TEST_F(LiveCapture, TheHelperStopsWithinASecondOnceItsInputClosesOrOnSigterm) {
  struct TRow {
    const char* What;
    bool Traffic;
    bool Sigterm;
  };
  for (const TRow& row :
       {TRow{"idle, input closed", false, false}, TRow{"flooded, input closed", true, false},
        TRow{"flooded, SIGTERM", true, true}}) {
    SCOPED_TRACE(row.What);
    auto helper = StartHelper(CaptureHelperPath(), "zca0", TableOfA0(Mac0));
    std::atomic<bool> flood{row.Traffic};
    std::thread sender([&] {
      // Bounded: at most 200,000 frames or 3 s.
      const auto f = BuildFrame({Mac0, kStranger, kLocalExperimental, 0, 0, 60});
      const auto end = Clock::now() + std::chrono::seconds(3);
      for (int i = 0; i < 2000 && flood && Clock::now() < end; ++i) Sender0->Send(f, 100);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto asked = Clock::now();
    if (row.Sigterm)
      helper->Signal(SIGTERM);
    else
      helper->CloseInput();
    const THelperOutput out = ReadHelper(helper->Output(), 3000);
    const auto took = Clock::now() - asked;
    flood = false;
    sender.join();
    EXPECT_TRUE(out.Ended);
    EXPECT_LT(took, std::chrono::seconds(2));  // a hang guard: it drains for at most 200 ms
    EXPECT_TRUE(out.Error.empty()) << out.Error;
    EXPECT_TRUE(out.Opened);
    if (row.Traffic) {
      EXPECT_GT(out.Sums[1], 0u);  // LanDown
    }
    const TExitStatus status = helper->Wait(std::chrono::seconds(1));
    EXPECT_TRUE(status.Exited && status.Code == kHelperStopped) << status.Text();
  }
}

TEST_F(LiveSnoop, OpeningAnOpenCaptureReportsItAndKeepsItRunning) {
  S->Open();
  ASSERT_TRUE(S->Active()) << S->LastError();
  S->Open();
  EXPECT_EQ(S->LastError(), "Snoop Error: Already open");
  EXPECT_TRUE(S->Active());
  SendNumbered(20);
  EXPECT_TRUE(PumpUntil([&] { return Seen.size() >= 20; }, 5000)) << Seen.size();
}

TEST_F(LiveSnoop, IdleCaptureRaisesNoEventAndClosesPromptly) {
  S->Open();
  ASSERT_TRUE(S->Active()) << S->LastError();
  Pump(350);  // several read time-outs without traffic
  EXPECT_EQ(SeenCount.load(), 0);
  const auto start = Clock::now();
  {
    THangGuard guard("Close on an idle capture", 3000);
    S->Close();
  }
  const auto took = Clock::now() - start;
  EXPECT_FALSE(S->Active());
  EXPECT_LT(took, std::chrono::seconds(2));  // a hang guard; an idle ring drains at once
}

TEST_F(LiveSnoop, CloseUnderAFloodReturnsPromptlyAndDeliversWhatWasRead) {
  S->Open();
  ASSERT_TRUE(S->Active()) << S->LastError();
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    const auto f = Numbered(Mac0, kStranger, 0, 1514);
    for (int i = 0; i < 2000000 && !stop.load(); ++i) Sender0->Send(f, 1);
  });
  // Let the reader fill a batch that nobody serves: the main thread is not looking.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = Clock::now();
  {
    THangGuard guard("Close under a flood", 3000);
    S->Close();
  }
  const auto took = Clock::now() - start;
  stop.store(true);
  flood.join();
  EXPECT_FALSE(S->Active());
  EXPECT_LT(took, std::chrono::seconds(3));  // a hang guard; the drain stops at 200 ms
  EXPECT_GT(SeenCount.load(), 0);
  EXPECT_EQ(S->LastStats().Handled, static_cast<uint64_t>(SeenCount.load()));
  EXPECT_EQ(OffMain.load(), 0);
}

TEST_F(LiveSnoop, WithoutThreadSafeFramesArriveOnTheReaderThread) {
  S->ThreadSafe = false;
  S->OnCapture = [this](TSnoop*, const pcap_pkthdr*, const uint8_t*) {
    if (std::this_thread::get_id() != Main) OffMain.fetch_add(1);
    SeenCount.fetch_add(1);
  };
  S->Open();
  ASSERT_TRUE(S->Active()) << S->LastError();
  SendNumbered(50);
  const auto end = Clock::now() + std::chrono::seconds(5);
  while (SeenCount.load() < 50 && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  S->Close();
  EXPECT_EQ(SeenCount.load(), 50);
  EXPECT_EQ(OffMain.load(), 50);
}

TEST_F(LiveSnoop, FilterPassesOnlyTheFramesItMatches) {
  S->Filter = "ether proto 0x88b5";
  S->Open();
  ASSERT_TRUE(S->Active()) << S->LastError();
  ASSERT_EQ(Sender0->Send(BuildFrame({Mac0, kStranger, 0x0806, 0, 0, 60}), 10), 10);
  SendNumbered(10);
  EXPECT_TRUE(PumpUntil([&] { return SeenCount.load() >= 10; }, 5000));
  Pump(250);
  EXPECT_EQ(SeenCount.load(), 10);
  EXPECT_EQ(Seen.size(), 10u);
}

TEST_F(LiveSnoop, FilterThatDoesNotCompileLeavesItClosedWithTheLibrarysText) {
  S->Filter = "this is ( not a filter";
  S->Open();
  EXPECT_FALSE(S->Active());
  EXPECT_FALSE(S->LastError().empty());
  S->Close();
}

TEST_F(LiveSnoop, ClosedCaptureReopensWithANewReader) {
  S->Open();
  ASSERT_TRUE(S->Active());
  S->Close();
  SendNumbered(5);  // sent while closed: never seen
  Pump(50);
  S->Open();
  ASSERT_TRUE(S->Active()) << S->LastError();
  SendNumbered(7);
  EXPECT_TRUE(PumpUntil([&] { return Seen.size() >= 7; }, 5000));
  Pump(250);
  EXPECT_EQ(Seen.size(), 7u);
}

TEST_F(LiveSnoop, HandlerThatClosesItsCaptureStopsTheBatch) {
  S->OnCapture = [this](TSnoop* sender, const pcap_pkthdr*, const uint8_t*) {
    SeenCount.fetch_add(1);
    sender->Close();
  };
  S->Open();
  ASSERT_TRUE(S->Active());
  SendNumbered(50);
  EXPECT_TRUE(PumpUntil([&] { return !S->Active(); }, 5000));
  Pump(100);
  EXPECT_EQ(SeenCount.load(), 1);
}

// ---- the watchers ----

class LiveWatchers : public LiveCapture {
 protected:
  void SetUp() override {
    LiveCapture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Traffic.Counters = {};
  }
  int IndexOf(const std::string& name) const {
    for (int k = 0; k < WatcherCount; ++k)
      if (Watchers[k]->Snoop->AdapterName() == name) return k;
    return -1;
  }
};

TEST_F(LiveWatchers, WatchEveryAddressedDeviceButLoopbackWithItsOwnAddresses) {
  InitCapture();
  ASSERT_EQ(WatcherCount, 2);
  ASSERT_EQ(AdapterList.size(), 2u);
  for (int k = 0; k < WatcherCount; ++k) {
    EXPECT_EQ(AdapterList[k], Watchers[k]->Snoop->AdapterName());
    EXPECT_TRUE(Watchers[k]->Snoop->Active()) << Watchers[k]->Snoop->LastError();
    EXPECT_TRUE(Watchers[k]->MACFound);
  }
  const int a0 = IndexOf("zca0");
  const int a1 = IndexOf("zca1");
  ASSERT_GE(a0, 0);
  ASSERT_GE(a1, 0);
  EXPECT_EQ(Watchers[a0]->MAC, Mac0);
  EXPECT_EQ(Watchers[a1]->MAC, Mac1);
  ASSERT_EQ(Watchers[a0]->AddressCount, 1);
  EXPECT_EQ(Watchers[a0]->Addresses[0].IPText, "192.0.2.20");
  EXPECT_EQ(Watchers[a0]->Addresses[0].MaskText, "255.255.255.0");
  EXPECT_EQ(Watchers[a1]->Addresses[0].IPText, "198.51.100.20");
}

TEST_F(LiveWatchers, CountInjectedFramesExactlyIntoTheRightCounters) {
  InitCapture();
  ASSERT_GE(IndexOf("zca0"), 0);
  const auto home = Ip("192.0.2.20");
  const auto neighbour = Ip("192.0.2.7");
  const auto remote = Ip("203.0.113.9");
  // Expected sums, worked out by hand from the frames below.
  struct TBatch {
    zultest::TFrameDesc Frame;
    int Count;
  };
  const std::vector<TBatch> batches = {
      {{Mac0, kStranger, 0x0800, remote, home, 1000}, 30},          // Internet download
      {{kStranger, Mac0, 0x0800, home, remote, 700}, 20},           // Internet upload
      {{kStranger, kStranger, 0x0800, remote, neighbour, 400}, 5},  // another PC's download
      {{kStranger, Mac0, 0x0800, home, neighbour, 300}, 10},        // LAN upload
      {{Mac0, kStranger, kLocalExperimental, 0, 0, 100}, 40},       // LAN download
      {{kBroadcast, kStranger, kLocalExperimental, 0, 0, 60}, 8},   // broadcast
  };
  for (const TBatch& b : batches) ASSERT_EQ(Sender0->Send(BuildFrame(b.Frame), b.Count), b.Count);
  TCounterBlock expected{};
  expected[ciWanDown] = 30 * 1000;
  expected[ciAllPcsDown] = 30 * 1000 + 5 * 400;
  expected[ciWanUp] = 20 * 700;
  expected[ciAllPcsUp] = 20 * 700;
  expected[ciLanUp] = 10 * 300;
  expected[ciLanDown] = 40 * 100 + 8 * 60;
  EXPECT_TRUE(PumpUntil([&] { return Traffic.Counters == expected; }, 5000));
  Pump(300);  // nothing more arrives
  EXPECT_EQ(Traffic.Counters, expected);
  StopAllWatchers();
  for (int k = 0; k < WatcherCount; ++k) EXPECT_FALSE(Watchers[k]->Snoop->Active());
}

TEST_F(LiveWatchers, MonitorOneAdapterStopsTheOthersAndStartAllResumesThem) {
  InitCapture();
  const int a0 = IndexOf("zca0");
  const int a1 = IndexOf("zca1");
  ASSERT_GE(a0, 0);
  ASSERT_GE(a1, 0);
  MonitorOneAdapter(a1);
  EXPECT_FALSE(Watchers[a0]->Snoop->Active());
  EXPECT_TRUE(Watchers[a1]->Snoop->Active());
  const auto lan0 = BuildFrame({Mac0, kStranger, kLocalExperimental, 0, 0, 100});
  const auto lan1 = BuildFrame({Mac1, kStranger, kLocalExperimental, 0, 0, 200});
  ASSERT_EQ(Sender0->Send(lan0, 3), 3);
  ASSERT_EQ(Sender1->Send(lan1, 3), 3);
  EXPECT_TRUE(PumpUntil([&] { return Traffic.Counters[ciLanDown] >= 600; }, 5000));
  Pump(300);
  EXPECT_EQ(Traffic.Counters[ciLanDown], 600u);  // only the monitored adapter counted

  MonitorOneAdapter(WatcherCount + 3);  // past the table: nothing changes
  EXPECT_FALSE(Watchers[a0]->Snoop->Active());
  EXPECT_TRUE(Watchers[a1]->Snoop->Active());

  StartAllWatchers();
  EXPECT_TRUE(Watchers[a0]->Snoop->Active());
  ASSERT_EQ(Sender0->Send(lan0, 2), 2);
  EXPECT_TRUE(PumpUntil([&] { return Traffic.Counters[ciLanDown] >= 800; }, 5000));

  MonitorOneAdapter(-1);
  EXPECT_FALSE(Watchers[a0]->Snoop->Active());
  EXPECT_FALSE(Watchers[a1]->Snoop->Active());
}

TEST_F(LiveWatchers, ExitWithEveryInterfaceIdleTakesWellUnderASecond) {
  InitCapture();
  ASSERT_EQ(WatcherCount, 2);
  Pump(300);
  const auto start = Clock::now();
  {
    THangGuard guard("StopAllWatchers on idle devices", 3000);
    StopAllWatchers();
  }
  // A hang guard: the helpers drain together, not one after the other.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

// A copy of this build's capture helper in a folder any user may enter, with the capture
// capabilities or without; removed with its owner.
class THelperCopy {
 public:
  explicit THelperCopy(bool capabilities) {
    char dir[] = "/tmp/zul-helper-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    Dir = dir;
    Path = Dir + "/zul-capture";
    const std::string cmd =
        "chmod 755 " + Dir + " && cp " + std::getenv("ZUL_CAPTURE_HELPER") + " " + Path +
        (capabilities ? " && setcap cap_net_raw,cap_net_admin+eip " + Path : "");
    Ok = std::system(cmd.c_str()) == 0;
  }
  ~THelperCopy() {
    if (!Dir.empty()) std::system(("rm -rf " + Dir).c_str());
  }
  THelperCopy(const THelperCopy&) = delete;
  THelperCopy& operator=(const THelperCopy&) = delete;
  bool Ok = false;
  std::string Dir, Path;
};

// The effective capabilities of this process, as the kernel reports them.
std::string EffectiveCapabilities() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return "?";
  char line[256];
  std::string caps = "?";
  while (std::fgets(line, sizeof(line), f) != nullptr)
    if (std::strncmp(line, "CapEff:", 7) == 0) caps = std::string(line + 7);
  std::fclose(f);
  caps.erase(0, caps.find_first_not_of(" \t"));
  caps.erase(caps.find_last_not_of(" \n") + 1);
  return caps;
}

TEST_F(LiveWatchers, AnUnprivilegedProgramCapturesThroughTheHelperAlone) {
  // The child gives up root before it opens the watchers twice. It is forked from here, so it
  // runs in this test's namespace and makes no lab of its own, and sends with the raw socket
  // this test opened as root.
  struct TRow {
    const char* What;
    bool HelperHasCapabilities;
  };
  for (const TRow& row : {TRow{"helper without capabilities", false},
                          TRow{"capabilities on the helper only", true}}) {
    SCOPED_TRACE(row.What);
    THelperCopy helper(row.HelperHasCapabilities);
    ASSERT_TRUE(helper.Ok) << "cannot copy the helper (setcap from libcap2-bin needed)";
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
          int reports = 0;
          bool namesFix = false;
          SetErrorSink([&](const std::string& text) {
            ++reports;
            namesFix = text.find("cap_net_raw,cap_net_admin") != std::string::npos &&
                       text.find(helper.Path) != std::string::npos;
          });
          setenv("ZUL_CAPTURE_HELPER", helper.Path.c_str(), 1);
          if (setgid(65534) != 0 || setuid(65534) != 0) std::_Exit(2);
          if (EffectiveCapabilities() != "0000000000000000") std::_Exit(3);
          InitCapture();
          StopAllWatchers();
          StartAllWatchers();
          int active = 0;
          for (int k = 0; k < WatcherCount; ++k) active += Watchers[k]->Snoop->Active() ? 1 : 0;
          if (WatcherCount != 2) std::_Exit(4);
          if (!row.HelperHasCapabilities)
            std::_Exit(active == 0 && reports == 1 && namesFix ? 0 : 5);
          if (active != 2 || reports != 0) std::_Exit(6);
          const auto lan = BuildFrame({Mac0, kStranger, kLocalExperimental, 0, 0, 100});
          if (Sender0->Send(lan, 7) != 7) std::_Exit(7);
          const bool counted = PumpUntil([] { return Traffic.Counters[ciLanDown] >= 700; }, 5000);
          Pump(200);
          StopAllWatchers();
          std::_Exit(counted && Traffic.Counters[ciLanDown] == 700 ? 0 : 8);
        },
        ::testing::ExitedWithCode(0), "");
  }
}

}  // namespace
}  // namespace zul

namespace zul {
namespace {

// Runs `path` with `args` as the user nobody, its input `input`, for at most `ms`; its exit and
// what it wrote. `during` runs while it is up, with its pid.
struct TNobodyRun {
  TExitStatus Status;
  THelperOutput Output;
};
TNobodyRun RunAsNobody(const std::string& path, const std::vector<std::string>& args,
                       const std::vector<uint8_t>& input,
                       const std::function<void(pid_t)>& during) {
  int in[2], out[2];
  TNobodyRun r;
  if (pipe(in) != 0 || pipe(out) != 0) return r;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[1]);
    close(out[0]);
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(120);
    execv(path.c_str(), argv.data());
    _exit(121);
  }
  close(in[0]);
  close(out[1]);
  if (!input.empty() && write(in[1], input.data(), input.size()) < 0) r.Output.Error = "write";
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  if (during) during(pid);
  close(in[1]);
  r.Output = ReadHelper(out[0], 3000);
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.Status.Exited = WIFEXITED(status);
  r.Status.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitized = true;
#else
constexpr bool kThreadSanitized = false;
#endif

// The effective capabilities of every thread of `pid`.
std::vector<std::string> ThreadCapabilities(pid_t pid) {
  std::vector<std::string> caps;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  while (d != nullptr) {
    const dirent* e = readdir(d);
    if (e == nullptr) break;
    if (e->d_name[0] == '.') continue;
    std::FILE* f = std::fopen((dir + "/" + e->d_name + "/status").c_str(), "r");
    char line[256];
    while (f != nullptr && std::fgets(line, sizeof(line), f) != nullptr)
      if (std::strncmp(line, "CapEff:", 7) == 0) caps.emplace_back(line + 8);
    if (f != nullptr) std::fclose(f);
  }
  if (d != nullptr) closedir(d);
  return caps;
}

TEST_F(LiveWatchers, AnotherUserGetsCountsOnlyAndNoArgumentBeyondTheProgramsOwn) {
  THelperCopy helper(true);
  ASSERT_TRUE(helper.Ok) << "cannot copy the helper (setcap from libcap2-bin needed)";
  // A sniffer's wishes: payloads, any device, netfilter queues, more kernel memory, filters.
  const std::vector<std::vector<std::string>> refused = {
      {},
      {"--capture"},
      {"--capture", "any"},
      {"--capture", "lo"},
      {"--capture", "nflog"},
      {"--capture", "nfqueue"},
      {"--capture", "dbus-system"},
      {"--capture", "usbmon0"},
      {"--capture", "../zca0"},
      {"--capture", "zca0", "--snaplen", "262144"},
      {"--capture", "zca0", "--filter", "tcp port 80"},
      {"--capture", "zca0", "--buffer", "1073741824"},
      {"--capture", "zca0", "--promisc", "0"},
      {"--list", "--capture", "zca0"},
  };
  for (const auto& args : refused) {
    std::string line;
    for (const std::string& a : args) line += a + " ";
    SCOPED_TRACE(line);
    const TNobodyRun run = RunAsNobody(helper.Path, args, {}, nullptr);
    EXPECT_TRUE(run.Status.Exited && run.Status.Code == kHelperUsage) << run.Status.Code;
    EXPECT_TRUE(run.Output.Kinds.empty());
  }

  // The program's own request: counts only, and no thread keeps a capability once it runs.
  TStreamWriter control;
  control.Hello(kStreamControl);
  control.Table(TableOfA0(Mac0));
  const std::vector<uint8_t> table(control.Data(), control.Data() + control.Size());
  std::vector<std::string> caps;
  const TNobodyRun run = RunAsNobody(helper.Path, {"--capture", "zca0"}, table, [&](pid_t pid) {
    caps = ThreadCapabilities(pid);
    const auto f = BuildFrame({Mac0, kStranger, 0x0800, Ip("203.0.113.9"), Ip("192.0.2.20"), 900});
    Sender0->Send(f, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  });
  EXPECT_TRUE(run.Status.Exited && run.Status.Code == kHelperStopped) << run.Status.Code;
  ASSERT_TRUE(run.Output.Error.empty()) << run.Output.Error;
  ASSERT_TRUE(run.Output.Opened);
  EXPECT_EQ(run.Output.Sums[3], 9000u);  // WanDown
  for (const TRecordKind k : run.Output.Kinds)
    EXPECT_TRUE(k == TRecordKind::Hello || k == TRecordKind::Opened || k == TRecordKind::Counts ||
                k == TRecordKind::Stats)
        << static_cast<int>(k);
  ASSERT_FALSE(caps.empty());
  // The thread sanitizer's run-time starts a thread of its own before the program's main, which
  // keeps what the process started with; the program's own threads are checked everywhere else.
  if (!kThreadSanitized) {
    for (const std::string& c : caps) EXPECT_EQ(c, "0000000000000000\n");
  }

  // A program that sends what is not a table stops the helper, which counts nothing of it.
  const std::vector<uint8_t> garbage = {11, 200, 0, 0, 1, 2, 3};
  const TNobodyRun bad = RunAsNobody(helper.Path, {"--capture", "zca0"}, garbage, nullptr);
  EXPECT_TRUE(bad.Status.Exited && bad.Status.Code == kHelperBadControl) << bad.Status.Code;
}

}  // namespace
}  // namespace zul
