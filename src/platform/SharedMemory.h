// Memory shared with a child process: an anonymous memory file whose size is sealed, mapped
// here and handed to the child as a descriptor. No Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/UniqueFd.h"

namespace zul {

class TSharedMemory {
 public:
  TSharedMemory() = default;
  // Creates `bytes` of zeroed memory whose size can no longer change. Throws std::runtime_error.
  explicit TSharedMemory(std::size_t bytes);
  // Maps the memory behind `fd` (taken over), which must be `bytes` large with its size sealed,
  // so that the other side cannot shrink it under this one. Throws std::runtime_error.
  TSharedMemory(int fd, std::size_t bytes);
  ~TSharedMemory();
  TSharedMemory(TSharedMemory&& other) noexcept;
  TSharedMemory& operator=(TSharedMemory&& other) noexcept;
  TSharedMemory(const TSharedMemory&) = delete;
  TSharedMemory& operator=(const TSharedMemory&) = delete;

  uint8_t* Data() const { return FData; }
  std::size_t Size() const { return FSize; }
  // The descriptor to hand to the child.
  int Fd() const { return FFd.Get(); }

 private:
  void Map(std::size_t bytes);
  TUniqueFd FFd;
  uint8_t* FData = nullptr;
  std::size_t FSize = 0;
};

}  // namespace zul
