// The capture component: one live capture on one network device, read by a thread of its own
// that hands what it reads to the main thread in batches.
#pragma once

#include <pcap/pcap.h>

#include <QObject>
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

#include "capture/HelperStream.h"
#include "platform/ChildProcess.h"
#include "platform/SharedMemory.h"
#include "platform/ThreadWake.h"

namespace zul {

class TCustomSnoop;
class TSnoop;

// Report keys of the capture's user-facing errors.
inline constexpr const char* kSnoopListKey = "capture.list";
inline constexpr const char* kSnoopThreadKey = "capture.thread";

// Kernel buffer per capture: enough to ride out a main thread that is busy for a while at
// gigabit line rate instead of losing frames.
inline constexpr int32_t kDefaultBufferSize = 32 * 1024 * 1024;
// Frames per hand-over at most, and the size of the copy buffer: they bound the memory of an open
// capture and the time the main thread spends on one batch.
inline constexpr int kMaxBatchFrames = 8192;
inline constexpr std::size_t kBatchBufferBytes = 4 * 1024 * 1024;
// How long Open waits for the capture helper to say the capture is open.
inline constexpr int kHelperStartMs = 5000;
// How long a stopping helper may take past its drain before it is killed.
inline constexpr int kHelperGraceMs = 1000;

// Runs on the main thread when the component's ThreadSafe is true (the default), otherwise on the
// capture's reader thread. Both pointers are valid only during the call.
using TOnCaptureEvent = std::function<void(TSnoop* Sender, const pcap_pkthdr* PacketHeader,
                                           const uint8_t* EthernetHeader)>;

// One device of the capture library's listing.
struct TDeviceEntry {
  std::string Name;
  std::string Description;  // the name when the library gives none
};

// The capture helper's device listing; `error` is empty on success (the list may still be
// empty). The helper lists what the capture library lists, in its order.
TDeviceList FindAllDevices(std::string& error);
// The same listing taken by this process from the library itself.
TDeviceList FindLibraryDevices(std::string& error);

// Lists the capture devices in the library's order. Returns false with the reason.
bool ListCaptureDevices(std::vector<TDeviceEntry>& devices, std::string& error);

// The reader thread of one open capture: started by Open, asked to stop and joined by Close (or
// by its destructor), so its whole life is here.
class TSnoopThread {
 public:
  explicit TSnoopThread(TCustomSnoop* owner);
  ~TSnoopThread();
  TSnoopThread(const TSnoopThread&) = delete;
  TSnoopThread& operator=(const TSnoopThread&) = delete;

  void Start();
  // The reader leaves its loop at its next check; the capture wakes it from a read.
  void RequestStop();
  void Join();
  bool IsCurrent() const { return Worker.get_id() == std::this_thread::get_id(); }

  TCustomSnoop* const Owner;

 private:
  void Execute(std::stop_token stop);
  std::jthread Worker;
};

// Statistics of the last capture that was closed, as the library counted them.
struct TCaptureStats {
  uint64_t Received = 0;  // frames that reached the capture
  uint64_t Dropped = 0;   // frames the kernel dropped for want of buffer space
  uint64_t Handled = 0;   // frames handed to DoCapture
  uint64_t Batches = 0;   // hand-overs to the main thread
};

class TCustomSnoop : public QObject {
 public:
  // Lists the devices (a listing failure is reported to the user once).
  explicit TCustomSnoop(QObject* owner = nullptr);
  ~TCustomSnoop() override;
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

  // Read by Open; a change takes effect at the next Open.
  bool ThreadSafe = true;
  // Where the frames come from: the capture helper, which alone holds the capture rights, or
  // the capture library in this process (for a process that may capture itself).
  enum class TSource { Helper, Library };
  TSource Source = TSource::Helper;
  std::string Filter;
  int32_t SnapLen = 1600;
  int32_t Flags = 1;  // 1: promiscuous
  int32_t ReadTimeOut = 100;
  int32_t BufferSize = kDefaultBufferSize;

  const std::string& LastError() const { return FLastError; }
  // The last Open failed because this process may not capture on the device.
  bool PermissionDenied() const { return FPermissionDenied; }
  // The link-layer type of the open capture (DLT_EN10MB for Ethernet), -1 when closed.
  int LinkType() const { return FLinkType; }
  const TCaptureStats& LastStats() const { return FLastStats; }
  // Main thread: the kernel's counts of the open capture as its reader last took them (at most
  // kStatsPeriodMs old while frames arrive; an idle ring drops nothing). None when closed or
  // before the first count.
  std::optional<TCaptureStats> CurrentStats() const;

  // Main thread only. The outcome is in Active and LastError.
  void Open();
  // Main thread only. Returns once the reader has ended; frames already captured, those read and
  // those still in the kernel's ring (for at most kDrainMs), are handed to DoCapture first.
  void Close();
  // Main thread only: the first half of Close, so that several captures drain at the same time.
  // The reader counts what the ring holds until `drainUntil`, then ends; Close finishes.
  void BeginClose(std::chrono::steady_clock::time_point drainUntil);
  // Main thread only: serves a hand-over that waits, during a close begun with BeginClose.
  // Returns whether the reader has ended.
  bool ServeClosing();

  // Runs on the main thread when the reader ended by itself on a read error, after the capture
  // has become Closed. `reason` is the library's text.
  std::function<void(const std::string& reason)> OnReadError;

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
  // The reader's loop for each source; they set `error` and `reason` when the capture failed.
  void ReadLibrary(std::string& error, std::string& reason);
  void ReadHelper(std::string& error);
  // Takes the whole records the helper sent: ring positions and counts. False on a malformed
  // one.
  bool TakeRecords();
  // Hands the ring's frames from the released to the announced position to DoCapture: on the
  // main thread through a hand-over, or at once on the reader when not ThreadSafe.
  void HandOverRange();
  // The thread that handles frames: hands the range's frames to DoCapture. False when the ring
  // holds a damaged record.
  bool DeliverRange();
  // One frame to DoCapture, on the thread that handles frames.
  void Deliver(const pcap_pkthdr* header, const uint8_t* frame);
  bool OpenLibrary(const pcap_if_t& dev);
  bool OpenHelper(const pcap_if_t& dev);
  // Wakes a reader that waits for frames, so that it sees the stop.
  void WakeReader(bool drain);
  void HandOver();
  static void CollectFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes);
  static void DeliverDirect(u_char* user, const pcap_pkthdr* header, const u_char* bytes);

  // Main thread.
  void ServeHandover();
  // Serves what the reader posted: a batch, or its end.
  void Woken();
  void ThreadEnded();
  // Lets go of what the capture read from, library handle or helper, and leaves it Closed.
  void ReleaseSource();
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
  std::string FLastError;
  bool FPermissionDenied = false;
  int FLinkType = -1;
  TCaptureStats FLastStats;

  std::unique_ptr<TThreadWake> Wake;
  std::unique_ptr<TSnoopThread> Thread;
  // Set by Open and released by the end of the reader (ThreadEnded) on the main thread; the
  // reader uses it only between the two.
  THandle Handle;
  // The same for a capture through the helper: the helper and the reader's stream parser.
  std::unique_ptr<TChildProcess> Helper;
  std::unique_ptr<TStreamParser> Parser;
  std::unique_ptr<TSharedMemory> RingMemory;
  std::unique_ptr<TRingReader> Ring;
  // Set by the thread that handled a hand-over from the ring when a frame in it was damaged;
  // the reader reads it once the hand-over is done.
  bool RingFailed = false;
  bool ReaderThreadSafe = true;

  // Shared with the reader; guarded by M unless noted.
  std::mutex M;
  std::condition_variable Cv;
  bool Pending = false;     // a batch waits for the main thread
  bool ReaderDone = false;  // the reader has left its loop
  std::string ReaderError;
  std::string ReaderReason;    // the library's text for ReaderError
  std::stop_token ReaderStop;  // reader-owned
  // Steady-clock nanoseconds until which a stopping reader drains the ring; 0: it does not.
  // Set before the stop request, which orders it for the reader.
  std::atomic<int64_t> DrainUntil{0};

  // The batch: written by the reader while no batch is pending, read by the main thread while
  // one is, so the hand-over itself orders every access. Each frame is one record, its header
  // followed by its captured bytes, padded so that the next header is aligned: the main thread
  // reads the batch as one sequential stream.
  static constexpr std::size_t RecordSpan(std::size_t captured) {
    constexpr std::size_t a = alignof(pcap_pkthdr);
    return (sizeof(pcap_pkthdr) + captured + a - 1) / a * a;
  }
  std::size_t BatchCount = 0;
  // Allocated when an Open needs more and never initialised: only the bytes copied in are touched.
  std::unique_ptr<uint8_t[]> BatchBytes;
  std::size_t BatchCapacity = 0;  // a multiple of the record alignment
  std::size_t BatchUsed = 0;
  std::size_t BatchLimit = 1;  // frames per read, so that a full read always fits BatchBytes
  bool BatchOpen = false;      // reader-owned: the current read has taken the buffer over
  uint64_t HandledFrames = 0;  // reader-owned in direct mode, main-owned otherwise
  uint64_t HandedBatches = 0;  // reader-owned
  // Reader thread: hands over what the kernel's ring holds, until `until` at the latest.
  void DrainRing(pcap_t* handle, std::chrono::steady_clock::time_point until);
  // Reader thread: after a small read that emptied the ring, waits until kHandOverGapMs after
  // the last such read.
  void PaceReads();
  std::chrono::steady_clock::time_point LastPacedRead;  // reader-owned
  // Reader thread: takes the kernel's counts when the last take is older than kStatsPeriodMs.
  void TakeStats(pcap_t* handle, bool now = false);
  std::chrono::steady_clock::time_point StatsTaken;  // reader-owned
  // The reader's counts; only the reader calls the library for them, since a count resets the
  // kernel's own.
  std::atomic<bool> StatsValid{false};
  std::atomic<uint64_t> StatsReceived{0};
  std::atomic<uint64_t> StatsDropped{0};

  // Main thread only.
  bool InDelivery = false;
  bool BatchAbandoned = false;
  bool Destroying = false;
  bool Closing = false;  // BeginClose has asked the reader to stop; Close or its end finishes
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
