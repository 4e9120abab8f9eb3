// The local address table of one adapter: its hardware address, IPv4 subnets and IPv6 prefixes,
// which is all the classification needs. Plain data, so that the program, the capture helper,
// the tests and the fuzzers build tables without starting anything. No Qt.
#pragma once

#include <pcap/pcap.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zul {

using TMacAddress = std::array<uint8_t, 6>;

inline constexpr int kMaxAddresses = 16;

// One local IPv4 address with its netmask; the numbers in network byte order.
struct TNetIPMask {
  uint32_t IP = 0;
  uint32_t Net = 0;  // IP AND Mask
  uint32_t Mask = 0;
  std::string IPText;
  std::string MaskText;
  uint32_t InvMask = 0;  // NOT Mask
};

// One local IPv6 address with its prefix. Net and Mask are the address's two 8-byte halves as
// they stand in memory, so that a header's halves compare without conversion.
struct TNetIP6Mask {
  std::array<uint8_t, 16> IP{};
  std::array<uint64_t, 2> Net{};  // IP AND Mask
  std::array<uint64_t, 2> Mask{};
  int32_t PrefixLength = 0;
  std::string IPText;
};

struct TAddressTable {
  TMacAddress MAC{};
  // Whether MAC is the device's real address; an address that was not found matches no frame.
  bool MACFound = false;
  std::array<TNetIPMask, kMaxAddresses> Addresses{};
  int32_t AddressCount = 0;
  // The IPv6 prefixes of the device; link-local ones are not kept, fe80::/10 is always local.
  std::array<TNetIP6Mask, kMaxAddresses> Addresses6{};
  int32_t Address6Count = 0;
  // The adapter holds no default route while another does: what this computer forwards through
  // it to the Internet counts on the uplink it leaves by, not here too.
  bool Downstream = false;
};

// Whether two tables classify alike (the texts aside).
bool SameAddresses(const TAddressTable& a, const TAddressTable& b);

// Adds an IPv4 address with its netmask (network byte order) while the table has room.
void AddAddress(TAddressTable& t, uint32_t ip, uint32_t mask);
// Adds an IPv6 address with its 16-byte mask while the table has room; link-local ones are
// left out.
void AddAddress6(TAddressTable& t, const uint8_t* ip, const uint8_t* mask);

// Fills the table from a device's address entries: IPv4 entries with a netmask, the first
// kMaxAddresses of them.
void FillAddressTable(const pcap_addr_t* addresses, TAddressTable& t);
// Fills the IPv6 prefixes the same way: entries with a netmask that are not link-local.
void FillAddressTable6(const pcap_addr_t* addresses, TAddressTable& t);

// Whether A (network byte order) is one of the table's own IPv4 addresses.
bool IsOwnAddress(const TAddressTable& t, uint32_t A);
// Whether the 16 bytes at A are one of the table's own IPv6 addresses.
bool IsOwnAddress6(const TAddressTable& t, const uint8_t* A);

// The table as the program sends it to the capture helper: the hardware address, its flags, then
// the subnets and prefixes as address and mask. No texts.
inline constexpr std::size_t kTableFixedBytes = 12;
inline constexpr std::size_t kTableEntryBytes = 8;
inline constexpr std::size_t kTableEntry6Bytes = 32;
inline constexpr std::size_t kMaxTableBytes =
    kTableFixedBytes + kMaxAddresses * (kTableEntryBytes + kTableEntry6Bytes);
void EncodeTable(const TAddressTable& t, std::vector<uint8_t>& out);
// Decodes what EncodeTable wrote. False with the reason when the bytes cannot be a table; `t` is
// then unchanged.
bool DecodeTable(std::span<const uint8_t> bytes, TAddressTable& t, std::string& error);

}  // namespace zul
