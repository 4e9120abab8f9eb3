#include "platform/Autostart.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/Files.h"
#include "platform/UniqueFd.h"

namespace zul {
namespace {

constexpr const char* kEntryName = "TFZUL.desktop";
constexpr const char* kGroup = "[Desktop Entry]";

std::string ErrnoText(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + std::strerror(err);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string Trimmed(const std::string& s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && (IsBlank(s[e - 1]) || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

// The key-file escapes of a string value. Other backslash pairs are left for the quoting rules,
// as files written by hand often carry them.
std::string UnescapeString(const std::string& v) {
  std::string out;
  out.reserve(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\' || i + 1 == v.size()) {
      out += v[i];
      continue;
    }
    const char n = v[++i];
    switch (n) {
      case 's':
        out += ' ';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '\\':
        out += '\\';
        break;
      default:
        out += '\\';
        out += n;
    }
  }
  return out;
}

bool IsQuoteEscaped(char c) {
  return c == '"' || c == '`' || c == '$' || c == '\\';
}

// "%%" stands for one '%'; any other field code has no place in the program's own path.
bool DecodePercent(const std::string& arg, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < arg.size(); ++i) {
    if (arg[i] != '%') {
      out += arg[i];
      continue;
    }
    if (i + 1 == arg.size() || arg[i + 1] != '%') return false;
    out += '%';
    ++i;
  }
  return true;
}

}  // namespace

std::string AutostartDir() {
  std::string base;
  if (const char* dirs = std::getenv("XDG_CONFIG_DIRS")) {
    const std::string list = dirs;
    std::size_t from = 0;
    while (from <= list.size()) {
      std::size_t to = list.find(':', from);
      if (to == std::string::npos) to = list.size();
      // Relative entries are invalid by the XDG rules and are skipped.
      if (to > from && list[from] == '/') {
        base = list.substr(from, to - from);
        break;
      }
      from = to + 1;
    }
  }
  if (base.empty()) base = "/etc/xdg";
  if (base.back() != '/') base += '/';
  return base + "autostart/";
}

std::string AutostartFile() {
  return AutostartDir() + kEntryName;
}

std::string ExecutablePath() {
  char resolved[PATH_MAX] = {};
  if (realpath("/proc/self/exe", resolved) == nullptr)
    throw std::runtime_error(ErrnoText("Cannot resolve", "/proc/self/exe", errno));
  return resolved;
}

std::string ExecValueFor(const std::string& program) {
  std::string quoted = "\"";
  for (const char c : program) {
    if (c == '%') {
      quoted += "%%";
      continue;
    }
    if (IsQuoteEscaped(c)) quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  // The string escapes apply on top of the quoting: every backslash doubles.
  std::string value;
  for (const char c : quoted) {
    switch (c) {
      case '\\':
        value += "\\\\";
        break;
      case '\n':
        value += "\\n";
        break;
      case '\t':
        value += "\\t";
        break;
      case '\r':
        value += "\\r";
        break;
      default:
        value += c;
    }
  }
  return value;
}

std::string ProgramOfExec(const std::string& value) {
  const std::string v = UnescapeString(value);
  std::size_t i = 0;
  while (i < v.size() && (v[i] == ' ' || v[i] == '\t' || v[i] == '\n')) ++i;
  if (i == v.size()) return {};
  std::string arg;
  if (v[i] == '"') {
    bool closed = false;
    for (++i; i < v.size(); ++i) {
      if (v[i] == '"') {
        closed = true;
        ++i;
        break;
      }
      if (v[i] == '\\' && i + 1 < v.size() && IsQuoteEscaped(v[i + 1])) ++i;
      arg += v[i];
    }
    // The argument must end at its closing quote.
    if (!closed || (i < v.size() && v[i] != ' ' && v[i] != '\t')) return {};
  } else {
    while (i < v.size() && v[i] != ' ' && v[i] != '\t') {
      // Reserved characters must be quoted; unquoted they make the line malformed.
      if (v[i] == '"' || v[i] == '\'' || v[i] == '\\' || v[i] == '`') return {};
      arg += v[i++];
    }
  }
  std::string program;
  if (!DecodePercent(arg, program)) return {};
  return program;
}

std::optional<std::string> ExecOfDesktopText(const std::string& text) {
  bool inGroup = false;
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t to = text.find('\n', from);
    if (to == std::string::npos) to = text.size();
    const std::string line = Trimmed(text.substr(from, to - from));
    from = to + 1;
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inGroup = line == kGroup;
      continue;
    }
    if (!inGroup) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    // Localised keys such as Exec[de] are not the program.
    if (Trimmed(line.substr(0, eq)) != "Exec") continue;
    return Trimmed(line.substr(eq + 1));
  }
  return std::nullopt;
}

TAutostartEntry ReadAutostart(const std::string& file) {
  // Non-blocking, so that a pipe put in the entry's place cannot stall the dialog.
  const TUniqueFd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    throw std::runtime_error(ErrnoText("Cannot open", file, errno));
  }
  TAutostartEntry entry;
  entry.Exists = true;
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) throw std::runtime_error(ErrnoText("Cannot read", file, errno));
  if (!S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(kAutostartMaxBytes)) return entry;
  std::string text(kAutostartMaxBytes + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = read(fd.Get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error(ErrnoText("Cannot read", file, errno));
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  // The file grew while it was read.
  if (got > kAutostartMaxBytes) return entry;
  text.resize(got);
  if (const std::optional<std::string> exec = ExecOfDesktopText(text))
    entry.Program = ProgramOfExec(*exec);
  return entry;
}

void WriteAutostart(const std::string& file, const std::string& program) {
  const std::size_t slash = file.rfind('/');
  if (slash != std::string::npos && slash > 0)
    MakeDirs(file.substr(0, slash), 0755, "autostart folder");
  const std::string text = std::string(kGroup) +
                           "\nType=Application\nName=ZUL\nExec=" + ExecValueFor(program) +
                           "\nTerminal=false\n";
  // Replaced whole, so that a session starting meanwhile finds the old entry or the new one;
  // readable by every user's session.
  WriteFileAtomically(file, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, 0644,
                      "autostart entry");
}

void DeleteAutostart(const std::string& file) {
  if (unlink(file.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR)
    throw std::runtime_error(ErrnoText("Cannot remove", file, errno));
}

bool SamePathIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

void SetupAutostart(bool on, const std::string& file, const std::string& program) {
  const TAutostartEntry entry = ReadAutostart(file);
  if (!on) {
    if (entry.Exists) DeleteAutostart(file);
    return;
  }
  // An entry left by another copy that could not be removed must not pass for this one's.
  if (entry.Exists && SamePathIgnoringAsciiCase(entry.Program, program)) return;
  WriteAutostart(file, program);
}

std::optional<bool> CheckAutostart(const std::string& file, const std::string& program) {
  TAutostartEntry entry;
  try {
    entry = ReadAutostart(file);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!entry.Exists) return false;
  if (!entry.Program.empty() && SamePathIgnoringAsciiCase(entry.Program, program)) return true;
  try {
    DeleteAutostart(file);
  } catch (const std::exception&) {
    // Not ours to remove (no rights): it still does not start this copy.
  }
  return false;
}

}  // namespace zul
