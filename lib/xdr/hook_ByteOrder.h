// Little-endian stores and loads at any (unaligned) address. Every byte that crosses the two
// processes goes through these, so the wire format never depends on the host's layout.
#pragma once

#include <cstdint>
#include <type_traits>

namespace hook_le {

template <class T>
inline void Store(char* p, T value) {
  static_assert(std::is_integral_v<T> || std::is_same_v<T, char16_t>);
  using U = std::make_unsigned_t<std::conditional_t<std::is_same_v<T, char16_t>, uint16_t, T>>;
  U u = static_cast<U>(value);
  for (unsigned i = 0; i < sizeof(T); ++i) {
    p[i] = static_cast<char>(static_cast<unsigned char>(u & 0xFFu));
    u = static_cast<U>(u >> 4 >> 4);  // two shifts: no shift by the full width for 1-byte types
  }
}

template <class T>
inline T Load(const char* p) {
  static_assert(std::is_integral_v<T> || std::is_same_v<T, char16_t>);
  using U = std::make_unsigned_t<std::conditional_t<std::is_same_v<T, char16_t>, uint16_t, T>>;
  U u = 0;
  for (unsigned i = sizeof(T); i-- > 0;) {
    u = static_cast<U>(static_cast<U>(u << 4 << 4) | static_cast<unsigned char>(p[i]));
  }
  return static_cast<T>(u);
}

}  // namespace hook_le
