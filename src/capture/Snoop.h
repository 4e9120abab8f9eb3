// The capture component: one live capture on one network device through the capture library,
// read by a thread of its own. The reader either hands what it reads to the owner's thread in
// batches (ThreadSafe), or hands each frame on at once on the reader. No Qt: it runs in the
// capture helper, and in-process in tests and benchmarks.
#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "capture/DeviceListing.h"
#include "platform/UniqueFd.h"

namespace zul {

class TCustomSnoop;
class TSnoop;

// Kernel buffer per capture: enough to ride out a main thread that is busy for a while at
// gigabit line rate instead of losing frames.
inline constexpr int32_t kDefaultBufferSize = 32 * 1024 * 1024;
// Frames per hand-over at most, and the size of the copy buffer: they bound the memory of an open
// capture and the time the owner's thread spends on one batch.
inline constexpr int kMaxBatchFrames = 8192;
inline constexpr std::size_t kBatchBufferBytes = 4 * 1024 * 1024;
// A reader whose reads empty the ring (ThreadSafe: with less than kPaceBatchBytes) waits until
// kHandOverGapMs after its last such read: fewer wake-ups with fuller batches.
inline constexpr int kHandOverGapMs = 20;
inline constexpr std::size_t kPaceBatchBytes = 512 * 1024;
// At a close the capture goes on counting what the kernel ring still holds for at most this
// long, and stops earlier once the ring has stayed empty for kDrainQuietMs past its read time-out.
inline constexpr int kDrainMs = 200;
inline constexpr int kDrainQuietMs = 20;
// How often a busy capture takes the kernel's counts of received and dropped frames.
inline constexpr int kStatsPeriodMs = 1000;
// The reader's error text when a read fails, whatever call read.
inline constexpr const char* kReadErrorText = "Snoop Error: pcap_next_ex return -1";

// Runs on the owner's thread when the component's ThreadSafe is true (the default), otherwise
// on the capture's reader thread. Both pointers are valid only during the call.
using TOnCaptureEvent = std::function<void(TSnoop* Sender, const pcap_pkthdr* PacketHeader,
                                           const uint8_t* EthernetHeader)>;

// The capture library's device listing in this process; `error` is empty on success (the list
// may still be empty).
TDeviceList FindLibraryDevices(std::string& error);

// The reader thread of one open capture: started by Open, asked to stop and joined by Close (or
// by its destructor), so its whole life is here.
class TSnoopThread {
 public:
  explicit TSnoopThread(TCustomSnoop* owner);
  ~TSnoopThread();
  TSnoopThread(const TSnoopThread&) = delete;
  TSnoopThread& operator=(const TSnoopThread&) = delete;

  void Start();
  void RequestStop();
  void Join();
  bool IsCurrent() const { return Worker.get_id() == std::this_thread::get_id(); }

  TCustomSnoop* const Owner;

 private:
  void Execute(std::stop_token stop);
  std::jthread Worker;
};

// Statistics of a capture, as the library counted them.
struct TCaptureStats {
  uint64_t Received = 0;  // frames that reached the capture
  uint64_t Dropped = 0;   // frames the kernel dropped for want of buffer space
  uint64_t Handled = 0;   // frames handed to DoCapture
  uint64_t Batches = 0;   // hand-overs to the owner's thread
};

class TCustomSnoop {
 public:
  // Lists the devices; a listing failure stays in ListError.
  TCustomSnoop();
  virtual ~TCustomSnoop();
  TCustomSnoop(const TCustomSnoop&) = delete;
  TCustomSnoop& operator=(const TCustomSnoop&) = delete;

  bool Active() const { return FActive; }

  // Select a device from the lists; they never open or close the capture.
  int32_t AdapterIndex() const { return FAdapterIndex; }
  void SetAdapterIndex(int32_t v);
  const std::string& AdapterName() const { return FAdapterName; }
  void SetAdapterName(const std::string& s);
  const std::string& AdapterDescription() const { return FAdapterDescription; }
  void SetAdapterDescription(const std::string& s);

  const std::vector<std::string>& AdapterNames() const { return FAdapterNames; }
  const std::vector<std::string>& AdapterDescriptions() const { return FAdapterDescriptions; }
  // The listing's error at creation, empty when the devices could be listed.
  const std::string& ListError() const { return FListError; }

  // Read by Open; a change takes effect at the next Open.
  bool ThreadSafe = true;
  std::string Filter;
  int32_t SnapLen = 1600;
  int32_t Flags = 1;  // 1: promiscuous
  int32_t ReadTimeOut = 100;
  int32_t BufferSize = kDefaultBufferSize;

  const std::string& LastError() const { return FLastError; }
  // The library's own text for the last read error.
  const std::string& LastReason() const { return FLastReason; }
  // The last Open failed because this process may not capture on the device.
  bool PermissionDenied() const { return FPermissionDenied; }
  // The link-layer type of the open capture (DLT_EN10MB for Ethernet), -1 when closed.
  int LinkType() const { return FLinkType; }
  const TCaptureStats& LastStats() const { return FLastStats; }
  // The kernel's counts of the open capture as its reader last took them (at most
  // kStatsPeriodMs old while frames arrive; an idle ring drops nothing). None when closed or
  // before the first count. Any thread.
  std::optional<TCaptureStats> CurrentStats() const;

  // Owner's thread only. The outcome is in Active and LastError.
  void Open();
  // Owner's thread only. Returns once the reader has ended; frames already captured, those read
  // and those still in the kernel's ring (for at most kDrainMs), are handed to DoCapture first.
  void Close();

  // The owner's thread watches this descriptor (readable) while the capture is open, and then
  // calls Serve: a batch waits for it (ThreadSafe), or the reader ended by itself.
  int HandoverDescriptor() const { return Wake.Get(); }
  void Serve();

  // Runs on the owner's thread when the reader ended by itself on a read error, after the
  // capture has become Closed. `reason` is the library's text.
  std::function<void(const std::string& reason)> OnReadError;
  // Runs after each read that delivered frames, on the thread that handled them (the reader when
  // not ThreadSafe), and once more after the last read of a close. `more`: the read was full, so
  // the ring may hold more at once.
  std::function<void(bool more)> OnReadDone;
  // Runs on the reader thread before its first read: what the thread must do for itself, such as
  // giving up privileges, which belong to each thread.
  std::function<void()> OnReaderStart;

 protected:
  // Once per frame, with CurrentHeader and CurrentFrame set for that frame.
  virtual void DoCapture() = 0;

  const pcap_pkthdr* CurrentHeader = nullptr;
  const uint8_t* CurrentFrame = nullptr;

 private:
  friend class TSnoopThread;

  struct THandleDeleter {
    void operator()(pcap_t* p) const { pcap_close(p); }
  };
  using THandle = std::unique_ptr<pcap_t, THandleDeleter>;

  // Reader thread.
  void ReadLoop(std::stop_token stop);
  // One read of at most BatchLimit frames, handed on; the library's result.
  int ReadOnce(pcap_t* handle);
  // Reader thread: hands over what the kernel's ring holds, until `until` at the latest.
  void DrainRing(pcap_t* handle, std::chrono::steady_clock::time_point until);
  void PaceReads();
  void TakeStats(pcap_t* handle, bool now = false);
  void HandOver();
  void PostWake() const;
  static void CollectFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes);
  static void DeliverDirect(u_char* user, const pcap_pkthdr* header, const u_char* bytes);
  // One frame to DoCapture; a failing handler loses its frame, not the rest.
  void Deliver(const pcap_pkthdr* header, const uint8_t* frame);

  // Owner's thread.
  void ServeHandover();
  void ThreadEnded();
  void SelectListed(int32_t i);
  // Selects the first listed device whose entry equals `s`, or none.
  void SelectFirstMatch(const std::vector<std::string>& listed, const std::string& s);
  void Deselect();

  bool FActive = false;
  int32_t FAdapterIndex = -1;
  std::string FAdapterName;
  std::string FAdapterDescription;
  std::vector<std::string> FAdapterNames;
  std::vector<std::string> FAdapterDescriptions;
  std::string FListError;
  std::string FLastError;
  std::string FLastReason;
  bool FPermissionDenied = false;
  int FLinkType = -1;
  TCaptureStats FLastStats;

  // An eventfd: written by the reader, read by the owner's thread in Serve.
  TUniqueFd Wake;
  std::unique_ptr<TSnoopThread> Thread;
  // Set by Open and released by the end of the reader (ThreadEnded) on the owner's thread; the
  // reader uses it only between the two.
  THandle Handle;
  bool ReaderThreadSafe = true;

  // Shared with the reader; guarded by M unless noted.
  std::mutex M;
  std::condition_variable Cv;
  bool Pending = false;     // a batch waits for the owner's thread
  bool ReaderDone = false;  // the reader has left its loop
  std::string ReaderError;
  std::string ReaderReason;    // the library's text for ReaderError
  std::stop_token ReaderStop;  // reader-owned
  // Steady-clock nanoseconds until which a stopping reader drains the ring; 0: it does not.
  // Set before the stop request, which orders it for the reader.
  std::atomic<int64_t> DrainUntil{0};

  // The batch: written by the reader while no batch is pending, read by the owner's thread while
  // one is, so the hand-over itself orders every access. Each frame is one record, its header
  // followed by its captured bytes, padded so that the next header is aligned.
  static constexpr std::size_t RecordSpan(std::size_t captured) {
    constexpr std::size_t a = alignof(pcap_pkthdr);
    return (sizeof(pcap_pkthdr) + captured + a - 1) / a * a;
  }
  std::size_t BatchCount = 0;
  std::unique_ptr<uint8_t[]> BatchBytes;
  std::size_t BatchCapacity = 0;  // a multiple of the record alignment
  std::size_t BatchUsed = 0;
  std::size_t BatchLimit = 1;  // frames per read, so that a full read always fits BatchBytes
  bool BatchOpen = false;      // reader-owned: the current read has taken the buffer over
  uint64_t HandledFrames = 0;  // reader-owned in direct mode, owner-owned otherwise
  uint64_t HandedBatches = 0;  // reader-owned
  std::chrono::steady_clock::time_point LastPacedRead;  // reader-owned
  std::chrono::steady_clock::time_point StatsTaken;     // reader-owned
  // The reader's counts; only the reader calls the library for them, since a count resets the
  // kernel's own.
  std::atomic<bool> StatsValid{false};
  std::atomic<uint64_t> StatsReceived{0};
  std::atomic<uint64_t> StatsDropped{0};

  // Owner's thread only.
  bool InDelivery = false;
  bool BatchAbandoned = false;
  bool Destroying = false;
};

class TSnoop : public TCustomSnoop {
 public:
  using TCustomSnoop::TCustomSnoop;
  // Closes first, so that frames still pending reach OnCapture while this object is whole.
  ~TSnoop() override;
  TSnoop(const TSnoop&) = delete;
  TSnoop& operator=(const TSnoop&) = delete;

  TOnCaptureEvent OnCapture;

 protected:
  void DoCapture() override;
};

}  // namespace zul
