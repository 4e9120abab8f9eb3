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
  std::string own = WithSlash(tmp) + "zul-" + std::to_string(geteuid());
  if (mkdir(own.c_str(), 0700) != 0 && errno != EEXIST)
    throw std::runtime_error("Cannot create the runtime folder " + own + ": " +
                             std::strerror(errno));
  // Someone else may have made it first to catch our socket: refuse anything not private.
  if (!IsPrivateDir(own))
    throw std::runtime_error("The runtime folder " + own +
                             " is not a private folder of this user; remove it and start again.");
  // Ours and private, but closed to ourselves (a chmod gone wrong): open it to us again.
  if (!IsWritableDir(own) && (chmod(own.c_str(), 0700) != 0 || !IsWritableDir(own)))
    throw std::runtime_error("Cannot write to the runtime folder " + own + ": " +
                             std::strerror(errno));
  return WithSlash(own);
}

}  // namespace zul
