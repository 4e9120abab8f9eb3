// Which application a socket belongs to, told by the cgroup of the process that made it and by
// that process's name, and the desktop entry that gives the application its name and icon. No Qt:
// the capture helper names the applications, the Applications window shows them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zul {

// The application's identity: the desktop identity of the nearest systemd scope or service around
// the process (`app-<launcher>-<id>-<n>.scope`, `app-flatpak-<id>-<n>.scope`,
// `app-<id>@<n>.service`, `snap.<name>.<app>...` as "<name>_<app>", a service's unit name),
// otherwise the process's name. `cgroupPath` is relative to the hierarchy's root
// ("/user.slice/..."). Always a usable name for the stream: printable and at most 255 bytes.
std::string AppIdentity(std::string_view cgroupPath, std::string_view processName);

// A unit name with systemd's escapes ("\x2d") undone.
std::string UnescapeUnitName(std::string_view s);

// Where the cgroup v2 hierarchy is mounted, read from a mount table in the format of
// /proc/self/mountinfo; empty when none is.
std::string FindCgroup2Mount(std::string_view mountinfo);

// The cgroup paths of a hierarchy by cgroup id (the inode number of the cgroup's folder). Found
// ids are kept; an unknown one makes the hierarchy be read again when the caller allows it.
class TCgroupPaths {
 public:
  explicit TCgroupPaths(std::string root) : Root(std::move(root)) {}
  // The cgroup's path relative to the root ("/" for the root itself), if it exists.
  std::optional<std::string> Find(uint64_t id, bool mayRescan);
  std::size_t Scans() const { return FScans; }

 private:
  void Scan();
  std::string Root;
  std::unordered_map<uint64_t, std::string> Paths;
  std::size_t FScans = 0;
};

// What a desktop entry says of its application.
struct TDesktopEntry {
  std::string Name;
  std::string Icon;
  bool operator==(const TDesktopEntry&) const = default;
};

// The "[Desktop Entry]" group's Name and Icon; none when the text is not an application's
// entry or has no Name.
std::optional<TDesktopEntry> ParseDesktopEntry(std::string_view text);

// The folders that hold desktop entries, in the order they are searched: $XDG_DATA_HOME (or
// ~/.local/share), each of $XDG_DATA_DIRS (or /usr/local/share:/usr/share), and Flatpak's and
// snap's export folders, each with "applications" appended.
std::vector<std::string> DesktopEntryDirs(const char* dataHome, const char* dataDirs,
                                          const char* home);
// The same from the environment.
std::vector<std::string> DesktopEntryDirs();

// The entry of the application `id` (without ".desktop"), the first found in `dirs`; an id
// "a-b-c" is also looked for as "a/b-c.desktop" and "a/b/c.desktop", as the desktop entry rules
// name entries in subfolders.
std::optional<TDesktopEntry> FindDesktopEntry(std::string_view id,
                                              const std::vector<std::string>& dirs);

}  // namespace zul
