#include "capture/Snoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <system_error>

#include "capture/HelperStream.h"
#include "platform/Log.h"

namespace zul {
namespace {

constexpr std::size_t kMaxErrorLength = 256;

using Clock = std::chrono::steady_clock;

int64_t Nanoseconds(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

Clock::time_point TimeOf(int64_t nanoseconds) {
  return Clock::time_point{
      std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(nanoseconds))};
}

std::string LibraryText(const char* text) {
  std::string s = text != nullptr ? text : "";
  if (s.size() > kMaxErrorLength) s.resize(kMaxErrorLength);
  return s;
}

struct TListDeleter {
  void operator()(pcap_if_t* p) const { pcap_freealldevs(p); }
};
using TLibraryList = std::unique_ptr<pcap_if_t, TListDeleter>;

TLibraryList ListLibrary(std::string& error) {
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_if_t* raw = nullptr;
  if (pcap_findalldevs(&raw, errbuf) != 0) {
    error = LibraryText(errbuf);
    return nullptr;
  }
  error.clear();
  return TLibraryList(raw);
}

// Waits at most `timeout` for `fd` to become readable; false on a time-out, and on an error or
// hang-up, which no wait will change (`failed` then says so).
bool WaitReadable(int fd, std::chrono::milliseconds timeout, bool& failed) {
  pollfd p{fd, POLLIN, 0};
  int r = 0;
  do {
    r = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (r < 0 && errno == EINTR);
  failed = r < 0 || (r > 0 && (p.revents & POLLIN) == 0);
  return r > 0 && !failed;
}

}  // namespace

TDeviceList FindLibraryDevices(std::string& error) {
  const TLibraryList raw = ListLibrary(error);
  if (!raw) return {};
  // Through the stream's own encoding, so that this listing and the helper's carry the same.
  TStreamWriter w;
  w.Listing(raw.get());
  TDeviceList list;
  ParseListing({w.Data(), w.Size()}, list, error);
  return list;
}

// ---- TSnoopThread ----

TSnoopThread::TSnoopThread(TCustomSnoop* owner) : Owner(owner) {}

TSnoopThread::~TSnoopThread() {
  Join();
}

void TSnoopThread::Start() {
  Worker = std::jthread([this](std::stop_token stop) { Execute(std::move(stop)); });
}

void TSnoopThread::RequestStop() {
  Worker.request_stop();
}

void TSnoopThread::Join() {
  if (Worker.joinable()) Worker.join();
}

void TSnoopThread::Execute(std::stop_token stop) {
  if (Owner != nullptr) Owner->ReadLoop(std::move(stop));
}

// ---- TCustomSnoop ----

TCustomSnoop::TCustomSnoop() : Wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  // One listing for both lists, so that names and descriptions always belong together.
  if (const TLibraryList list = ListLibrary(FListError)) {
    for (const pcap_if_t* d = list.get(); d != nullptr; d = d->next) {
      const std::string name = d->name != nullptr ? d->name : "";
      FAdapterNames.push_back(name);
      // Most Linux devices carry no description; the name is what the user knows them by.
      FAdapterDescriptions.push_back(
          d->description != nullptr && d->description[0] != '\0' ? d->description : name);
    }
  }
}

TCustomSnoop::~TCustomSnoop() {
  // A subclass is already gone here, so frames still pending are not handed to it.
  Destroying = true;
  Close();
}

void TCustomSnoop::SelectListed(int32_t i) {
  FAdapterIndex = i;
  FAdapterName = FAdapterNames[i];
  FAdapterDescription = FAdapterDescriptions[i];
}

void TCustomSnoop::Deselect() {
  FAdapterIndex = -1;
  FAdapterName.clear();
  FAdapterDescription.clear();
}

void TCustomSnoop::SetAdapterIndex(int32_t v) {
  if (v == FAdapterIndex) return;
  if (v < 0 || static_cast<std::size_t>(v) >= FAdapterNames.size()) {
    FAdapterIndex = -1;
    FAdapterName.clear();
    return;
  }
  SelectListed(v);
}

void TCustomSnoop::SelectFirstMatch(const std::vector<std::string>& listed, const std::string& s) {
  for (std::size_t i = 0; i < listed.size(); ++i) {
    if (listed[i] == s) {
      SelectListed(static_cast<int32_t>(i));
      return;
    }
  }
  Deselect();
}

void TCustomSnoop::SetAdapterName(const std::string& s) {
  if (s != FAdapterName) SelectFirstMatch(FAdapterNames, s);
}

void TCustomSnoop::SetAdapterDescription(const std::string& s) {
  if (s != FAdapterDescription) SelectFirstMatch(FAdapterDescriptions, s);
}

void TCustomSnoop::Open() {
  if (FActive) {
    FLastError = "Snoop Error: Already open";
    return;
  }
  if (!Wake) {
    FLastError = std::string("Snoop Error: cannot create a wake-up descriptor");
    return;
  }
  FPermissionDenied = false;
  std::string listError;
  const TLibraryList list = ListLibrary(listError);
  if (!list) {
    FLastError = listError;
    return;
  }
  const pcap_if_t* dev = list.get();
  while (dev != nullptr && (dev->name == nullptr || FAdapterName != dev->name)) dev = dev->next;
  if (dev == nullptr) {
    FLastError = "Snoop Error: Invalid AdapterName";
    return;
  }

  char errbuf[PCAP_ERRBUF_SIZE] = {};
  THandle handle(pcap_create(dev->name, errbuf));
  if (!handle) {
    FLastError = LibraryText(errbuf);
    return;
  }
  pcap_set_snaplen(handle.get(), SnapLen);
  pcap_set_promisc(handle.get(), (Flags & 1) != 0 ? 1 : 0);
  pcap_set_timeout(handle.get(), ReadTimeOut);
  if (BufferSize > 0) pcap_set_buffer_size(handle.get(), BufferSize);
  const int rc = pcap_activate(handle.get());
  if (rc < 0) {
    const char* text = pcap_geterr(handle.get());
    FLastError = LibraryText(text != nullptr && text[0] != '\0' ? text : pcap_statustostr(rc));
    FPermissionDenied = rc == PCAP_ERROR_PERM_DENIED || rc == PCAP_ERROR_PROMISC_PERM_DENIED;
    return;
  }
  // A warning: the capture runs, perhaps without promiscuous mode.
  if (rc > 0)
    LogLine(std::string("warning: capture on ") + dev->name + ": " + pcap_statustostr(rc));
  if (!Filter.empty()) {
    // The filter compiler wants the netmask of the device's first IPv4 address.
    bpf_u_int32 net = 0, mask = PCAP_NETMASK_UNKNOWN;
    if (pcap_lookupnet(dev->name, &net, &mask, errbuf) != 0) mask = PCAP_NETMASK_UNKNOWN;
    bpf_program program{};
    if (pcap_compile(handle.get(), &program, Filter.c_str(), 1, mask) != 0) {
      FLastError = LibraryText(pcap_geterr(handle.get()));
      return;
    }
    const int installed = pcap_setfilter(handle.get(), &program);
    pcap_freecode(&program);
    if (installed != 0) {
      FLastError = LibraryText(pcap_geterr(handle.get()));
      return;
    }
  }
  FLinkType = pcap_datalink(handle.get());
  // A read of BatchLimit frames of at most the snapshot length each always fits the buffer.
  const std::size_t record =
      RecordSpan(static_cast<std::size_t>(std::max(pcap_snapshot(handle.get()), 1)));
  BatchLimit = std::clamp<std::size_t>(kBatchBufferBytes / record, 1,
                                       static_cast<std::size_t>(kMaxBatchFrames));
  if (ThreadSafe && BatchCapacity < BatchLimit * record) {
    BatchCapacity = BatchLimit * record;
    BatchBytes.reset(new uint8_t[BatchCapacity]);
  }
  Handle = std::move(handle);
  BatchCount = 0;
  BatchOpen = false;
  ReaderThreadSafe = ThreadSafe;
  HandledFrames = 0;
  HandedBatches = 0;
  {
    std::lock_guard lock(M);
    Pending = false;
    ReaderDone = false;
    ReaderError.clear();
    ReaderReason.clear();
  }
  DrainUntil.store(0);
  StatsValid.store(false);
  FActive = true;
  Thread = std::make_unique<TSnoopThread>(this);
  try {
    Thread->Start();
  } catch (const std::system_error& e) {
    Thread.reset();
    Handle.reset();
    FActive = false;
    FLinkType = -1;
    FLastError = std::string("Snoop Error: ") + e.what();
  }
}

void TCustomSnoop::Close() {
  if (!FActive) return;
  if (!Thread) {
    FLastError = "Snoop Error: No thread to stop";
    return;
  }
  if (Thread->IsCurrent()) {
    // From a handler on the reader itself (ThreadSafe false): it cannot wait for its own end,
    // so it only asks; Serve finishes the close on the owner's thread.
    Thread->RequestStop();
    pcap_breakloop(Handle.get());
    return;
  }
  // A handler that closes its own capture wants no more of its frames.
  DrainUntil.store(
      InDelivery
          ? 0
          : std::max<int64_t>(Nanoseconds(Clock::now() + std::chrono::milliseconds(kDrainMs)), 1));
  Thread->RequestStop();
  // Wakes a reader that is blocked on an idle device; the read time-out alone does not.
  pcap_breakloop(Handle.get());
  if (InDelivery) {
    // Called from a handler in the middle of a batch: the rest of the batch is dropped.
    BatchAbandoned = true;
    {
      std::lock_guard lock(M);
      Pending = false;
    }
    Cv.notify_all();
  }
  FActive = false;
  {
    // Serve the reader's hand-overs while waiting, so that a reader waiting for this thread can
    // always finish.
    std::unique_lock lock(M);
    while (!ReaderDone) {
      if (Pending && !InDelivery) {
        lock.unlock();
        ServeHandover();
        lock.lock();
        continue;
      }
      Cv.wait_for(lock, std::chrono::milliseconds(50));
    }
  }
  ThreadEnded();
}

void TCustomSnoop::ReadLoop(std::stop_token stop) {
  ReaderStop = std::move(stop);
  if (OnReaderStart) OnReaderStart();
  pcap_t* const handle = Handle.get();
  std::string error;
  std::string reason;
  while (!ReaderStop.stop_requested()) {
    // Blocks in the library's wait on the capture descriptor, with no time-out while the ring
    // is empty: the kernel hands a partly filled block over by its own timer once frames come.
    const int r = ReadOnce(handle);
    if (r == PCAP_ERROR) {
      error = kReadErrorText;
      reason = LibraryText(pcap_geterr(handle));
      break;
    }
    // 0 is a read time-out without frames, PCAP_ERROR_BREAK a stop request: the loop test decides.
  }
  if (!error.empty()) {
    // A device that went away leaves its last frames in the ring, handed over once the kernel
    // retires their block: they are counted before the capture ends.
    DrainRing(handle, Clock::now() + std::chrono::milliseconds(kDrainMs));
  } else if (const int64_t until = DrainUntil.load(); until != 0) {
    DrainRing(handle, TimeOf(until));
  }
  TakeStats(handle, true);
  if (!ReaderThreadSafe && OnReadDone) OnReadDone(false);
  {
    // The last batch is handled before the reader counts as done.
    std::unique_lock lock(M);
    Cv.wait(lock, [this] { return !Pending; });
    ReaderError = error;
    ReaderReason = reason;
    ReaderDone = true;
  }
  Cv.notify_all();
  // The owner's thread finishes the reader; nothing is left to do when Close has done it.
  PostWake();
}

int TCustomSnoop::ReadOnce(pcap_t* handle) {
  if (!ReaderThreadSafe) {
    const int r = pcap_dispatch(handle, static_cast<int>(BatchLimit), &TCustomSnoop::DeliverDirect,
                                reinterpret_cast<u_char*>(this));
    if (r > 0) TakeStats(handle);
    const bool more = r >= static_cast<int>(BatchLimit);
    if (r > 0 && OnReadDone) OnReadDone(more);
    // A read that emptied the ring came early: the kernel hands a small block over at every few
    // dozen headers, so the next read waits a little and finds a few thousand. Fewer wake-ups
    // here, and fewer answers for whoever the handler tells.
    if (r > 0 && !more) PaceReads();
    return r;
  }
  BatchOpen = false;
  int r = pcap_dispatch(handle, static_cast<int>(BatchLimit), &TCustomSnoop::CollectFrame,
                        reinterpret_cast<u_char*>(this));
  // Frames read are handed over even when a stop came in meanwhile: Close serves them.
  if (r > 0) TakeStats(handle);
  if (BatchOpen && BatchCount > 0) {
    HandOver();
    // A read that emptied the ring came early: the next one waits a little, so that a busy
    // device wakes the owner's thread about kHandOverGapMs apart with fuller batches. A full
    // read goes on at once, so the ring never fills while the reader waits.
    if (r < static_cast<int>(BatchLimit) && BatchUsed < kPaceBatchBytes) PaceReads();
    r = std::max(r, 1);
  }
  return r;
}

void TCustomSnoop::DrainRing(pcap_t* handle, Clock::time_point until) {
  // The handle stays blocking: switching it to non-blocking would close the library's wake-up
  // descriptor while Close may be writing to it. A read is started only once the ring has
  // something, so it never waits on an empty ring.
  const int fd = pcap_get_selectable_fd(handle);
  if (fd < 0) return;
  // The kernel hands a partly filled block of its ring over only when the block's timer, the read
  // time-out, fires: an empty ring is believed once it has stayed empty a little longer than that.
  const auto quiet =
      std::chrono::milliseconds(std::clamp(ReadTimeOut, 0, kDrainMs) + kDrainQuietMs);
  auto lastFrames = Clock::now();
  while (Clock::now() < until) {
    bool failed = false;
    if (!WaitReadable(fd, std::chrono::milliseconds(2), failed)) {
      if (failed) break;  // the device went away: nothing more will come
      if (Clock::now() - lastFrames >= quiet) break;
      continue;
    }
    const int r = ReadOnce(handle);
    if (r == PCAP_ERROR) break;
    // PCAP_ERROR_BREAK is the stop request's wake-up, already taken; the ring may hold more.
    if (r > 0) lastFrames = Clock::now();
  }
}

void TCustomSnoop::PaceReads() {
  const auto now = Clock::now();
  const auto due = LastPacedRead + std::chrono::milliseconds(kHandOverGapMs);
  if (now < due && !ReaderStop.stop_requested()) std::this_thread::sleep_for(due - now);
  LastPacedRead = Clock::now();
}

void TCustomSnoop::TakeStats(pcap_t* handle, bool now) {
  const auto t = Clock::now();
  if (!now && StatsValid.load(std::memory_order_relaxed) &&
      t - StatsTaken < std::chrono::milliseconds(kStatsPeriodMs))
    return;
  StatsTaken = t;
  pcap_stat st{};
  if (pcap_stats(handle, &st) != 0) return;
  StatsReceived.store(st.ps_recv, std::memory_order_relaxed);
  StatsDropped.store(st.ps_drop, std::memory_order_relaxed);
  StatsValid.store(true, std::memory_order_release);
}

std::optional<TCaptureStats> TCustomSnoop::CurrentStats() const {
  if (!StatsValid.load(std::memory_order_acquire)) return std::nullopt;
  TCaptureStats s;
  s.Received = StatsReceived.load(std::memory_order_relaxed);
  s.Dropped = StatsDropped.load(std::memory_order_relaxed);
  return s;
}

void TCustomSnoop::CollectFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
  auto* self = reinterpret_cast<TCustomSnoop*>(user);
  if (!self->BatchOpen) {
    // The previous batch is handled before its buffer is reused. Waiting here, at the first frame
    // of the next read, rather than right after the hand-over lets the reader sleep once per read,
    // in the library's wait for frames, instead of twice.
    {
      std::unique_lock lock(self->M);
      self->Cv.wait(lock, [self] { return !self->Pending; });
    }
    if (self->ReaderStop.stop_requested() && self->DrainUntil.load() == 0) {
      // As if the read had not begun: a stopped capture takes no more frames.
      pcap_breakloop(self->Handle.get());
      return;
    }
    self->BatchCount = 0;
    self->BatchUsed = 0;
    self->BatchOpen = true;
  }
  // The library never returns more than BatchLimit frames of at most the snapshot length; the
  // checks keep even a misbehaving read inside the buffer.
  const std::size_t used = self->BatchUsed;
  const std::size_t room = self->BatchCapacity - used;
  if (self->BatchCount >= self->BatchLimit || room < sizeof(pcap_pkthdr)) return;
  const std::size_t n = std::min<std::size_t>(header->caplen, room - sizeof(pcap_pkthdr));
  uint8_t* record = self->BatchBytes.get() + used;
  auto* h = new (record) pcap_pkthdr(*header);
  h->caplen = static_cast<bpf_u_int32>(n);
  std::memcpy(record + sizeof(pcap_pkthdr), bytes, n);
  // Both are multiples of the alignment, so the padded record still fits.
  self->BatchUsed = used + RecordSpan(n);
  ++self->BatchCount;
}

void TCustomSnoop::DeliverDirect(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
  auto* self = reinterpret_cast<TCustomSnoop*>(user);
  if (self->ReaderStop.stop_requested() && self->DrainUntil.load() == 0) return;
  self->Deliver(header, bytes);
}

void TCustomSnoop::Deliver(const pcap_pkthdr* header, const uint8_t* frame) {
  CurrentHeader = header;
  CurrentFrame = frame;
  ++HandledFrames;
  try {
    DoCapture();
  } catch (const std::exception& e) {
    LogLine(std::string("capture handler failed: ") + e.what());
  } catch (...) {
    LogLine("capture handler failed");
  }
  CurrentHeader = nullptr;
  CurrentFrame = nullptr;
}

void TCustomSnoop::HandOver() {
  ++HandedBatches;
  {
    std::lock_guard lock(M);
    Pending = true;
  }
  Cv.notify_all();  // a Close that is waiting serves the batch itself
  // The owner's thread serves it. The reader waits for it at the next frame it reads, or at its
  // end.
  PostWake();
}

void TCustomSnoop::PostWake() const {
  const uint64_t one = 1;
  // EAGAIN means the counter is full: the owner is due anyway.
  while (::write(Wake.Get(), &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}

void TCustomSnoop::Serve() {
  uint64_t count = 0;
  while (::read(Wake.Get(), &count, sizeof(count)) < 0 && errno == EINTR) {
  }
  ServeHandover();
  bool ended = false;
  {
    std::lock_guard lock(M);
    ended = ReaderDone;
  }
  // A reader that ended by itself, on a read error or a stop from its own handler.
  if (ended && Thread) ThreadEnded();
}

void TCustomSnoop::ServeHandover() {
  if (InDelivery) return;  // a nested loop inside a handler; the outer call serves it
  {
    std::lock_guard lock(M);
    if (!Pending) return;
  }
  InDelivery = true;
  BatchAbandoned = false;
  uint8_t* record = BatchBytes.get();
  for (std::size_t i = 0; i < BatchCount && !BatchAbandoned && !Destroying; ++i) {
    const pcap_pkthdr* h = std::launder(reinterpret_cast<pcap_pkthdr*>(record));
    Deliver(h, record + sizeof(pcap_pkthdr));
    record += RecordSpan(h->caplen);
  }
  if (!BatchAbandoned && !Destroying && OnReadDone) OnReadDone(false);
  InDelivery = false;
  if (BatchAbandoned) {
    // A handler closed and reopened the capture: its new reader may already wait for us.
    bool pending = false;
    {
      std::lock_guard lock(M);
      pending = Pending;
    }
    if (pending) PostWake();
    return;
  }
  {
    std::lock_guard lock(M);
    Pending = false;
  }
  Cv.notify_all();
}

void TCustomSnoop::ThreadEnded() {
  if (!Thread) return;
  Thread->Join();
  Thread.reset();
  std::string reason;
  bool failed = false;
  {
    std::lock_guard lock(M);
    if (!ReaderError.empty()) {
      FLastError = ReaderError;
      FLastReason = reason = ReaderReason;
      failed = true;
    }
  }
  FLastStats.Received = StatsValid.load() ? StatsReceived.load() : 0;
  FLastStats.Dropped = StatsValid.load() ? StatsDropped.load() : 0;
  FLastStats.Handled = HandledFrames;
  FLastStats.Batches = HandedBatches;
  Handle.reset();
  FActive = false;
  FLinkType = -1;
  // Last, so that the handler finds the capture Closed and may open it again.
  if (failed && !Destroying && OnReadError) OnReadError(reason.empty() ? FLastError : reason);
}

// ---- TSnoop ----

TSnoop::~TSnoop() {
  Close();
}

void TSnoop::DoCapture() {
  if (OnCapture) OnCapture(this, CurrentHeader, CurrentFrame);
}

}  // namespace zul
