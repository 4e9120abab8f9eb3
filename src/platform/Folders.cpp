#include "platform/Folders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace zul {
namespace {

std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

std::string EnvOrEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

// A folder that only this user can enter: ours, a directory, no access for group or others.
bool IsPrivateDir(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

// The lock and the socket are created in it.
bool IsWritableDir(const std::string& path) {
  return access(path.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

std::string FindExeDir() {
  std::string buf(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return "./";
  buf.resize(static_cast<std::size_t>(n));
  auto slash = buf.rfind('/');
  return slash == std::string::npos ? std::string("./") : buf.substr(0, slash + 1);
}

std::string FindDataDir() {
  std::string base = EnvOrEmpty("XDG_DATA_HOME");
  // Relative values are invalid by the XDG rules and are ignored.
  if (base.empty() || base.front() != '/') {
    std::string home = EnvOrEmpty("HOME");
    if (home.empty()) home = "/tmp";
    base = WithSlash(home) + ".local/share";
  }
  return WithSlash(base) + "Halvane/ZUL/";
}

std::string FindRuntimeDir() {
  std::string dir = EnvOrEmpty("XDG_RUNTIME_DIR");
  // One we cannot write to is passed over like one that is not private.
  if (!dir.empty() && dir.front() == '/' && IsPrivateDir(dir) && IsWritableDir(dir))
    return WithSlash(dir);

  std::string tmp = EnvOrEmpty("TMPDIR");
  if (tmp.empty() || tmp.front() != '/') tmp = "/tmp";
  // In a shared temporary folder another user may take our name first, as a folder, a file or a
  // link, to catch our socket or keep us from starting. Such a name is passed over for the next
  // one: every start of this user goes down the same list and finds the same folder. Past the
  // list, a fresh random name.
  const std::string base = WithSlash(tmp) + "zul-" + std::to_string(geteuid());
  for (int i = 0; i < kRuntimeDirNames; ++i) {
    const std::string own = i == 0 ? base : base + "." + std::to_string(i);
    if (mkdir(own.c_str(), 0700) != 0 && errno != EEXIST) continue;
    if (!IsPrivateDir(own)) continue;
    // Ours and private, but closed to ourselves (a chmod gone wrong): open it to us again.
    if (!IsWritableDir(own) && (chmod(own.c_str(), 0700) != 0 || !IsWritableDir(own))) continue;
    return WithSlash(own);
  }
  std::string fresh = base + "-XXXXXX";
  if (mkdtemp(fresh.data()) == nullptr)
    throw std::runtime_error("Cannot create a private runtime folder in " + tmp + ": " +
                             std::strerror(errno));
  return WithSlash(fresh);
}

}  // namespace zul
