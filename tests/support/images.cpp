#include "images.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testsupport {

void PrintTo(const Chunk &c, std::ostream *os) {
  *os << "{0x" << std::hex << c.offset << std::dec << ", " << c.bytes.size() << " bytes}";
}

std::vector<Chunk> OwnedImage::chunks() const {
  std::vector<Chunk> out;
  for (int i = 0; i < img.chunks; ++i) {
    const image_chunk &c = img.img[i];
    out.push_back({uint32_t(c.offset), Bytes(c.data, c.data + c.len)});
  }
  return out;
}

void build_image(image &img, const char *fn, const std::vector<Chunk> &chunks) {
  img = image{};
  img.fn = fn;
  img.chunks = img.slots = static_cast<int>(chunks.size());
  img.img = static_cast<image_chunk *>(std::calloc(chunks.size() + 1, sizeof(image_chunk)));
  for (size_t i = 0; i < chunks.size(); ++i) {
    image_chunk &c = img.img[i];
    const Bytes &b = chunks[i].bytes;
    c.offset = static_cast<int>(chunks[i].offset);
    c.len = c.cap = static_cast<int>(b.size());
    c.data = static_cast<unsigned char *>(std::malloc(b.size() + 1));
    if (!b.empty()) std::memcpy(c.data, b.data(), b.size());
  }
}

namespace {

std::string hex_record(uint8_t type, uint16_t addr, const uint8_t *data, size_t n) {
  std::string line = ":";
  char two[3];
  uint8_t sum = 0;
  const auto put = [&](uint8_t v) {
    std::snprintf(two, sizeof two, "%02X", v);
    line += two;
    sum = static_cast<uint8_t>(sum + v);
  };
  put(static_cast<uint8_t>(n));
  put(static_cast<uint8_t>(addr >> 8));
  put(static_cast<uint8_t>(addr));
  put(type);
  for (size_t i = 0; i < n; ++i) put(data[i]);
  put(static_cast<uint8_t>(-sum));
  return line + "\n";
}

}  // namespace

std::string intel_hex(const std::vector<Chunk> &chunks) {
  std::string text;
  uint32_t upper = 0xFFFFFFFF;
  for (const Chunk &c : chunks) {
    for (size_t i = 0; i < c.bytes.size();) {
      const uint32_t at = c.offset + static_cast<uint32_t>(i);
      if (at >> 16 != upper) {
        upper = at >> 16;
        const uint8_t ela[2] = {uint8_t(upper >> 8), uint8_t(upper)};
        text += hex_record(4, 0, ela, 2);
      }
      // A record ends at 16 bytes, the chunk's end, or the next 64 KiB.
      size_t n = std::min<size_t>({16, c.bytes.size() - i, 0x10000 - (at & 0xFFFF)});
      text += hex_record(0, static_cast<uint16_t>(at), c.bytes.data() + i, n);
      i += n;
    }
  }
  return text + ":00000001FF\n";
}

}  // namespace testsupport
