// Decoding of the files' little-endian fields, whatever the host's byte order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace pluvo {

template <class T>
T byte_swapped(T value) noexcept {
  static_assert(std::is_trivially_copyable_v<T>);
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  for (std::size_t i = 0; i < sizeof(T) / 2; ++i) {
    const unsigned char low = bytes[i];
    bytes[i] = bytes[sizeof(T) - 1 - i];
    bytes[sizeof(T) - 1 - i] = low;
  }
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

// Reads a T stored low byte first at `bytes`, which need not be aligned.
template <class T>
T load_le(const std::byte* bytes) noexcept {
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  if constexpr (std::endian::native == std::endian::big) value = byte_swapped(value);
  return value;
}

// Turns values that were copied raw from the file into host order, in place.
template <class T>
void little_endian_to_host(T* values, std::size_t count) noexcept {
  if constexpr (std::endian::native == std::endian::big) {
    for (std::size_t i = 0; i < count; ++i) values[i] = byte_swapped(values[i]);
  } else {
    (void)values;
    (void)count;
  }
}

}  // namespace pluvo
