#include "capture/Snoop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/ErrorReport.h"

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

// The helper's error text: its first non-empty line, without its own prefix.
std::string FirstLine(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    constexpr std::string_view kPrefix = "zul-capture: ";
    if (line.starts_with(kPrefix)) line.erase(0, kPrefix.size());
    if (!line.empty() && line.rfind("warning: ", 0) != 0) return LibraryText(line.c_str());
    start = end + 1;
  }
  return {};
}

// The netmask the filter compiler is given: that of the device's first IPv4 address.
bpf_u_int32 FilterNetmask(const pcap_if_t& dev) {
  for (const pcap_addr_t* a = dev.addresses; a != nullptr; a = a->next) {
    if (a->addr == nullptr || a->netmask == nullptr || a->addr->sa_family != AF_INET) continue;
    sockaddr_in mask{};
    std::memcpy(&mask, a->netmask, sizeof(mask));
    return mask.sin_addr.s_addr;
  }
  return PCAP_NETMASK_UNKNOWN;
}

}  // namespace

TDeviceList FindLibraryDevices(std::string& error) {
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_if_t* raw = nullptr;
  if (pcap_findalldevs(&raw, errbuf) != 0) {
    error = LibraryText(errbuf);
    return {};
  }
  const std::unique_ptr<pcap_if_t, decltype(&pcap_freealldevs)> owned(raw, &pcap_freealldevs);
  // Through the stream's own encoding, so that both listings carry exactly the same.
  TStreamWriter w;
  w.Listing(raw);
  TDeviceList list;
  ParseListing({w.Data(), w.Size()}, list, error);
  return list;
}

TDeviceList FindAllDevices(std::string& error) {
  std::unique_ptr<TChildProcess> helper;
  try {
    helper =
        std::make_unique<TChildProcess>(CaptureHelperPath(), std::vector<std::string>{"--list"});
  } catch (const std::exception& e) {
    error = std::string("Snoop Error: ") + e.what();
    return {};
  }
  helper->CloseInput();
  std::vector<uint8_t> bytes;
  const auto until = Clock::now() + std::chrono::milliseconds(kHelperStartMs);
  bool ended = false;
  while (!ended && Clock::now() < until) {
    if (WaitReadable(helper->Output(), std::chrono::milliseconds(50)) == TReadiness::TimedOut)
      continue;
    uint8_t buf[16384];
    const ssize_t n = ::read(helper->Output(), buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ended = true;
    else
      bytes.insert(bytes.end(), buf, buf + n);
    // A listing is small; one that never ends is not one.
    if (bytes.size() > (16u << 20)) break;
  }
  const TExitStatus status = helper->Wait(std::chrono::milliseconds(ended ? kHelperGraceMs : 0));
  const std::string text = FirstLine(helper->TakeErrorText());
  if (!ended || !status.Exited || status.Code != kHelperStopped) {
    error = !text.empty() ? text
                          : "Snoop Error: The capture helper did not list the devices (" +
                                status.Text() + ")";
    return {};
  }
  TDeviceList list;
  ParseListing(bytes, list, error);
  return list;
}

bool ListCaptureDevices(std::vector<TDeviceEntry>& devices, std::string& error) {
  devices.clear();
  TDeviceList list = FindAllDevices(error);
  if (!error.empty()) return false;
  for (const pcap_if_t* d = list.get(); d != nullptr; d = d->next) {
    TDeviceEntry e;
    e.Name = d->name != nullptr ? d->name : "";
    // Most Linux devices carry no description; the name is what the user knows them by.
    e.Description =
        d->description != nullptr && d->description[0] != '\0' ? d->description : e.Name;
    devices.push_back(std::move(e));
  }
  error.clear();
  return true;
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

TCustomSnoop::TCustomSnoop(QObject* owner) : QObject(owner) {
  // One listing for both lists, so that names and descriptions always belong together.
  std::vector<TDeviceEntry> devices;
  if (ListCaptureDevices(devices, FLastError)) {
    FAdapterNames.reserve(devices.size());
    FAdapterDescriptions.reserve(devices.size());
    for (TDeviceEntry& d : devices) {
      FAdapterNames.push_back(std::move(d.Name));
      FAdapterDescriptions.push_back(std::move(d.Description));
    }
  }
  if (!FLastError.empty()) ReportError(kSnoopListKey, FLastError);
  FLastError.clear();
  Wake = std::make_unique<TThreadWake>([this] { Woken(); });
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
  if (!Wake->Valid()) {
    FLastError = "Snoop Error: " + Wake->ErrorText();
    return;
  }
  FPermissionDenied = false;

  std::string listError;
  const TDeviceList list =
      Source == TSource::Helper ? FindAllDevices(listError) : FindLibraryDevices(listError);
  if (!listError.empty()) {
    FLastError = listError;
    return;
  }
  const pcap_if_t* dev = list.get();
  while (dev != nullptr && (dev->name == nullptr || FAdapterName != dev->name)) dev = dev->next;
  if (dev == nullptr) {
    FLastError = "Snoop Error: Invalid AdapterName";
    return;
  }
  if (!(Source == TSource::Helper ? OpenHelper(*dev) : OpenLibrary(*dev))) return;

  if (Handle) {
    // A read of BatchLimit frames of at most the snapshot length each always fits the buffer.
    // The helper's frames are handled where it put them, in the shared ring.
    const std::size_t record =
        RecordSpan(static_cast<std::size_t>(std::max(pcap_snapshot(Handle.get()), 1)));
    BatchLimit = std::clamp<std::size_t>(kBatchBufferBytes / record, 1,
                                         static_cast<std::size_t>(kMaxBatchFrames));
    if (BatchCapacity < BatchLimit * record) {
      BatchCapacity = BatchLimit * record;
      BatchBytes.reset(new uint8_t[BatchCapacity]);
    }
  }
  RingFailed = false;
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
  Closing = false;
  FActive = true;
  Thread = std::make_unique<TSnoopThread>(this);
  try {
    Thread->Start();
  } catch (const std::system_error& e) {
    Thread.reset();
    ReleaseSource();
    FLastError = std::string("Snoop Error: ") + e.what();
  }
}

bool TCustomSnoop::OpenLibrary(const pcap_if_t& dev) {
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  THandle handle(pcap_create(dev.name, errbuf));
  if (!handle) {
    FLastError = LibraryText(errbuf);
    return false;
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
    return false;
  }
  if (rc > 0) {
    // A warning: the capture runs, perhaps without promiscuous mode.
    std::fprintf(stderr, "zul: capture on %s: %s\n", dev.name, pcap_statustostr(rc));
  }

  bpf_program program{};
  if (pcap_compile(handle.get(), &program, Filter.c_str(), 1, FilterNetmask(dev)) != 0) {
    FLastError = LibraryText(pcap_geterr(handle.get()));
    return false;
  }
  const int installed = pcap_setfilter(handle.get(), &program);
  pcap_freecode(&program);
  if (installed != 0) {
    FLastError = LibraryText(pcap_geterr(handle.get()));
    return false;
  }
  FLinkType = pcap_datalink(handle.get());
  Handle = std::move(handle);
  return true;
}

bool TCustomSnoop::OpenHelper(const pcap_if_t& dev) {
  const std::size_t ringBytes =
      RingBytesFor(static_cast<uint32_t>(std::clamp<int32_t>(SnapLen, 1, kMaxStreamSnapLen)));
  const std::vector<std::string> args = {
      "--capture",    dev.name,
      "--snaplen",    std::to_string(std::clamp<int32_t>(SnapLen, 1, kMaxStreamSnapLen)),
      "--promisc",    (Flags & 1) != 0 ? "1" : "0",
      "--timeout",    std::to_string(std::clamp<int32_t>(ReadTimeOut, 0, 60000)),
      "--buffer",     std::to_string(std::max<int32_t>(BufferSize, 0)),
      "--filter",     Filter,
      "--drain-ms",   std::to_string(kDrainMs),
      "--ring-bytes", std::to_string(ringBytes)};
  std::unique_ptr<TChildProcess> helper;
  std::unique_ptr<TSharedMemory> memory;
  try {
    memory = std::make_unique<TSharedMemory>(kRingHeaderBytes + ringBytes);
    helper = std::make_unique<TChildProcess>(CaptureHelperPath(), args, memory->Fd());
  } catch (const std::exception& e) {
    FLastError = std::string("Snoop Error: ") + e.what();
    return false;
  }
  auto parser = std::make_unique<TStreamParser>(kStreamCapture);
  const auto until = Clock::now() + std::chrono::milliseconds(kHelperStartMs);
  bool ended = false;
  while (!parser->Opened() && !parser->Failed() && !ended && Clock::now() < until) {
    if (WaitReadable(helper->Output(), std::chrono::milliseconds(20)) == TReadiness::TimedOut)
      continue;
    const std::span<uint8_t> room = parser->Room(4096);
    const ssize_t n = ::read(helper->Output(), room.data(), room.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended = true;
      break;
    }
    parser->Commit(static_cast<std::size_t>(n));
    // The greeting and the opening come first; whatever follows stays for the reader.
    while (!parser->Opened() && parser->Next() == TStreamParser::TStep::Record) {
    }
  }
  if (!parser->Opened()) {
    helper->CloseInput();
    const TExitStatus status = helper->Wait(std::chrono::milliseconds(ended ? kHelperGraceMs : 0));
    const std::string text = FirstLine(helper->TakeErrorText());
    FPermissionDenied = status.Exited && status.Code == kHelperDenied;
    if (!text.empty())
      FLastError = text;
    else if (parser->Failed())
      FLastError = "Snoop Error: " + parser->Error;
    else
      FLastError = "Snoop Error: The capture helper did not open the capture (" +
                   (ended ? status.Text() : std::string("no answer")) + ")";
    return false;
  }
  // A warning: the capture runs, perhaps without promiscuous mode.
  const std::string warning = helper->TakeErrorText();
  if (!warning.empty()) std::fprintf(stderr, "zul: capture on %s: %s", dev.name, warning.c_str());
  FLinkType = parser->LinkType();
  Ring = std::make_unique<TRingReader>(memory->Data(), memory->Data() + kRingHeaderBytes, ringBytes,
                                       static_cast<uint32_t>(parser->Snapshot()));
  RingMemory = std::move(memory);
  Helper = std::move(helper);
  Parser = std::move(parser);
  return true;
}

void TCustomSnoop::WakeReader(bool drain) {
  if (Handle) {
    // Wakes a reader that is blocked on an idle device; the read time-out alone does not.
    pcap_breakloop(Handle.get());
  } else if (Helper) {
    // The helper drains the ring once its input closes, then ends, which ends the stream.
    Helper->CloseInput();
    if (!drain) Helper->Signal(SIGTERM);
  }
}

void TCustomSnoop::BeginClose(std::chrono::steady_clock::time_point drainUntil) {
  if (!FActive || !Thread || Thread->IsCurrent() || Closing) return;
  Closing = true;
  // A handler that closes its own capture wants no more of its frames.
  DrainUntil.store(InDelivery ? 0 : std::max<int64_t>(Nanoseconds(drainUntil), 1));
  Thread->RequestStop();
  WakeReader(!InDelivery);
  if (InDelivery) {
    // Called from a handler in the middle of a batch: the rest of the batch is dropped.
    BatchAbandoned = true;
    {
      std::lock_guard lock(M);
      Pending = false;
    }
    Cv.notify_all();
  }
}

bool TCustomSnoop::ServeClosing() {
  if (!Closing) return !FActive;
  {
    std::unique_lock lock(M);
    if (ReaderDone) return true;
    if (!Pending || InDelivery) return false;
  }
  ServeHandover();
  return false;
}

void TCustomSnoop::Close() {
  if (!FActive) return;
  if (!Thread) {
    FLastError = "Snoop Error: No thread to stop";
    ReportError(kSnoopThreadKey, FLastError);
    return;
  }
  if (Thread->IsCurrent()) {
    // From a handler on the reader itself (ThreadSafe false): it cannot wait for its own end,
    // so it only asks; the end notice finishes the close on the main thread.
    Thread->RequestStop();
    WakeReader(false);
    return;
  }
  BeginClose(Clock::now() + std::chrono::milliseconds(kDrainMs));
  FActive = false;
  {
    // Serve the reader's hand-overs while waiting, so that a reader waiting for the main thread
    // can always finish.
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
  std::string error;
  std::string reason;
  if (Handle)
    ReadLibrary(error, reason);
  else
    ReadHelper(error);
  {
    // The last batch is handled before the reader counts as done.
    std::unique_lock lock(M);
    Cv.wait(lock, [this] { return !Pending; });
    ReaderError = error;
    ReaderReason = reason;
    ReaderDone = true;
  }
  Cv.notify_all();
  // The main thread finishes the reader; nothing is left to do when Close has done it already.
  Wake->Post();
}

void TCustomSnoop::ReadLibrary(std::string& error, std::string& reason) {
  pcap_t* const handle = Handle.get();
  while (!ReaderStop.stop_requested()) {
    int r = 0;
    if (ReaderThreadSafe) {
      BatchOpen = false;
      r = pcap_dispatch(handle, static_cast<int>(BatchLimit), &TCustomSnoop::CollectFrame,
                        reinterpret_cast<u_char*>(this));
      // Frames read are handed over even when a stop came in meanwhile: Close serves them.
      if (BatchOpen && BatchCount > 0) {
        HandOver();
        // A read that emptied the ring came early: the next one waits a little, so that a busy
        // device wakes the main thread about kHandOverGapMs apart with fuller batches. A full
        // read goes on at once, so the ring never fills while the reader waits.
        if (r < static_cast<int>(BatchLimit) && BatchUsed < kPaceBatchBytes) PaceReads();
      }
    } else {
      r = pcap_dispatch(handle, static_cast<int>(BatchLimit), &TCustomSnoop::DeliverDirect,
                        reinterpret_cast<u_char*>(this));
    }
    if (r > 0) TakeStats(handle);
    if (r == PCAP_ERROR) {
      error = "Snoop Error: pcap_dispatch return -1";
      reason = LibraryText(pcap_geterr(handle));
      std::fprintf(stderr, "zul: capture read failed: %s\n", reason.c_str());
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
}

void TCustomSnoop::ReadHelper(std::string& error) {
  // The helper paces and drains the kernel's ring itself; this reads its announcements until
  // the stream ends, which it does when the helper stops or dies.
  constexpr std::size_t kReadBytes = 64 * 1024;
  const int fd = Helper->Output();
  bool ended = false;
  std::optional<Clock::time_point> killAt;
  bool killed = false;
  for (;;) {
    const bool taken = TakeRecords();
    // Frames announced are handled even when a stop came in meanwhile: Close serves them.
    if (taken && Ring->Announced() > Ring->Released()) HandOverRange();
    if (!taken || RingFailed) {
      const std::string why = taken                   ? "Malformed capture stream: a damaged frame"
                              : Parser->Error.empty() ? Ring->Error
                                                      : Parser->Error;
      error = "Snoop Error: " + why;
      std::fprintf(stderr, "zul: capture stream failed: %s\n", why.c_str());
      Helper->Signal(SIGKILL);
      return;
    }
    if (ended) break;
    if (ReaderStop.stop_requested() && !killAt) {
      const int64_t until = DrainUntil.load();
      killAt =
          (until != 0 ? TimeOf(until) : Clock::now()) + std::chrono::milliseconds(kHelperGraceMs);
    }
    if (killAt && !killed && Clock::now() >= *killAt) {
      // A helper that does not stop is stopped; its stream then ends at once.
      Helper->Signal(SIGKILL);
      killed = true;
    }
    if (WaitReadable(fd, std::chrono::milliseconds(100)) == TReadiness::TimedOut) continue;
    const std::span<uint8_t> room = Parser->Room(kReadBytes);
    const ssize_t n = ::read(fd, room.data(), room.size());
    if (n > 0) {
      Parser->Commit(static_cast<std::size_t>(n));
    } else if (n == 0) {
      ended = true;
    } else if (errno != EINTR && errno != EAGAIN) {
      error = "Snoop Error: pcap_dispatch return -1";
      return;
    }
  }
  if (Parser->Pending() > 0) {
    error = "Snoop Error: Malformed capture stream: a record cut short";
  } else if (!ReaderStop.stop_requested()) {
    // The helper ended by itself: a read error, or its death. The main thread asks it why.
    error = "Snoop Error: pcap_dispatch return -1";
  }
}

bool TCustomSnoop::TakeRecords() {
  for (;;) {
    switch (Parser->Next()) {
      case TStreamParser::TStep::NeedMore:
        return true;
      case TStreamParser::TStep::Failed:
        return false;
      case TStreamParser::TStep::Record:
        break;
    }
    if (Parser->RecordKind() == TRecordKind::Ring) {
      if (!Ring->Announce(Parser->RingPosition())) return false;
    } else if (Parser->RecordKind() == TRecordKind::Stats) {
      StatsReceived.store(Parser->Received(), std::memory_order_relaxed);
      StatsDropped.store(Parser->Dropped(), std::memory_order_relaxed);
      StatsValid.store(true, std::memory_order_release);
    }
  }
}

void TCustomSnoop::HandOverRange() {
  // A stopped capture that is not draining takes no more frames.
  const bool stopped = ReaderStop.stop_requested();
  if (ReaderThreadSafe && !(stopped && DrainUntil.load() == 0)) {
    HandOver();
    std::unique_lock lock(M);
    Cv.wait(lock, [this] { return !Pending; });
  } else if (!ReaderThreadSafe && !stopped) {
    RingFailed = !DeliverRange();
  }
  // The helper may write over what was handled.
  Ring->Release(Ring->Announced());
}

void TCustomSnoop::Deliver(const pcap_pkthdr* header, const uint8_t* frame) {
  CurrentHeader = header;
  CurrentFrame = frame;
  ++HandledFrames;
  // A failing handler loses its frame, not the rest of the batch.
  try {
    DoCapture();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zul: capture handler failed: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "zul: capture handler failed\n");
  }
}

bool TCustomSnoop::DeliverRange() {
  uint64_t pos = Ring->Released();
  TStreamFrame f;
  TRingReader::TStep step = TRingReader::TStep::End;
  // A handler that closes the capture ends the loop before the ring is touched again.
  while (!BatchAbandoned && !Destroying &&
         (step = Ring->Next(pos, f)) == TRingReader::TStep::Frame) {
    Deliver(&f.Header, f.Bytes);
  }
  CurrentHeader = nullptr;
  CurrentFrame = nullptr;
  return step != TRingReader::TStep::Failed;
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
    const TReadiness ready = WaitReadable(fd, std::chrono::milliseconds(2));
    if (ready == TReadiness::Failed) break;  // the device went away: nothing more will come
    if (ready == TReadiness::TimedOut) {
      if (Clock::now() - lastFrames >= quiet) break;
      continue;
    }
    int r = 0;
    if (ReaderThreadSafe) {
      BatchOpen = false;
      r = pcap_dispatch(handle, static_cast<int>(BatchLimit), &TCustomSnoop::CollectFrame,
                        reinterpret_cast<u_char*>(this));
      if (BatchOpen && BatchCount > 0) {
        HandOver();
        r = std::max(r, 1);
      }
    } else {
      r = pcap_dispatch(handle, static_cast<int>(BatchLimit), &TCustomSnoop::DeliverDirect,
                        reinterpret_cast<u_char*>(this));
    }
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
  if (!FActive || !StatsValid.load(std::memory_order_acquire)) return std::nullopt;
  TCaptureStats s;
  s.Received = StatsReceived.load(std::memory_order_relaxed);
  s.Dropped = StatsDropped.load(std::memory_order_relaxed);
  // Frames handed over are counted on this thread only when the reader hands them over.
  if (ReaderThreadSafe) s.Handled = HandledFrames;
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
  self->CurrentHeader = header;
  self->CurrentFrame = bytes;
  ++self->HandledFrames;
  self->DoCapture();
  self->CurrentHeader = nullptr;
  self->CurrentFrame = nullptr;
}

void TCustomSnoop::HandOver() {
  ++HandedBatches;
  {
    std::lock_guard lock(M);
    Pending = true;
  }
  Cv.notify_all();  // a Close that is waiting serves the batch itself
  // The main thread serves it. The reader waits for it at the next frame it reads, or at its end.
  Wake->Post();
}

void TCustomSnoop::Woken() {
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
  if (InDelivery) return;  // a nested event loop inside a handler; the outer call serves it
  {
    std::lock_guard lock(M);
    if (!Pending) return;
  }
  InDelivery = true;
  BatchAbandoned = false;
  const std::size_t n = Ring ? 0 : BatchCount;
  if (Ring) RingFailed = !DeliverRange();
  uint8_t* record = BatchBytes.get();
  for (std::size_t i = 0; i < n && !BatchAbandoned && !Destroying; ++i) {
    const pcap_pkthdr* h = std::launder(reinterpret_cast<pcap_pkthdr*>(record));
    Deliver(h, record + sizeof(pcap_pkthdr));
    record += RecordSpan(h->caplen);
  }
  CurrentHeader = nullptr;
  CurrentFrame = nullptr;
  InDelivery = false;
  if (BatchAbandoned) {
    // A handler closed and reopened the capture: its new reader may already wait for us.
    bool pending = false;
    {
      std::lock_guard lock(M);
      pending = Pending;
    }
    if (pending) Wake->Post();
    return;
  }
  {
    std::lock_guard lock(M);
    Pending = false;
  }
  Cv.notify_all();
}

void TCustomSnoop::ReleaseSource() {
  Handle.reset();
  Helper.reset();
  Parser.reset();
  Ring.reset();
  RingMemory.reset();
  FActive = false;
  FLinkType = -1;
}

void TCustomSnoop::ThreadEnded() {
  if (!Thread) return;
  Thread->Join();
  Thread.reset();
  Closing = false;
  std::string reason;
  bool failed = false;
  {
    std::lock_guard lock(M);
    if (!ReaderError.empty()) {
      FLastError = ReaderError;
      reason = ReaderReason;
      failed = true;
    }
  }
  pcap_stat st{};
  if (Handle && pcap_stats(Handle.get(), &st) == 0) {
    FLastStats.Received = st.ps_recv;
    FLastStats.Dropped = st.ps_drop;
  } else if (Helper && StatsValid.load()) {
    FLastStats.Received = StatsReceived.load();
    FLastStats.Dropped = StatsDropped.load();
  } else {
    FLastStats.Received = FLastStats.Dropped = 0;
  }
  if (Helper) {
    // The helper has ended or ends now; its last words say why a capture stopped by itself.
    const TExitStatus status = Helper->Wait(std::chrono::milliseconds(kHelperGraceMs));
    const std::string text = FirstLine(Helper->TakeErrorText());
    if (failed && reason.empty())
      reason = !text.empty() ? text : "the capture helper ended (" + status.Text() + ")";
    if (failed) std::fprintf(stderr, "zul: capture read failed: %s\n", reason.c_str());
  }
  FLastStats.Handled = HandledFrames;
  FLastStats.Batches = HandedBatches;
  ReleaseSource();
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
