#include "platform/Log.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace zul {
namespace {

std::string& Name() {
  static std::string name = "zul";
  return name;
}

}  // namespace

void SetLogName(std::string_view name) {
  Name() = name;
}

void LogLine(std::string_view text) {
  std::string line = Name() + ": ";
  line.append(text);
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
  std::replace(line.begin(), line.end(), '\n', ' ');
  line += '\n';
  // One write: a line never mixes with another thread's.
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace zul
