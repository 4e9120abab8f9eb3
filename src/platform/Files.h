// The program's files as the operating system keeps them: private folders and files, atomic
// replacement, whole-run locks and bounded reads. Everything the program creates is the user's
// alone (folders 0700, files 0600, whatever the umask). Qt-free.
//
// Errors: every function here throws std::runtime_error whose text names the file and the reason,
// meant for the user, unless it says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"

namespace zul {

inline constexpr unsigned kPrivateDirMode = 0700;
inline constexpr unsigned kPrivateFileMode = 0600;

// Creates `path` and its missing parents with exactly `mode`. Folders that exist are left as they
// are. `noun` names the folder in messages ("settings folder").
void MakeDirs(const std::string& path, unsigned mode, const std::string& noun = "folder");

// MakeDirs with 0700, then tightens the last folder to 0700 when it is ours and wider.
void MakePrivateDir(const std::string& path, const std::string& noun = "folder");

// Creates `path` 0600 when missing; an existing file of ours that others may read or write is
// tightened to 0600. Returns the file open for reading and writing.
TUniqueFd OpenPrivateFile(const std::string& path, const std::string& noun = "file");

// Replaces `path` with `bytes` through a sibling temporary file, synced and renamed over it, so a
// crash or a full disk leaves the old contents or the new, never a short file. A new file gets
// `mode`; a file that exists keeps its own mode, less what `mode` does not grant. The temporary
// file an interrupted save left beside `path` is removed by the next save.
void WriteFileAtomically(const std::string& path, std::span<const uint8_t> bytes, unsigned mode,
                         const std::string& noun = "file");

enum class TReadStatus {
  Ok,        // `bytes` holds the file's first bytes, up to the limit
  Missing,   // no such file
  Unusable,  // not a regular file, or it cannot be opened or read
};

// Reads at most `limit` bytes of a regular file without ever blocking (a FIFO planted at the path
// is refused). Never throws. When it is not Ok and `why` is given, `why` says what was wrong.
TReadStatus ReadFileStart(const std::string& path, std::size_t limit, std::vector<uint8_t>& bytes,
                          std::string* why = nullptr);

// The file that `path` names once the symbolic links at its last component are followed (a
// dotfile manager's link to a file elsewhere); relative links are taken from the link's folder.
// The result may not exist yet. A loop or a chain too long throws.
std::string ResolveLinks(const std::string& path, const std::string& noun = "file");

// Renames `path` to `path` + "." + `tag` + "-YYYYMMDD-HHMMSS" (local time), with "-1", "-2"...
// added when that name is taken, so that no file is ever replaced. Returns the new name.
std::string MoveAside(const std::string& path, const std::string& tag,
                      const std::string& noun = "file");

// An exclusive lock held for as long as the object lives, on a lock file created 0600.
class TFileLock {
 public:
  enum class TResult { Locked, HeldElsewhere, Failed };

  TFileLock() = default;
  // Never throws; Error() says why when it did not lock.
  TResult TryLock(const std::string& path);
  const std::string& Error() const { return FError; }
  void Unlock() { FFd.Reset(); }

 private:
  TUniqueFd FFd;
  std::string FError;
};

}  // namespace zul
