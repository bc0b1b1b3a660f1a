// Whole files through parse_file, Intel HEX or raw binary as its first line
// decides, then the image drained with img_get_chunk as the writer drains it,
// every fragment checked against the chunk table.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "image.h"

namespace {

// What the table must hold whatever the input: the cursor at its start and
// every chunk within its block.
void check_table(const image &img, const char *path) {
  FUZZ_CHECK(img.fn == path);
  FUZZ_CHECK(img.cchunk == 0 && img.cpos == 0);
  FUZZ_CHECK(img.chunks >= 1 && img.chunks <= img.slots && img.img);
  for (int i = 0; i < img.chunks; ++i) {
    const image_chunk &c = img.img[i];
    FUZZ_CHECK(c.len >= 0 && c.len <= c.cap);
    FUZZ_CHECK(c.data || c.cap == 0);
  }
}

// Drains the image with fragments of at most buflen bytes. Each fragment
// must be the next run of its chunk (empty chunks passed over), no longer
// than buflen and not past the chunk's end, tagged with the chunk's address
// plus its position modulo 2^32, and hold the chunk's bytes; together the
// fragments must cover every chunk exactly.
void drain(image *img, int buflen) {
  std::vector<char> buf(static_cast<size_t>(buflen) + 1);
  int chunk = 0;
  int pos = 0;
  for (;;) {
    while (chunk < img->chunks && img->img[chunk].len == pos) {
      ++chunk;
      pos = 0;
    }
    int offset = 0x5a5a5a5a;
    buf[static_cast<size_t>(buflen)] = 'G';  // guard byte: nothing may be written past buflen
    const int n = img_get_chunk(img, &offset, buf.data(), buflen);
    FUZZ_CHECK(buf[static_cast<size_t>(buflen)] == 'G');
    if (n == 0) {
      FUZZ_CHECK(chunk == img->chunks);
      FUZZ_CHECK(offset == 0x5a5a5a5a);
      FUZZ_CHECK(img_get_chunk(img, &offset, buf.data(), buflen) == 0);
      return;
    }
    FUZZ_CHECK(n > 0 && n <= buflen && chunk < img->chunks);
    const image_chunk &c = img->img[chunk];
    FUZZ_CHECK(n <= c.len - pos);
    const uint32_t want = static_cast<uint32_t>(c.offset) + static_cast<uint32_t>(pos);
    FUZZ_CHECK(static_cast<uint32_t>(offset) == want);
    FUZZ_CHECK(std::memcmp(buf.data(), c.data + pos, static_cast<size_t>(n)) == 0);
    pos += n;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static MemFile file;
  file.assign(data, size);
  image img;
  errno = 0;
  const int r = parse_file(file.path(), &img);
  if (r > 0) {
    // Raw binary: the whole file, one chunk at address 0.
    FUZZ_CHECK(static_cast<size_t>(r) == size);
    FUZZ_CHECK(img.chunks == 1 && img.img[0].offset == 0 && img.img[0].len == r);
    FUZZ_CHECK(std::memcmp(img.img[0].data, data, size) == 0);
  } else if (r < 0) {
    // Only a malformed line after the first can fail a file in memory.
    FUZZ_CHECK(r != -1 && errno == EINVAL);
  }
  check_table(img, file.path());
  drain(&img, 256);
  // Once more, from the start, with another fragment size.
  img.cchunk = 0;
  img.cpos = 0;
  drain(&img, 1 + static_cast<int>(size % 300));
  img_free(&img);
  return 0;
}
