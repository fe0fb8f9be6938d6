// The checksum every benchmark's reader takes over the content it carried: it reads every byte,
// eight at a time, cheaply enough to run at memory speed, so that what a road costs is not hidden
// behind the reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline uint64_t Checksum(const void* data, size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint64_t a = size, b = 0;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    a += w;
    b ^= w;
  }
  for (; i < size; ++i) a += p[i];
  return a ^ (b * 0x9E3779B97F4A7C15ull);
}
