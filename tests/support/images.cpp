#include "images.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

std::string record(uint8_t type, uint16_t addr, const Bytes &data) {
  std::string line = ":";
  char hex[3];
  uint8_t sum = 0;
  Bytes all = {uint8_t(data.size()), uint8_t(addr >> 8), uint8_t(addr), type};
  all.insert(all.end(), data.begin(), data.end());
  for (uint8_t b : all) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    line += hex;
    sum = uint8_t(sum + b);
  }
  std::snprintf(hex, sizeof hex, "%02X", uint8_t(-sum));
  return line + hex + "\n";
}

}  // namespace

std::string ihex_text(const std::vector<Chunk> &chunks) {
  std::string text;
  long upper = -1;
  for (const Chunk &c : chunks) {
    for (size_t i = 0; i < c.bytes.size(); i += 16) {
      const uint32_t a = c.offset + uint32_t(i);
      if (long(a >> 16) != upper) text += record(4, 0, {uint8_t(a >> 24), uint8_t(a >> 16)});
      upper = long(a >> 16);
      const size_t n = std::min<size_t>(16, c.bytes.size() - i);
      text +=
          record(0, uint16_t(a), Bytes(c.bytes.begin() + long(i), c.bytes.begin() + long(i + n)));
    }
  }
  return text + ":00000001FF\n";
}

}  // namespace testsupport
