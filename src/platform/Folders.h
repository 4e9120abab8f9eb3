// Where the program finds itself and keeps its files.
#pragma once

#include <string>

#include "platform/Files.h"

namespace zul {

// Folder of the running executable, ending with '/'.
std::string FindExeDir();

// The per-user data folder: $XDG_DATA_HOME (default ~/.local/share) + "/Halvane/ZUL/".
std::string FindDataDir();

// The per-user runtime folder for the instance socket and lock: $XDG_RUNTIME_DIR when it is set,
// private and writable, else a private folder of our own under the temporary folder (made
// writable to us again if it was closed). Ends with '/'.
// Throws std::runtime_error when no private folder can be had.
std::string FindRuntimeDir();

}  // namespace zul
