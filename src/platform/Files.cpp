#include "platform/Files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace zul {
namespace {

std::string ErrnoText(int err) {
  return std::error_code(err, std::generic_category()).message();
}

[[noreturn]] void Fail(const std::string& what, const std::string& path, int err) {
  throw std::runtime_error(what + " \"" + path + "\": " + ErrnoText(err));
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes a rename durable. Some file systems cannot sync a folder (EINVAL); the new file is then
// as safe as they allow.
void SyncFolder(const std::string& folder, const std::string& noun) {
  const TUniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) Fail("Cannot open the folder of the " + noun, folder, errno);
  if (::fsync(dir.Get()) != 0 && errno != EINVAL)
    Fail("Cannot sync the folder of the " + noun, folder, errno);
}

void WriteAll(int fd, std::span<const uint8_t> bytes, const std::string& path,
              const std::string& noun) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("Cannot write the " + noun, path, errno);
    if (n == 0) Fail("Cannot write the " + noun, path, ENOSPC);
    done += static_cast<std::size_t>(n);
  }
}

// A save's temporary file is the file's name, this tag and the six characters mkostemp picks.
constexpr const char* kTempTag = ".tmp-";

// A save that was killed or lost its power leaves its temporary file behind; the next save of the
// same file removes it, so that they never pile up. Only regular files of ours with exactly that
// name go. Best effort: one that cannot be removed stays, and the save goes on.
void RemoveLeftovers(const std::string& path) {
  const std::string prefix = path.substr(path.rfind('/') + 1) + kTempTag;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(FolderOf(path), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0 ||
        !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                     [](unsigned char c) { return std::isalnum(c) != 0; }))
      continue;
    const std::string leftover = it->path().string();
    struct stat st {};
    if (::lstat(leftover.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
      ::unlink(leftover.c_str());
  }
}

// Tightens a folder or file of ours to `mode` when it grants more.
void Tighten(int fd, const struct stat& st, unsigned mode) {
  if (st.st_uid == ::geteuid() && (st.st_mode & 0777 & ~mode) != 0)
    ::fchmod(fd, static_cast<mode_t>(st.st_mode & 0777 & mode));
}

}  // namespace

void MakeDirs(const std::string& path, unsigned mode, const std::string& noun) {
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    const std::string partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), static_cast<mode_t>(mode)) == 0) {
      // mkdir applies the umask; the mode asked for is the mode meant.
      ::chmod(partial.c_str(), static_cast<mode_t>(mode));
      continue;
    }
    const int err = errno;
    struct stat st {};
    if (err == EEXIST && ::stat(partial.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) continue;
      Fail("Cannot create the " + noun, partial, ENOTDIR);
    }
    Fail("Cannot create the " + noun, partial, err);
  }
}

void MakePrivateDir(const std::string& path, const std::string& noun) {
  MakeDirs(path, kPrivateDirMode, noun);
  const TUniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  if (dir && ::fstat(dir.Get(), &st) == 0) Tighten(dir.Get(), st, kPrivateDirMode);
}

TUniqueFd OpenPrivateFile(const std::string& path, const std::string& noun) {
  TUniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                      static_cast<mode_t>(kPrivateFileMode)));
  if (!fd) Fail("Cannot open the " + noun, path, errno);
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) Fail("Cannot open the " + noun, path, errno);
  if (!S_ISREG(st.st_mode)) Fail("Cannot open the " + noun, path, EINVAL);
  Tighten(fd.Get(), st, kPrivateFileMode);
  return fd;
}

void WriteFileAtomically(const std::string& path, std::span<const uint8_t> bytes, unsigned mode,
                         const std::string& noun) {
  RemoveLeftovers(path);
  std::string tmp = path + kTempTag + "XXXXXX";
  TUniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (!fd) Fail("Cannot create the " + noun, path, errno);
  try {
    struct stat old {};
    const bool exists = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    // A file that exists keeps its mode, but never grants more than `mode`.
    ::fchmod(fd.Get(), static_cast<mode_t>(exists ? old.st_mode & 0777 & mode : mode));
    WriteAll(fd.Get(), bytes, path, noun);
    if (::fsync(fd.Get()) != 0) Fail("Cannot write the " + noun, path, errno);
    if (!fd.Close()) Fail("Cannot write the " + noun, path, errno);
    if (::rename(tmp.c_str(), path.c_str()) != 0) Fail("Cannot replace the " + noun, path, errno);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  SyncFolder(FolderOf(path), noun);
}

TReadStatus ReadFileStart(const std::string& path, std::size_t limit, std::vector<uint8_t>& bytes,
                          std::string* why) {
  bytes.clear();
  auto unusable = [why](const std::string& text) {
    if (why != nullptr) *why = text;
    return TReadStatus::Unusable;
  };
  // O_NONBLOCK keeps a FIFO planted at the path from hanging the caller.
  const TUniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) {
    const int err = errno;
    if (err == ENOENT) return TReadStatus::Missing;
    return unusable(ErrnoText(err));
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return unusable(ErrnoText(errno));
  if (!S_ISREG(st.st_mode)) return unusable("it is not a regular file");
  bytes.resize(limit);
  std::size_t done = 0;
  while (done < limit) {
    const ssize_t n = ::read(fd.Get(), bytes.data() + done, limit - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      bytes.clear();
      return unusable(ErrnoText(errno));
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return TReadStatus::Ok;
}

std::string ResolveLinks(const std::string& path, const std::string& noun) {
  // The same bound the kernel puts on a chain of links.
  constexpr int kMaxHops = 40;
  std::string at = path;
  for (int hop = 0; hop <= kMaxHops; ++hop) {
    struct stat st {};
    if (::lstat(at.c_str(), &st) != 0) {
      if (errno == ENOENT) return at;
      Fail("Cannot look up the " + noun, at, errno);
    }
    if (!S_ISLNK(st.st_mode)) return at;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(at.c_str(), target.data(), target.size());
    if (n < 0) Fail("Cannot follow the link to the " + noun, at, errno);
    if (static_cast<std::size_t>(n) >= target.size())
      Fail("Cannot follow the link to the " + noun, at, ENAMETOOLONG);
    target.resize(static_cast<std::size_t>(n));
    at = (!target.empty() && target[0] == '/') ? target : FolderOf(at) + "/" + target;
  }
  Fail("Cannot follow the link to the " + noun, path, ELOOP);
}

std::string MoveAside(const std::string& path, const std::string& tag, const std::string& noun) {
  const std::time_t t = std::time(nullptr);
  std::tm lt{};
  localtime_r(&t, &lt);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &lt);
  const std::string base = path + "." + tag + "-" + stamp;
  for (int i = 0; i < 100; ++i) {
    std::string aside = i == 0 ? base : base + "-" + std::to_string(i);
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0)
      return aside;
    int err = errno;
    if (err == EINVAL || err == ENOSYS) {
      // A file system without the no-replace rename: look first, then rename.
      struct stat st {};
      if (::lstat(aside.c_str(), &st) == 0) continue;
      if (::rename(path.c_str(), aside.c_str()) == 0) return aside;
      err = errno;
    }
    if (err != EEXIST) Fail("Cannot rename the " + noun, path, err);
  }
  Fail("Cannot rename the " + noun, path, EEXIST);
}

TFileLock::TResult TFileLock::TryLock(const std::string& path) {
  FFd.Reset();
  FError.clear();
  TUniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY,
                      static_cast<mode_t>(kPrivateFileMode)));
  if (!fd) {
    FError = "Cannot open \"" + path + "\": " + ErrnoText(errno);
    return TResult::Failed;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) == 0) Tighten(fd.Get(), st, kPrivateFileMode);
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    FError = "Cannot lock \"" + path + "\": " + ErrnoText(err);
    return err == EWOULDBLOCK ? TResult::HeldElsewhere : TResult::Failed;
  }
  FFd = std::move(fd);
  return TResult::Locked;
}

}  // namespace zul
