// Start with the desktop session: a machine-wide XDG autostart entry "TFZUL.desktop" whose Exec
// line starts the program. Only root may write the system folder, as only an administrator may
// change the machine's start-up list elsewhere. Qt-free.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace zul {

// The largest entry that is read; anything longer is not one of ours and counts as damaged.
inline constexpr std::size_t kAutostartMaxBytes = 64 * 1024;

// The first absolute folder of XDG_CONFIG_DIRS (default /etc/xdg) + "/autostart/".
std::string AutostartDir();
// AutostartDir() + "TFZUL.desktop".
std::string AutostartFile();

// The running executable's canonical absolute path. Throws std::runtime_error when the system
// does not tell it.
std::string ExecutablePath();

// Exec value that starts `program` with no arguments: the path quoted as one argument, then
// escaped as a key-file string value, so that blanks, quotes, '$', '%' and backslashes survive.
std::string ExecValueFor(const std::string& program);
// The program of an Exec value: its first argument, unescaped and unquoted. Empty when the value
// is malformed (an open quote, a stray field code) or holds no argument.
std::string ProgramOfExec(const std::string& value);

// The Exec value of the "[Desktop Entry]" group of a desktop file's text; nullopt when absent.
std::optional<std::string> ExecOfDesktopText(const std::string& text);

struct TAutostartEntry {
  bool Exists = false;
  // The program the entry starts; empty when the file is damaged (no readable Exec line, not a
  // regular file, too long).
  std::string Program;
};

// Reads the entry at `file`, at most kAutostartMaxBytes of it, never blocking on a special file.
// An entry that is missing, or whose folder is missing or is a file, does not exist. Throws
// std::runtime_error when the entry cannot be read.
TAutostartEntry ReadAutostart(const std::string& file);
// Writes the entry for `program`, replacing any entry atomically, and creates its folder when it
// is missing. Throws std::runtime_error when that is not allowed or fails.
void WriteAutostart(const std::string& file, const std::string& program);
// Removes the entry; a missing one is fine. Throws std::runtime_error on failure.
void DeleteAutostart(const std::string& file);

// Whether two paths are the same when ASCII letters are compared without case.
bool SamePathIgnoringAsciiCase(const std::string& a, const std::string& b);

// "Load with windows" ticked or not: `on` keeps an entry that starts `program` (ASCII case
// aside) and writes one in place of any other (none, damaged, another copy's); not `on` removes
// the entry. Nothing is written when nothing needs to change. Throws std::runtime_error on
// failure.
void SetupAutostart(bool on, const std::string& file, const std::string& program);
// Whether the entry starts `program`. An entry for anything else (another copy, a damaged file)
// is removed as far as that is allowed, and reads as false. nullopt when the entry cannot be read.
std::optional<bool> CheckAutostart(const std::string& file, const std::string& program);

}  // namespace zul
