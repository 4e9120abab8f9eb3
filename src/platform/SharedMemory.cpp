#include "platform/SharedMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace zul {
namespace {

constexpr int kSizeSeals = F_SEAL_SHRINK | F_SEAL_GROW;

std::runtime_error Failure(const char* what) {
  return std::runtime_error(std::string("Shared memory: ") + what + ": " + std::strerror(errno));
}

}  // namespace

TSharedMemory::TSharedMemory(std::size_t bytes) {
  FFd.Reset(memfd_create("zul-ring", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!FFd) throw Failure("cannot create");
  if (ftruncate(FFd.Get(), static_cast<off_t>(bytes)) != 0) throw Failure("cannot size");
  if (fcntl(FFd.Get(), F_ADD_SEALS, kSizeSeals | F_SEAL_SEAL) != 0) throw Failure("cannot seal");
  Map(bytes);
}

TSharedMemory::TSharedMemory(int fd, std::size_t bytes) : FFd(fd) {
  struct stat st {};
  if (fstat(FFd.Get(), &st) != 0) throw Failure("cannot inspect");
  if (static_cast<std::size_t>(st.st_size) != bytes) {
    errno = EINVAL;
    throw Failure("the size is not the one agreed");
  }
  const int seals = fcntl(FFd.Get(), F_GET_SEALS);
  if (seals < 0 || (seals & kSizeSeals) != kSizeSeals) {
    errno = EPERM;
    throw Failure("the size is not sealed");
  }
  Map(bytes);
}

void TSharedMemory::Map(std::size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, FFd.Get(), 0);
  if (p == MAP_FAILED) throw Failure("cannot map");
  FData = static_cast<uint8_t*>(p);
  FSize = bytes;
}

TSharedMemory::~TSharedMemory() {
  if (FData != nullptr) munmap(FData, FSize);
}

TSharedMemory::TSharedMemory(TSharedMemory&& other) noexcept
    : FFd(std::move(other.FFd)),
      FData(std::exchange(other.FData, nullptr)),
      FSize(std::exchange(other.FSize, 0)) {}

TSharedMemory& TSharedMemory::operator=(TSharedMemory&& other) noexcept {
  if (this != &other) {
    if (FData != nullptr) munmap(FData, FSize);
    FFd = std::move(other.FFd);
    FData = std::exchange(other.FData, nullptr);
    FSize = std::exchange(other.FSize, 0);
  }
  return *this;
}

}  // namespace zul
