// Images for the tests: owned so that they are released whatever a test
// checked, built by hand as a loader leaves them, and read back as chunks.
#ifndef TARVION_IMAGES_H
#define TARVION_IMAGES_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "bytes.h"
#include "image.h"

namespace testsupport {

// A run of bytes and the target address of its first one.
struct Chunk {
  uint32_t offset;
  Bytes bytes;
  bool operator==(const Chunk &o) const { return offset == o.offset && bytes == o.bytes; }
};

void PrintTo(const Chunk &c, std::ostream *os);

// An image released with img_free when the test ends.
struct OwnedImage {
  image img{};
  OwnedImage() = default;
  ~OwnedImage() { img_free(&img); }
  OwnedImage(const OwnedImage &) = delete;
  OwnedImage &operator=(const OwnedImage &) = delete;
  std::vector<Chunk> chunks() const;
};

// Fills img with the chunks, the table and the blocks in heap memory as a
// loaded image holds them. fn is borrowed.
void build_image(image &img, const char *fn, const std::vector<Chunk> &chunks);

// An image built by hand and owned.
class HandImage {
 public:
  HandImage(const char *fn, const std::vector<Chunk> &chunks) {
    build_image(owned_.img, fn, chunks);
  }
  image *get() { return &owned_.img; }

 private:
  OwnedImage owned_;
};

// The chunks as Intel HEX text: records of up to 16 bytes, an extended
// linear address record where the upper address changes, then the
// end-of-file record.
std::string ihex_text(const std::vector<Chunk> &chunks);

}  // namespace testsupport

#endif
