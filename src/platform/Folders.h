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
// private and writable, else a private folder of our own under $TMPDIR (default /tmp): the first
// of zul-UID, zul-UID.1 ... zul-UID.9 that is, or can be made, a folder owned by this user, closed
// to others and not a link (made writable to us again if it was closed); else a fresh
// zul-UID-XXXXXX. Ends with '/'. Throws std::runtime_error when no private folder can be had.
std::string FindRuntimeDir();

// How many fixed names FindRuntimeDir tries under the temporary folder before a random one.
inline constexpr int kRuntimeDirNames = 10;

}  // namespace zul
