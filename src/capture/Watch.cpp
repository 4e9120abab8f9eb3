#include "capture/Watch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "capture/Traffic.h"
#include "platform/ErrorReport.h"
#include "platform/NetLinks.h"

namespace zul {

const char* const kCapturePermissionText =
    "ZUL may not capture network traffic, so no traffic is counted. Capture needs the "
    "capabilities cap_net_raw,cap_net_admin or root: run ZUL as root, or grant them once with "
    "\"setcap cap_net_raw,cap_net_admin=eip\" on the program file, then start ZUL again.";

std::array<std::unique_ptr<TWatch>, kMaxWatchers> Watchers;
int32_t WatcherCount = 0;
std::vector<std::string> AdapterList;

namespace {

bool HasNetworkAddress(const pcap_if_t& dev) {
  // Linux lists a link-layer entry for every device; only a network address makes an adapter.
  for (const pcap_addr_t* a = dev.addresses; a != nullptr; a = a->next) {
    if (a->addr != nullptr && (a->addr->sa_family == AF_INET || a->addr->sa_family == AF_INET6))
      return true;
  }
  return false;
}

std::string DottedText(uint32_t networkOrder) {
  in_addr a{};
  a.s_addr = networkOrder;
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &a, text, sizeof(text)) == nullptr) return {};
  return text;
}

// Listing failures that come from missing rights read like this in the library's text.
bool LooksLikePermission(const std::string& text) {
  return text.find("ermission") != std::string::npos ||
         text.find("not permitted") != std::string::npos;
}

}  // namespace

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

std::vector<TWatchedDevice> SelectWatchedDevices(const pcap_if_t* list) {
  std::vector<TWatchedDevice> picked;
  int32_t i = 0;
  for (const pcap_if_t* d = list; d != nullptr; d = d->next, ++i) {
    if (!HasNetworkAddress(*d)) continue;
    // Traffic between two local programs never touches a network; counting it would double it
    // into LAN upload and download.
    if ((d->flags & PCAP_IF_LOOPBACK) != 0) continue;
    if (picked.size() >= static_cast<std::size_t>(kMaxWatchers)) continue;
    TWatchedDevice w;
    w.Index = i;
    w.Name = d->name != nullptr ? d->name : "";
    w.Description =
        d->description != nullptr && d->description[0] != '\0' ? d->description : w.Name;
    w.Device = d;
    picked.push_back(std::move(w));
  }
  return picked;
}

void FillAddressTable(const pcap_addr_t* addresses, TWatch& W) {
  for (const pcap_addr_t* a = addresses; a != nullptr && W.AddressCount < kMaxAddresses;
       a = a->next) {
    if (a->addr == nullptr || a->netmask == nullptr || a->addr->sa_family != AF_INET) continue;
    sockaddr_in ip{};
    sockaddr_in mask{};
    std::memcpy(&ip, a->addr, sizeof(ip));
    std::memcpy(&mask, a->netmask, sizeof(mask));
    TNetIPMask& e = W.Addresses[W.AddressCount];
    e.IP = ip.sin_addr.s_addr;
    e.Mask = mask.sin_addr.s_addr;
    e.Net = e.IP & e.Mask;
    e.InvMask = ~e.Mask;
    e.IPText = DottedText(e.IP);
    e.MaskText = DottedText(e.Mask);
    ++W.AddressCount;
  }
}

void OpenWatcher(TWatch& W) {
  if (!W.Snoop) return;
  W.Snoop->Open();
  if (W.Snoop->Active()) return;
  std::fprintf(stderr, "zul: cannot capture on %s: %s\n", W.Snoop->AdapterName().c_str(),
               W.Snoop->LastError().c_str());
  if (W.Snoop->PermissionDenied()) ReportError(kCapturePermissionKey, kCapturePermissionText);
}

std::string EnumerateAdapters() {
  std::string error;
  const TDeviceList list = FindAllDevices(error);
  if (!error.empty()) {
    std::fprintf(stderr, "zul: cannot list capture devices: %s\n", error.c_str());
    if (LooksLikePermission(error)) ReportError(kCapturePermissionKey, kCapturePermissionText);
    return error;
  }
  for (const TWatchedDevice& d : SelectWatchedDevices(list.get())) {
    if (WatcherCount >= kMaxWatchers) break;
    AdapterList.push_back(d.Description);
    auto owned = std::make_unique<TWatch>(Traffic.Counters);
    TWatch* w = owned.get();
    w->Snoop = std::make_unique<TSnoop>();
    w->Snoop->SetAdapterIndex(d.Index);
    // The capture lists the devices again; should the listing have changed in between, the name
    // still picks the right device.
    if (w->Snoop->AdapterName() != d.Name) w->Snoop->SetAdapterName(d.Name);
    w->Snoop->OnCapture = [w](TSnoop* sender, const pcap_pkthdr* header, const uint8_t* frame) {
      w->HandlePacket(sender, header, frame);
    };
    w->Snoop->Flags = 1;
    w->MACFound = GetAdapterMAC(GuidPartOf(d.Name), w->MAC) && w->MAC != TMacAddress{};
    FillAddressTable(d.Device->addresses, *w);
    Watchers[WatcherCount] = std::move(owned);
    OpenWatcher(*w);
    ++WatcherCount;
  }
  return {};
}

void InitCapture() {
  AdapterList.clear();
  Traffic.ClearHistory();
  const std::string error = EnumerateAdapters();
  // Shown once under the same key as the capture component's own listing error.
  if (!error.empty()) ReportError(kSnoopListKey, error);
}

void StartAllWatchers() {
  for (int32_t k = 0; k < WatcherCount; ++k) {
    if (!Watchers[k]->Snoop->Active()) OpenWatcher(*Watchers[k]);
  }
}

void StopAllWatchers() {
  for (int32_t k = 0; k < WatcherCount; ++k) {
    if (Watchers[k]->Snoop->Active()) Watchers[k]->Snoop->Close();
  }
}

void MonitorOneAdapter(int32_t index) {
  if (index >= WatcherCount) return;
  for (int32_t k = 0; k < WatcherCount; ++k) {
    TSnoop& s = *Watchers[k]->Snoop;
    if (k == index && !s.Active()) OpenWatcher(*Watchers[k]);
    if (k != index && s.Active()) s.Close();
  }
}

void ReleaseWatchers() {
  for (int32_t k = 0; k < WatcherCount; ++k) Watchers[k].reset();
  WatcherCount = 0;
  AdapterList.clear();
}

}  // namespace zul
