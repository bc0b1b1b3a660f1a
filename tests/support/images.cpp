#include "images.h"

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

}  // namespace testsupport
