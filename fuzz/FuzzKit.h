// Shared by the fuzz targets: a scratch folder for inputs that the code under test reads from a
// file, and a check that stops the run with a message, since a broken rule is a finding too.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace zulfuzz {

// Aborts with `what` when `ok` is false; libFuzzer then keeps the input as a crash.
inline void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// A folder of this process's own, made once and removed at exit. Memory-backed when the machine
// has /dev/shm: the targets write a file per input, and some of them sync it.
inline const std::string& ScratchDir() {
  static const std::string dir = [] {
    std::string base = "/tmp";
    if (const char* t = std::getenv("TMPDIR"); t != nullptr && t[0] == '/') base = t;
    if (access("/dev/shm", W_OK) == 0) base = "/dev/shm";
    std::string pattern = base + "/zul-fuzz-XXXXXX";
    Check(mkdtemp(pattern.data()) != nullptr, "cannot make a scratch folder");
    static std::string removeAtExit;
    removeAtExit = pattern;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(removeAtExit, ignored);
    });
    return pattern;
  }();
  return dir;
}

// Replaces the file `name` in the scratch folder with `size` bytes; returns its path.
inline std::string WriteScratch(const char* name, const uint8_t* data, std::size_t size) {
  const std::string path = ScratchDir() + "/" + name;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Check(fd >= 0, "cannot write a scratch file");
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    Check(n > 0, "cannot write a scratch file");
    done += static_cast<std::size_t>(n);
  }
  close(fd);
  return path;
}

}  // namespace zulfuzz
