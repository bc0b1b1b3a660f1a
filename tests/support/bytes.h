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

// The boot loader's answers: a block accepted, a block refused.
constexpr uint8_t ACK = 0x79;
constexpr uint8_t NACK = 0x1F;

// Blocks as the host sends them: a 32-bit address with its XOR checksum, and
// a data block (count byte, data, XOR checksum).
inline Bytes address_block(uint32_t a) {
  Bytes b = {uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
  b.push_back(b[0] ^ b[1] ^ b[2] ^ b[3]);
  return b;
}

inline Bytes data_block(const Bytes &data) {
  Bytes b = {uint8_t(data.size() - 1)};
  uint8_t x = b[0];
  for (uint8_t v : data) {
    b.push_back(v);
    x ^= v;
  }
  b.push_back(x);
  return b;
}

// One exchange: what the host sends and every byte it must get back.
struct Step {
  Bytes send;
  Bytes expect;
};

// A block starting the write of data at addr: command, address, data.
inline std::vector<Step> write_steps(uint32_t addr, const Bytes &data) {
  return {{{0x31, 0xCE}, {ACK}}, {address_block(addr), {ACK}}, {data_block(data), {ACK}}};
}

}  // namespace testsupport

#endif
