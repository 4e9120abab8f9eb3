// The one owner of a file descriptor: closed on every way out, moved but never copied.
#pragma once

#include <unistd.h>

#include <utility>

namespace zul {

class TUniqueFd {
 public:
  TUniqueFd() = default;
  explicit TUniqueFd(int fd) : FFd(fd) {}
  TUniqueFd(TUniqueFd&& other) noexcept : FFd(other.Release()) {}
  TUniqueFd& operator=(TUniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  TUniqueFd(const TUniqueFd&) = delete;
  TUniqueFd& operator=(const TUniqueFd&) = delete;
  ~TUniqueFd() { Reset(); }

  int Get() const { return FFd; }
  bool Valid() const { return FFd >= 0; }
  explicit operator bool() const { return Valid(); }
  int Release() { return std::exchange(FFd, -1); }
  void Reset(int fd = -1) {
    if (FFd >= 0) ::close(FFd);
    FFd = fd;
  }
  // Closes now and says whether the close succeeded, for write paths where it matters.
  bool Close() {
    const int fd = Release();
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int FFd = -1;
};

}  // namespace zul
