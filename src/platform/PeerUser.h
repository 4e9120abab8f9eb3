// Who is at the other end of a TCP connection on this machine: the user that owns the client's
// socket, as the kernel's socket diagnostics tell it. Qt-free.
#pragma once

#include <cstdint>
#include <optional>

namespace zul {

// The user id of the socket at the other end of the connected TCP socket `fd`, when that socket
// lives on this machine (loopback) in the same network namespace. nullopt when the kernel does
// not tell (the client has gone, no socket diagnostics). Never throws.
std::optional<uint32_t> LocalPeerUser(int fd);

}  // namespace zul
