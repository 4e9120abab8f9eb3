#include "capture/AppIdentity.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/UniqueFd.h"

namespace zul {
namespace {

constexpr std::size_t kMaxName = 255;

bool EndsWith(std::string_view s, std::string_view end) {
  return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

bool IsHex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// Control characters become '?': the name goes into the log and onto the screen.
std::string Printable(std::string_view s) {
  std::string out(s.substr(0, kMaxName));
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  return out;
}

// "-2a0c2d8e-7f61-4b11-9b34-0123456789ab" at the end of a snap's scope name.
std::string_view WithoutUuid(std::string_view s) {
  constexpr std::size_t kUuid = 36;
  if (s.size() <= kUuid + 1 || s[s.size() - kUuid - 1] != '-') return s;
  const std::string_view u = s.substr(s.size() - kUuid);
  for (std::size_t i = 0; i < kUuid; ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? u[i] != '-' : !IsHex(u[i])) return s;
  }
  return s.substr(0, s.size() - kUuid - 1);
}

// The identity of an `app-...` unit, or empty.
std::string AppUnitIdentity(std::string_view unit) {
  std::string_view rest = unit.substr(4);
  if (EndsWith(rest, ".scope")) {
    rest.remove_suffix(6);
    // The launcher's number for this start.
    const std::size_t dash = rest.rfind('-');
    if (dash != std::string_view::npos) rest = rest.substr(0, dash);
  } else {
    rest.remove_suffix(8);  // ".service"
    const std::size_t at = rest.find('@');
    if (at != std::string_view::npos) rest = rest.substr(0, at);
  }
  // Dashes in an identity are escaped, so an unescaped one ends the launcher's name.
  const std::size_t dash = rest.find('-');
  if (dash != std::string_view::npos) rest = rest.substr(dash + 1);
  return UnescapeUnitName(rest);
}

// The identity that one component of a cgroup path gives; empty when it gives none.
std::string ComponentIdentity(std::string_view c) {
  if (c.starts_with("app-") && (EndsWith(c, ".scope") || EndsWith(c, ".service")))
    return AppUnitIdentity(c);
  if (c.starts_with("snap.")) {
    std::string_view rest = c.substr(5);
    const std::size_t dot = rest.find('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    const std::string_view name = rest.substr(0, dot);
    std::string_view app = rest.substr(dot + 1);
    app = app.substr(0, app.find('.'));
    app = WithoutUuid(app);
    if (app.empty()) return {};
    return std::string(name) + "_" + std::string(app);
  }
  // The user's service manager holds the whole session: not an application.
  if (EndsWith(c, ".service") && !c.starts_with("user@")) return UnescapeUnitName(c);
  return {};
}

}  // namespace

std::string UnescapeUnitName(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && IsHex(s[i + 2]) && IsHex(s[i + 3])) {
      out += static_cast<char>(std::stoi(std::string(s.substr(i + 2, 2)), nullptr, 16));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string AppIdentity(std::string_view cgroupPath, std::string_view processName) {
  std::string_view path = cgroupPath;
  std::string_view leaf;
  while (!path.empty()) {
    const std::size_t slash = path.rfind('/');
    const std::string_view c = slash == std::string_view::npos ? path : path.substr(slash + 1);
    path = slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash);
    if (c.empty()) continue;
    if (leaf.empty()) leaf = c;
    // The nearest scope or service decides; slices and a service's own sub-groups are passed.
    if (EndsWith(c, ".scope") || EndsWith(c, ".service")) {
      std::string id = ComponentIdentity(c);
      if (!id.empty()) return Printable(id);
      break;
    }
  }
  if (!processName.empty()) return Printable(processName);
  if (!leaf.empty()) return Printable(leaf);
  return "unknown";
}

std::string FindCgroup2Mount(std::string_view mountinfo) {
  std::istringstream lines{std::string(mountinfo)};
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t sep = line.find(" - ");
    if (sep == std::string::npos) continue;
    std::istringstream after(line.substr(sep + 3));
    std::string fstype;
    after >> fstype;
    if (fstype != "cgroup2") continue;
    std::istringstream before(line.substr(0, sep));
    std::string id, parent, dev, root, point;
    if (!(before >> id >> parent >> dev >> root >> point) || root != "/") continue;
    // The table escapes spaces, tabs, newlines and backslashes as three octal digits.
    std::string out;
    for (std::size_t i = 0; i < point.size(); ++i) {
      if (point[i] == '\\' && i + 3 < point.size()) {
        const std::string oct = point.substr(i + 1, 3);
        if (std::all_of(oct.begin(), oct.end(), [](char c) { return c >= '0' && c <= '7'; })) {
          out += static_cast<char>(std::stoi(oct, nullptr, 8));
          i += 3;
          continue;
        }
      }
      out += point[i];
    }
    return out;
  }
  return {};
}

std::optional<std::string> TCgroupPaths::Find(uint64_t id, bool mayRescan) {
  auto it = Paths.find(id);
  if (it == Paths.end() && mayRescan) {
    Scan();
    it = Paths.find(id);
  }
  if (it == Paths.end()) return std::nullopt;
  return it->second;
}

void TCgroupPaths::Scan() {
  ++FScans;
  Paths.clear();
  // Depth first, by descriptors relative to their parent: no path is built twice, and a folder
  // that goes away meanwhile is passed over.
  struct TLevel {
    TUniqueFd Fd;
    std::string Path;
  };
  std::vector<TLevel> todo;
  TUniqueFd root(::open(Root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) return;
  struct stat st {};
  if (::fstat(root.Get(), &st) != 0) return;
  Paths[st.st_ino] = "/";
  todo.push_back({std::move(root), ""});
  while (!todo.empty() && Paths.size() < 1'000'000) {
    TLevel level = std::move(todo.back());
    todo.pop_back();
    DIR* dir = ::fdopendir(::dup(level.Fd.Get()));
    if (dir == nullptr) continue;
    while (const dirent* e = ::readdir(dir)) {
      if (e->d_type != DT_DIR || e->d_name[0] == '.') continue;
      TUniqueFd child(::openat(level.Fd.Get(), e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (!child || ::fstat(child.Get(), &st) != 0) continue;
      std::string path = level.Path + "/" + e->d_name;
      Paths[st.st_ino] = path;
      todo.push_back({std::move(child), std::move(path)});
    }
    ::closedir(dir);
  }
}

std::optional<TDesktopEntry> ParseDesktopEntry(std::string_view text) {
  std::istringstream lines{std::string(text.substr(0, 1 << 20))};
  std::string line;
  bool inEntry = false;
  TDesktopEntry e;
  std::string type;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    if (!inEntry) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    std::string value = line.substr(eq + 1);
    value.erase(0, value.find_first_not_of(' '));
    if (key == "Name" && e.Name.empty()) e.Name = Printable(value);
    if (key == "Icon" && e.Icon.empty()) e.Icon = Printable(value);
    if (key == "Type") type = value;
  }
  if (e.Name.empty() || (!type.empty() && type != "Application")) return std::nullopt;
  return e;
}

std::vector<std::string> DesktopEntryDirs(const char* dataHome, const char* dataDirs,
                                          const char* home) {
  std::vector<std::string> data;
  const std::string homeDir = home != nullptr ? home : "";
  if (dataHome != nullptr && dataHome[0] == '/')
    data.emplace_back(dataHome);
  else if (!homeDir.empty())
    data.push_back(homeDir + "/.local/share");
  if (!data.empty()) data.push_back(data.front() + "/flatpak/exports/share");
  std::string dirs =
      dataDirs != nullptr && dataDirs[0] != '\0' ? dataDirs : "/usr/local/share:/usr/share";
  std::istringstream parts(dirs);
  std::string d;
  while (std::getline(parts, d, ':'))
    if (!d.empty() && d[0] == '/') data.push_back(d);
  data.emplace_back("/var/lib/flatpak/exports/share");
  std::vector<std::string> out;
  for (std::string& x : data) {
    while (x.size() > 1 && x.back() == '/') x.pop_back();
    std::string apps = x + "/applications";
    if (std::find(out.begin(), out.end(), apps) == out.end()) out.push_back(std::move(apps));
  }
  out.emplace_back("/var/lib/snapd/desktop/applications");
  return out;
}

std::vector<std::string> DesktopEntryDirs() {
  return DesktopEntryDirs(std::getenv("XDG_DATA_HOME"), std::getenv("XDG_DATA_DIRS"),
                          std::getenv("HOME"));
}

std::optional<TDesktopEntry> FindDesktopEntry(std::string_view id,
                                              const std::vector<std::string>& dirs) {
  if (id.empty() || id.find('/') != std::string_view::npos || id.starts_with(".")) return {};
  // "a-b-c" may also be "a/b-c.desktop" or "a/b/c.desktop".
  std::vector<std::string> names{std::string(id) + ".desktop"};
  std::string sub(id);
  for (std::size_t dash = sub.find('-'); dash != std::string::npos; dash = sub.find('-', dash)) {
    sub[dash] = '/';
    names.push_back(sub + ".desktop");
  }
  for (const std::string& dir : dirs)
    for (const std::string& name : names) {
      std::ifstream f(dir + "/" + name, std::ios::binary);
      if (!f) continue;
      std::string text(64 * 1024, '\0');
      f.read(text.data(), static_cast<std::streamsize>(text.size()));
      text.resize(static_cast<std::size_t>(f.gcount()));
      if (auto e = ParseDesktopEntry(text)) return e;
    }
  return std::nullopt;
}

}  // namespace zul
