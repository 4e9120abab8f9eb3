// The network links of this machine as the kernel names them, with their hardware addresses.
// Qt-free.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zul {

struct TNetLink {
  std::string Name;
  // A 6-byte hardware address; HasHardwareAddress is false for links without one (tunnels).
  std::array<uint8_t, 6> HardwareAddress{};
  bool HasHardwareAddress = false;
};

// The links in the kernel's order. Returns an empty list when the kernel cannot be asked.
std::vector<TNetLink> ListNetLinks();

}  // namespace zul
