// `zul-capture --apps`: counts the traffic of this machine's applications on the adapters the
// program names, by the kernel's counting programs, and writes each second's bytes per
// application. No Qt.
#pragma once

#include <csignal>
#include <string>
#include <vector>

#include "capture/HelperStream.h"
#include "capture/apps/AppKernel.h"

namespace zul {

// Runs until the input closes or a stop signal comes; returns a THelperExit.
int RunApps(const volatile sig_atomic_t& stop);

// The subnets the programs take as LAN: those of the tables, and the multicast and link-local
// ranges that never leave the site, as the frame classification has them.
std::vector<TKernelSubnet> LanSubnets(const TWatchedAdapters& adapters);

}  // namespace zul
