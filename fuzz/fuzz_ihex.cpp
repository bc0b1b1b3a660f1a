// Whole files through parse_file, Intel HEX or raw binary as its first line
// decides, then the image drained with img_get_chunk as the writer drains it,
// every fragment checked against the chunk table. Each input is loaded as it
// is and once more with its records' checksums made right.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "image.h"
#include "image_ihex.h"

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

// Loads the file, checks the result and the table, and drains the image.
void check_file(const uint8_t *data, size_t size) {
  static MemFile file;
  file.assign(data, size);
  image img;
  errno = 0;
  const int r = parse_file(file.path(), &img);
  if (r > 0) {
    // Raw binary: the whole file, one chunk at address 0.
    FUZZ_CHECK(static_cast<size_t>(r) == size && data[0] != ':');
    FUZZ_CHECK(img.chunks == 1 && img.img[0].offset == 0 && img.img[0].len == r);
    FUZZ_CHECK(std::memcmp(img.img[0].data, data, size) == 0);
  } else if (r < 0) {
    // Only a malformed line can fail a file in memory: the first one only
    // when it begins as an Intel HEX record.
    FUZZ_CHECK(errno == EINVAL && (r != -1 || (size > 0 && data[0] == ':')));
  }
  check_table(img, file.path());
  drain(&img, 256);
  // Once more, from the start, with another fragment size.
  img.cchunk = 0;
  img.cpos = 0;
  drain(&img, 1 + static_cast<int>(size % 300));
  img_free(&img);
}

unsigned hex_byte_at(const std::string &s, size_t at) {
  return static_cast<unsigned>(hex2nibble(&s[at]) << 4 | hex2nibble(&s[at + 1]));
}

// The input with the checksum of every line that has a record's shape made
// right. Mutations of a record's count, address, type or data mostly stop
// at the checksum test; this copy carries them on into the chunk building.
std::string with_checksums_repaired(const uint8_t *data, size_t size) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s(reinterpret_cast<const char *>(data), size);
  for (size_t start = 0; start < s.size();) {
    size_t end = s.find('\n', start);
    if (end == std::string::npos) end = s.size();
    size_t len = end - start;
    if (len > 0 && s[start + len - 1] == '\r') --len;
    if (len >= 11 && s[start] == ':' && len == 2 * size_t{hex_byte_at(s, start + 1)} + 11) {
      unsigned sum = 0;
      for (size_t at = start + 1; at < start + len - 2; at += 2) sum += hex_byte_at(s, at);
      const unsigned check = (0x100 - (sum & 0xFF)) & 0xFF;
      s[start + len - 2] = digits[check >> 4];
      s[start + len - 1] = digits[check & 15];
    }
    start = end + 1;
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  check_file(data, size);
  const std::string repaired = with_checksums_repaired(data, size);
  if (repaired.compare(0, std::string::npos, reinterpret_cast<const char *>(data), size) != 0) {
    check_file(reinterpret_cast<const uint8_t *>(repaired.data()), repaired.size());
  }
  return 0;
}
