// The capture library's device listing as it travels from the capture helper to the program:
// one record per device with its flags, name, description and addresses. The program rebuilds
// it in nodes laid out like the library's own, so that code that walks a listing reads either
// alike. No Qt.
#pragma once

#include <pcap/pcap.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace zul {

inline constexpr std::size_t kMaxNameBytes = 1024;
inline constexpr std::size_t kMaxListedAddresses = 256;

class TDeviceList {
 public:
  TDeviceList() = default;
  TDeviceList(TDeviceList&&) = default;
  TDeviceList& operator=(TDeviceList&&) = default;
  TDeviceList(const TDeviceList&) = delete;
  TDeviceList& operator=(const TDeviceList&) = delete;

  const pcap_if_t* get() const { return Nodes.empty() ? nullptr : &Nodes.front(); }
  std::size_t size() const { return Nodes.size(); }

  // The name and description are copied; the last entry added comes last.
  pcap_if_t& AddDevice(const std::string& name, const std::string& description, uint32_t flags);
  // `family` AF_INET or AF_INET6; null for an address the entry lacks.
  void AddAddress(pcap_if_t& dev, int family, const uint8_t* addr, const uint8_t* netmask,
                  const uint8_t* broadcast, uint32_t scope);

 private:
  sockaddr* Sockaddr(int family, const uint8_t* bytes, uint32_t scope);
  std::deque<pcap_if_t> Nodes;
  std::deque<pcap_addr_t> Addresses;
  std::deque<sockaddr_storage> Sockaddrs;
  std::deque<std::string> Texts;
};

// The payload of one device record.
void EncodeDevice(const pcap_if_t& dev, std::vector<uint8_t>& out);
// Appends the device a record describes to `list`. False with the reason when the payload
// cannot be a device.
bool DecodeDevice(const uint8_t* p, std::size_t n, TDeviceList& list, std::string& error);

}  // namespace zul
