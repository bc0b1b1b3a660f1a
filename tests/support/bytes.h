// Byte patterns the tests send, write into images and expect back.
#ifndef TARVION_BYTES_H
#define TARVION_BYTES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// n bytes counting up from first, wrapping at 256.
inline Bytes counting(size_t n, uint8_t first = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

// n bytes that differ from seed to seed and from one 256-byte block to the next.
inline Bytes pattern(size_t n, unsigned seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed * 37 + i * 11 + (i >> 8));
  return b;
}

inline Bytes cat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace testsupport

#endif
