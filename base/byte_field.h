// Fields of a file's records in the file's own byte order, for formats whose
// records are read where they lie.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

// N bytes in the file's own order (big-endian when Big), assembled on read
// and spread on write. Alignment 1, so a view at any offset of a file is
// valid.
template <class T, bool Big>
struct ByteField {
  uint8_t bytes[sizeof(T)];

  operator T() const {
    T value;
    memcpy(&value, bytes, sizeof value);
    return Big == (std::endian::native == std::endian::big) ? value : Swap(value);
  }
  ByteField& operator=(T value) {
    if (Big != (std::endian::native == std::endian::big)) value = Swap(value);
    memcpy(bytes, &value, sizeof value);
    return *this;
  }

 private:
  static T Swap(T value) {
#ifdef _MSC_VER
    if constexpr (sizeof(T) == 2) return _byteswap_ushort(value);
    if constexpr (sizeof(T) == 4) return _byteswap_ulong(value);
    if constexpr (sizeof(T) == 8) return _byteswap_uint64(value);
#else
    if constexpr (sizeof(T) == 2) return static_cast<T>(__builtin_bswap16(value));
    if constexpr (sizeof(T) == 4) return __builtin_bswap32(value);
    if constexpr (sizeof(T) == 8) return __builtin_bswap64(value);
#endif
  }
};
