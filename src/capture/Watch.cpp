#include "capture/Watch.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "capture/AppSource.h"
#include "capture/Traffic.h"
#include "platform/ErrorReport.h"
#include "platform/Log.h"
#include "platform/NetLinkMonitor.h"
#include "platform/NetLinks.h"
#include "settings/CfgF.h"

namespace zul {

std::string CapturePermissionText() {
  // setcap replaces the whole set: the line grants the applications' counts theirs too.
  const std::string command =
      std::string("setcap ") + kHelperCapabilities + " " + CaptureHelperPath();
  return "ZUL may not capture network traffic, so no traffic is counted. Capture needs the "
         "capabilities cap_net_raw,cap_net_admin (the applications' counts cap_bpf,cap_perfmon "
         "besides), which only ZUL's small capture helper should "
         "hold: grant them to it once as root (\"su -c '" +
         command + "'\", or \"sudo " + command + "\"), then start ZUL again.";
}

std::array<std::unique_ptr<TWatch>, kMaxWatchers> Watchers;
int32_t WatcherCount = 0;
std::vector<std::string> AdapterList;
TAdapterEvents& AdapterEvents() {
  static TAdapterEvents events;
  return events;
}

namespace {

// Follows the kernel's changes while the watchers exist.
std::unique_ptr<TNetLinkMonitor> Monitor;
// False once StopAllWatchers has run: nothing reopens by itself until capture is asked for again.
bool Capturing = false;
// Devices already named to the user as left out of a full table.
std::vector<std::string> ToldLeftOut;
// The last open or listing was refused for want of the right to capture.
bool PermissionMissing = false;
// Why the adapters could not be listed at the last try; empty when they could.
std::string ListFailure;

bool IsLinkLocal6(const uint8_t* a) {
  return a[0] == 0xFE && (a[1] & 0xC0) == 0x80;
}

// Listing failures that come from missing rights read like this in the library's text.
bool LooksLikePermission(const std::string& text) {
  return text.find("ermission") != std::string::npos ||
         text.find("not permitted") != std::string::npos;
}

// How the user knows the adapter: its description, with the device name when they differ.
std::string AdapterLabel(const TWatch& W) {
  if (W.Description.empty() || W.Description == W.DeviceName) return W.DeviceName;
  return W.Description + " (" + W.DeviceName + ")";
}

// Whether the user's choice of adapters takes in watcher k.
bool ChoiceIncludes(int32_t k) {
  if (!Capturing) return false;
  if (Cfg.AllInterfaces) return Watchers[k]->NotUnderAll.empty();
  return static_cast<int32_t>(Cfg.InterfaceIndex) == k;
}

// The list entry of a watcher: its description, and why it is left out under all adapters.
std::string ListEntry(const TWatch& W) {
  if (W.NotUnderAll.empty()) return W.Description;
  return W.Description + " (not counted under all adapters: " + W.NotUnderAll + ")";
}

// Reads how the links sit among each other and marks, for each watcher, whether it forwards to an
// uplink and whether it is counted under all adapters. True when a list entry changed.
bool ReadTopology() {
  const std::vector<TLinkInfo> links = ListLinkInfo();
  bool anyDefault = false;
  for (const TLinkInfo& l : links) anyDefault = anyDefault || l.DefaultRoute;
  auto watched = [&](int index) {
    for (int32_t k = 0; k < WatcherCount; ++k)
      for (const TLinkInfo& l : links)
        if (l.Index == index && l.Name == Watchers[k]->DeviceName) return true;
    return false;
  };
  bool changed = false;
  for (int32_t k = 0; k < WatcherCount; ++k) {
    TWatch& w = *Watchers[k];
    for (const TLinkInfo& l : links) {
      if (l.Name != w.DeviceName) continue;
      const bool downstream = anyDefault && !l.DefaultRoute;
      if (downstream != w.Downstream) {
        w.Downstream = downstream;
        if (w.Snoop) w.Snoop->SetTable(w);
      }
      std::string why = NotCountedUnderAll(l, links, watched);
      if (why != w.NotUnderAll) {
        w.NotUnderAll = std::move(why);
        AdapterList[k] = ListEntry(w);
        changed = true;
      }
    }
  }
  return changed;
}

const pcap_if_t* FindDevice(const pcap_if_t* list, const std::string& name) {
  for (const pcap_if_t* d = list; d != nullptr; d = d->next)
    if (d->name != nullptr && name == d->name) return d;
  return nullptr;
}

void ReadDevice(const pcap_if_t& dev, TWatch& W) {
  W.AddressCount = 0;
  W.Address6Count = 0;
  FillAddressTable(dev.addresses, W);
  FillAddressTable6(dev.addresses, W);
  W.MACFound = GetAdapterMAC(GuidPartOf(W.DeviceName), W.MAC) && W.MAC != TMacAddress{};
  // The helper classifies by the table; it hears of every change.
  if (W.Snoop) W.Snoop->SetTable(W);
}

void MarkLost(TWatch& W, const std::string& reason) {
  W.Lost = true;
  W.OpenIfIndex = 0;
  // Told once on standard error; the tray tip and the readout say so while it lasts, so that
  // adapters that come and go stack no message boxes.
  LogLine("capture on the network adapter " + AdapterLabel(W) + " stopped: " + reason +
          ". Its traffic is not counted until the adapter is back; ZUL then resumes by itself.");
}

// Asks every given capture to stop at once, serves them all while they drain the kernel's ring
// together, then finishes each: closing many takes about as long as closing one.
void CloseTogether(const std::vector<TRemoteSnoop*>& snoops) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::milliseconds(kDrainMs);
  for (TRemoteSnoop* s : snoops) s->BeginClose(until);
  // The readers end by themselves soon after `until`; the bound only guards this loop.
  const auto giveUp = until + std::chrono::seconds(2);
  while (Clock::now() < giveUp) {
    bool done = true;
    for (TRemoteSnoop* s : snoops) done = s->ServeClosing() && done;
    if (done) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (TRemoteSnoop* s : snoops) s->Close();
}

void TellLeftOut(const std::vector<std::string>& leftOut) {
  std::vector<std::string> fresh;
  for (const std::string& name : leftOut)
    if (std::find(ToldLeftOut.begin(), ToldLeftOut.end(), name) == ToldLeftOut.end())
      fresh.push_back(name);
  if (fresh.empty()) return;
  std::string names;
  for (const std::string& name : fresh) {
    if (!names.empty()) names += ", ";
    names += name;
    ToldLeftOut.push_back(name);
  }
  // Each left-out adapter is named once, however many times the table is found full.
  ClearError(kCaptureFullKey);
  ReportError(kCaptureFullKey, "ZUL watches at most " + std::to_string(kMaxWatchers) +
                                   " network adapters. Not watched: " + names + ".");
}

// Appends a watcher for a listed device; its capture is not opened here.
TWatch& AddWatcher(const TWatchedDevice& d) {
  AdapterList.push_back(d.Description);
  auto owned = std::make_unique<TWatch>(Traffic.Counters);
  TWatch* w = owned.get();
  w->DeviceName = d.Name;
  w->Description = d.Description;
  w->Snoop = std::make_unique<TRemoteSnoop>(Traffic.Counters);
  w->Snoop->SetAdapterName(d.Name);
  // Main thread: the end of a capture is handled there.
  w->Snoop->OnReadError = [w](const std::string& reason) { MarkLost(*w, reason); };
  ReadDevice(*d.Device, *w);
  Watchers[WatcherCount] = std::move(owned);
  ++WatcherCount;
  return *w;
}

}  // namespace

std::string CaptureLostKey(const std::string& deviceName) {
  return "capture.lost." + deviceName;
}

bool HasNetworkAddress(const pcap_if_t& dev) {
  // Linux lists a link-layer entry for every device; only a network address makes an adapter.
  for (const pcap_addr_t* a = dev.addresses; a != nullptr; a = a->next) {
    if (a->addr == nullptr) continue;
    if (a->addr->sa_family == AF_INET) return true;
    if (a->addr->sa_family == AF_INET6) {
      sockaddr_in6 ip{};
      std::memcpy(&ip, a->addr, sizeof(ip));
      if (!IsLinkLocal6(ip.sin6_addr.s6_addr)) return true;
    }
  }
  return false;
}

std::string GuidPartOf(const std::string& deviceName) {
  const std::size_t open = deviceName.find('{');
  if (open == std::string::npos) return deviceName;
  const std::size_t close = deviceName.find('}', open);
  if (close == std::string::npos) return deviceName;
  return deviceName.substr(open, close - open + 1);
}

bool GetAdapterMAC(const std::string& GUID, TMacAddress& MAC) {
  MAC.fill(0);
  if (GUID.empty()) return false;
  // A GUID in braces is found inside a longer name; a plain device name must match whole, or
  // "eth0" would find "veth0".
  const bool braced = GUID.front() == '{' && GUID.back() == '}';
  for (const TNetLink& link : ListNetLinks()) {
    const bool match = braced ? link.Name.find(GUID) != std::string::npos : GUID == link.Name;
    if (!match) continue;
    if (link.HasHardwareAddress) MAC = link.HardwareAddress;
    return true;
  }
  return false;
}

std::vector<TWatchedDevice> SelectWatchedDevices(const pcap_if_t* list, int room,
                                                 std::vector<std::string>* leftOut) {
  std::vector<TWatchedDevice> picked;
  int32_t i = 0;
  for (const pcap_if_t* d = list; d != nullptr; d = d->next, ++i) {
    if (!HasNetworkAddress(*d)) continue;
    // Traffic between two local programs never touches a network; counting it would double it
    // into LAN upload and download.
    if ((d->flags & PCAP_IF_LOOPBACK) != 0) continue;
    TWatchedDevice w;
    w.Index = i;
    w.Name = d->name != nullptr ? d->name : "";
    w.Description =
        d->description != nullptr && d->description[0] != '\0' ? d->description : w.Name;
    w.Device = d;
    if (picked.size() >= static_cast<std::size_t>(std::max(room, 0))) {
      if (leftOut != nullptr) leftOut->push_back(w.Name);
      continue;
    }
    picked.push_back(std::move(w));
  }
  return picked;
}

void TWatch::HandlePacket(TSnoop* Sender, const pcap_pkthdr* PacketHeader,
                          const uint8_t* EthernetHeader) {
  if (PacketHeader == nullptr || Counters == nullptr) return;
  // A tunnel delivers raw IP, read by its IP header alone.
  ClassifyCaptured(*this, Sender != nullptr ? Sender->LinkType() : DLT_EN10MB, EthernetHeader,
                   PacketHeader->caplen, PacketHeader->len, *Counters);
}

void OpenWatcher(TWatch& W) {
  if (!W.Snoop) return;
  W.Snoop->Open();
  if (W.Snoop->Active()) {
    PermissionMissing = false;
    W.OpenIfIndex = if_nametoindex(W.Snoop->AdapterName().c_str());
    if (W.Lost) {
      W.Lost = false;
      // A later loss is told again.
      ClearError(CaptureLostKey(W.DeviceName));
    }
    return;
  }
  LogLine("cannot capture on " + W.Snoop->AdapterName() + ": " + W.Snoop->LastError());
  if (W.Snoop->PermissionDenied()) {
    PermissionMissing = true;
    ReportError(kCapturePermissionKey, CapturePermissionText());
  }
}

std::string EnumerateAdapters() {
  std::string error;
  const TDeviceList list = FindAllDevices(error);
  ListFailure = error;
  if (!error.empty()) {
    LogLine("cannot list capture devices: " + error);
    if (LooksLikePermission(error)) {
      PermissionMissing = true;
      ReportError(kCapturePermissionKey, CapturePermissionText());
    }
    return error;
  }
  std::vector<std::string> leftOut;
  const int32_t first = WatcherCount;
  for (const TWatchedDevice& d :
       SelectWatchedDevices(list.get(), kMaxWatchers - WatcherCount, &leftOut))
    AddWatcher(d);
  ReadTopology();
  // Under all adapters, one whose traffic another counts stays closed.
  for (int32_t k = first; k < WatcherCount; ++k)
    if (!Cfg.AllInterfaces || Watchers[k]->NotUnderAll.empty()) OpenWatcher(*Watchers[k]);
  TellLeftOut(leftOut);
  Q_EMIT AdapterEvents().WatchersChanged();
  return {};
}

void InitCapture() {
  AdapterList.clear();
  Traffic.ClearHistory();
  Capturing = true;
  if (!Monitor) {
    Monitor = std::make_unique<TNetLinkMonitor>();
    if (!Monitor->Valid()) LogLine("adapters are not followed: " + Monitor->ErrorText());
    QObject::connect(Monitor.get(), &TNetLinkMonitor::Changed, Monitor.get(),
                     [] { RefreshWatchers(); });
  }
  const std::string error = EnumerateAdapters();
  // Shown once under the same key as the capture component's own listing error.
  if (!error.empty()) ReportError(kSnoopListKey, error);
}

namespace {
void RefreshOnce();
}  // namespace

bool FollowingChanges() {
  return Monitor && Monitor->Valid();
}

std::string CaptureProblem() {
  if (PermissionMissing) return "capture is off: no permission to capture";
  if (!ListFailure.empty()) return "capture is off: the adapters cannot be listed";
  std::string lost;
  for (int32_t k = 0; k < WatcherCount; ++k) {
    if (!Watchers[k]->Lost || !ChoiceIncludes(k)) continue;
    lost += lost.empty() ? "" : ", ";
    lost += Watchers[k]->DeviceName;
  }
  return lost.empty() ? std::string() : "capture stopped on " + lost;
}

void RefreshWatchers() {
  // A handler that runs the event loop must not start a second pass over the same table; the
  // pass that is running goes round once more instead.
  static bool running = false;
  static bool again = false;
  if (running) {
    again = true;
    return;
  }
  running = true;
  do {
    again = false;
    RefreshOnce();
  } while (again);
  running = false;
  Q_EMIT AdapterEvents().WatchersChanged();
}

namespace {

// Lets go of watcher k, whose adapter is gone: its capture, its place in the table and in the
// list. The user's one chosen adapter keeps its place, so that it resumes when it comes back.
void ReleaseWatcher(int32_t k) {
  Watchers[k].reset();
  for (int32_t i = k; i + 1 < WatcherCount; ++i) Watchers[i] = std::move(Watchers[i + 1]);
  --WatcherCount;
  AdapterList.erase(AdapterList.begin() + k);
  if (!Cfg.AllInterfaces && static_cast<int32_t>(Cfg.InterfaceIndex) > k) --Cfg.InterfaceIndex;
}

void RefreshOnce() {
  std::string error;
  const TDeviceList list = FindAllDevices(error);
  ListFailure = error;
  if (!error.empty()) {
    LogLine("cannot list capture devices: " + error);
    return;
  }
  bool listChanged = false;
  for (int32_t k = 0; k < WatcherCount; ++k) {
    TWatch& w = *Watchers[k];
    const pcap_if_t* dev = FindDevice(list.get(), w.DeviceName);
    const unsigned ifIndex = dev != nullptr ? if_nametoindex(w.DeviceName.c_str()) : 0;
    if (dev != nullptr) ReadDevice(*dev, w);
    if (w.Snoop->Active() && (ifIndex == 0 || ifIndex != w.OpenIfIndex)) {
      // The device went away, perhaps to come back under its name: its capture sees nothing
      // more, whether or not its reader has noticed yet.
      w.Snoop->Close();
      if (!w.Lost) MarkLost(w, ifIndex == 0 ? "the adapter is gone" : "the adapter was replaced");
    }
    const bool chosen = !Cfg.AllInterfaces && static_cast<int32_t>(Cfg.InterfaceIndex) == k;
    if (ifIndex == 0 && !chosen) {
      LogLine("the network adapter " + AdapterLabel(w) + " is gone; it is no longer watched");
      ReleaseWatcher(k--);
      listChanged = true;
      continue;
    }
    if (w.Lost && !w.Snoop->Active() && ifIndex != 0 && ChoiceIncludes(k)) OpenWatcher(w);
  }

  // Devices not watched yet, appended so that every watcher keeps its place.
  std::vector<TWatchedDevice> fresh;
  std::vector<std::string> leftOut;
  for (const TWatchedDevice& d : SelectWatchedDevices(list.get(), kMaxWatchers * 4)) {
    bool known = false;
    for (int32_t k = 0; k < WatcherCount && !known; ++k) known = Watchers[k]->DeviceName == d.Name;
    if (known) continue;
    if (WatcherCount + static_cast<int32_t>(fresh.size()) < kMaxWatchers)
      fresh.push_back(d);
    else
      leftOut.push_back(d.Name);
  }
  const int32_t first = WatcherCount;
  for (const TWatchedDevice& d : fresh) AddWatcher(d);
  listChanged = ReadTopology() || listChanged || !fresh.empty();
  for (int32_t k = 0; k < WatcherCount; ++k) {
    TWatch& w = *Watchers[k];
    if (ChoiceIncludes(k)) {
      if (k < first) continue;
      if (Cfg.AllInterfaces)
        OpenWatcher(w);
      else
        MonitorOneAdapter(k);  // the one adapter the user chose has come
    } else if (Cfg.AllInterfaces && Capturing && w.Snoop->Active()) {
      // Its traffic is now counted on another adapter.
      w.Snoop->Close();
    }
  }
  TellLeftOut(leftOut);
  if (listChanged) Q_EMIT AdapterEvents().AdapterListChanged();
}

}  // namespace

void StartAllWatchers() {
  Capturing = true;
  for (int32_t k = 0; k < WatcherCount; ++k) {
    TWatch& w = *Watchers[k];
    // An adapter whose traffic another counts is left closed (Cfg.AllInterfaces may not be set
    // yet when the options are applied, so the rule is asked here directly).
    if (!w.NotUnderAll.empty()) {
      if (w.Snoop->Active()) w.Snoop->Close();
      continue;
    }
    if (!w.Snoop->Active()) OpenWatcher(w);
  }
  Q_EMIT AdapterEvents().WatchersChanged();
}

void StopAllWatchers() {
  Capturing = false;
  std::vector<TRemoteSnoop*> open;
  for (int32_t k = 0; k < WatcherCount; ++k)
    if (Watchers[k]->Snoop->Active()) open.push_back(Watchers[k]->Snoop.get());
  CloseTogether(open);
  Q_EMIT AdapterEvents().WatchersChanged();
}

void MonitorOneAdapter(int32_t index) {
  if (index >= WatcherCount) return;
  Capturing = true;
  std::vector<TRemoteSnoop*> others;
  for (int32_t k = 0; k < WatcherCount; ++k) {
    TRemoteSnoop& s = *Watchers[k]->Snoop;
    if (k == index && !s.Active()) OpenWatcher(*Watchers[k]);
    if (k != index && s.Active()) others.push_back(&s);
  }
  CloseTogether(others);
  Q_EMIT AdapterEvents().WatchersChanged();
}

void ReleaseWatchers() {
  // No refresh may run on watchers that are going.
  Monitor.reset();
  for (int32_t k = 0; k < WatcherCount; ++k) Watchers[k].reset();
  WatcherCount = 0;
  AdapterList.clear();
  ToldLeftOut.clear();
  PermissionMissing = false;
  ListFailure.clear();
  Capturing = false;
}

}  // namespace zul
