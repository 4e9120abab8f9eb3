// Numbers in and out of the helper's records, in the machine's byte order (both ends run on one
// machine). No Qt.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace zul::bytes {

// Appends v's bytes to `out`.
template <typename T>
void Append(std::vector<uint8_t>& out, T v) {
  const auto* p = reinterpret_cast<const uint8_t*>(&v);
  out.insert(out.end(), p, p + sizeof(T));
}

// Writes v at p and moves p past it.
template <typename T>
void Put(uint8_t*& p, T v) {
  std::memcpy(p, &v, sizeof(T));
  p += sizeof(T);
}

// Reads a T at p and moves p past it; the caller has checked that the bytes are there.
template <typename T>
T Get(const uint8_t*& p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  p += sizeof(T);
  return v;
}

}  // namespace zul::bytes
