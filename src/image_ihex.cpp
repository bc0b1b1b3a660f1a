#include "image_ihex.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace {

struct NibbleTable {
  unsigned char value[256];
  constexpr NibbleTable() : value() {
    for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<unsigned char>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<unsigned char>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<unsigned char>(c - 'A' + 10);
  }
};
constexpr NibbleTable kNibbles;

inline unsigned nibble(char c) {
  return kNibbles.value[static_cast<unsigned char>(c)];
}
inline unsigned hex_byte(const char *p) {
  return nibble(p[0]) << 4 | nibble(p[1]);
}

// Reads lines the way fgets does into a buffer of IHEX_LINE_MAX + 1, but
// hands out pieces in place: no copy and no allocation per line. The
// descriptor is only read, never closed.
class LineReader {
 public:
  explicit LineReader(int fh) : fh_(fh), buf_(new (std::nothrow) char[kSize]) {}
  bool ok() const { return buf_ != nullptr; }

  // Next piece: at most IHEX_LINE_MAX characters, ending after a line feed
  // if one comes first. Returns 1 with the piece, 0 at the end of the input,
  // -1 with errno set when a read failed.
  int next(const char **piece, size_t *len) {
    for (;;) {
      const char *s = buf_.get() + start_;
      const size_t avail = end_ - start_;
      const size_t lim = avail < size_t{IHEX_LINE_MAX} ? avail : size_t{IHEX_LINE_MAX};
      const void *nl = std::memchr(s, '\n', lim);
      size_t n = 0;
      if (nl) {
        n = static_cast<size_t>(static_cast<const char *>(nl) - s) + 1;
      } else if (avail >= size_t{IHEX_LINE_MAX} || eof_) {
        n = lim;
      }
      if (n > 0) {
        *piece = s;
        *len = n;
        start_ += n;
        return 1;
      }
      if (eof_) return 0;
      if (fill() < 0) return -1;
    }
  }

 private:
  static constexpr size_t kSize = 65536;

  // Keeps the unfinished piece and appends what one read brings.
  int fill() {
    std::memmove(buf_.get(), buf_.get() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
    ssize_t r;
    do {
      r = ::read(fh_, buf_.get() + end_, kSize - end_);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    if (r == 0) {
      eof_ = true;
    } else {
      end_ += static_cast<size_t>(r);
    }
    return 0;
  }

  int fh_;
  std::unique_ptr<char[]> buf_;
  size_t start_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
};

// The line ends at its first CR or LF, or at a NUL it contains. A piece
// holds a line feed only as its last character.
size_t cut_line(const char *p, size_t n) {
  if (n > 0 && p[n - 1] == '\n') --n;
  if (const void *cr = std::memchr(p, '\r', n)) n = size_t(static_cast<const char *>(cr) - p);
  if (const void *nul = std::memchr(p, '\0', n)) n = size_t(static_cast<const char *>(nul) - p);
  return n;
}

// The line comes from an untrusted file: anything but printable ASCII is
// escaped so that it cannot drive the user's terminal.
void report_line(int line, const char *text, size_t len) {
  std::string shown;
  shown.reserve(len);
  for (size_t i = 0; i < len; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f) {
      shown += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      shown += esc;
    }
  }
  std::fprintf(stderr, "Error parsing line %i '%s'\n", line, shown.c_str());
}

// A record whose slots field was never set holds at least its chunks.
int grow_table(image *img) {
  const int have = img->slots > img->chunks ? img->slots : img->chunks;
  if (have > INT_MAX / 2 || size_t(have) * 2 > SIZE_MAX / sizeof(image_chunk)) {
    errno = ENOMEM;
    return -1;
  }
  const int want = have * 2 > IHEX_TABLE_SLOTS ? have * 2 : IHEX_TABLE_SLOTS;
  void *p = std::realloc(img->img, size_t(want) * sizeof(image_chunk));
  if (!p) {
    errno = ENOMEM;
    return -1;
  }
  img->img = static_cast<image_chunk *>(p);
  std::memset(img->img + have, 0, size_t(want - have) * sizeof(image_chunk));
  img->slots = want;
  return 0;
}

// A chunk's block grows with its data, doubling, so that memory follows the
// bytes a file holds rather than the chunks it opens (a file of one-byte
// records at scattered addresses opens a chunk every 14 bytes); lengths stay
// within int.
int grow_block(image_chunk *c, size_t more) {
  const size_t need = size_t(c->len) + more;
  if (need > size_t{INT_MAX}) {
    errno = EFBIG;
    return -1;
  }
  size_t cap = size_t(c->cap) * 2;
  if (cap < need) cap = need;
  if (cap > size_t{INT_MAX}) cap = INT_MAX;
  void *p = std::realloc(c->data, cap);
  if (!p) {
    errno = ENOMEM;
    return -1;
  }
  c->data = static_cast<unsigned char *>(p);
  c->cap = static_cast<int>(cap);
  return 0;
}

// The last chunk in use; a record without chunks gets chunk 0 at address 0.
image_chunk *current_chunk(image *img) {
  if (img->chunks < 1 || !img->img) return add_chunk(img);
  return &img->img[img->chunks - 1];
}

int put_data(image *img, uint32_t addr, const unsigned char *data, unsigned byteCnt) {
  image_chunk *target = current_chunk(img);
  if (!target) return IHEX_FAILED;
  const uint32_t base = static_cast<uint32_t>(target->offset);
  // Only the lower 16 bits take part: a record at 0 continues a chunk that
  // ends on a 64 KiB boundary.
  if (((base + static_cast<uint32_t>(target->len)) & 0xFFFFu) != addr) {
    target = add_chunk(img);
    if (!target) return IHEX_FAILED;
    target->offset = static_cast<int>((base & 0xFFFF0000u) + addr);
  }
  if (byteCnt == 0) return 0;
  if (byteCnt > static_cast<unsigned>(target->cap - target->len) && grow_block(target, byteCnt) < 0)
    return IHEX_FAILED;
  std::memcpy(target->data + target->len, data, byteCnt);
  target->len += static_cast<int>(byteCnt);
  return 0;
}

int set_upper_address(image *img, const unsigned char *data, unsigned byteCnt) {
  if (byteCnt < 2) {
    std::fputs("Bad extended linear address record\n", stderr);
    return -1;
  }
  image_chunk *cur = current_chunk(img);
  if (cur && cur->len != 0) cur = add_chunk(img);
  if (!cur) return IHEX_FAILED;
  cur->offset = static_cast<int>(uint32_t{data[0]} << 24 | uint32_t{data[1]} << 16);
  return 0;
}

}  // namespace

int hex2nibble(const char *hex) {
  return static_cast<int>(nibble(*hex));
}

image_chunk *add_chunk(image *img) {
  if (img->chunks >= img->slots && grow_table(img) < 0) return nullptr;
  // The chunks of the table's first slots get their whole block at once, so
  // a common image allocates one table and one block per chunk. Beyond them a
  // block starts with the chunk's first data and grows: a file that opens
  // thousands of chunks must not ask for 64 KiB each.
  unsigned char *block = nullptr;
  int cap = 0;
  if (img->chunks < IHEX_TABLE_SLOTS) {
    block = static_cast<unsigned char *>(std::malloc(IHEX_CHUNK_BYTES));
    if (!block) {
      errno = ENOMEM;
      return nullptr;
    }
    cap = IHEX_CHUNK_BYTES;
  }
  image_chunk *c = &img->img[img->chunks++];
  *c = image_chunk{0, 0, block, cap};
  return c;
}

int _DecodeIHexLine(image *img, const char *line, size_t llen) {
  if (llen < 11) {
    std::fputs("Line too short\n", stderr);
    return -1;
  }
  if (line[0] != ':') {
    std::fputs("No ihex-line\n", stderr);
    return -1;
  }
  const unsigned byteCnt = hex_byte(line + 1);
  if (llen != 2 * size_t{byteCnt} + 11) {
    std::fprintf(stderr, "Line too short for %i Bytes\n", static_cast<int>(byteCnt));
    return -1;
  }
  // Byte count, address, type, data and checksum, decoded once.
  unsigned char record[4 + 255 + 1];
  unsigned chksum = 0;
  for (unsigned i = 0; i < byteCnt + 5; ++i) {
    record[i] = static_cast<unsigned char>(hex_byte(line + 1 + 2 * i));
    chksum += record[i];
  }
  chksum &= 0xFFu;
  if (chksum != 0) {
    std::fprintf(stderr, "Checksum-error %i\n", static_cast<int>(chksum));
    return -1;
  }
  const uint32_t addr = uint32_t{record[1]} << 8 | record[2];
  const unsigned type = record[3];
  const unsigned char *buffer = record + 4;
  switch (type) {
    case 0:
      return put_data(img, addr, buffer, byteCnt);
    case 1:  // end of file: reading goes on to the end of the input
    case 5:  // start linear address: nothing to flash
      return 0;
    case 4:
      return set_upper_address(img, buffer, byteCnt);
    default:
      std::fprintf(stderr, "Ignoring line: type %i is not supported by IHex interpreter!\n",
                   static_cast<int>(type));
      return 0;
  }
}

int parse_file_ihex(int fh, image *img) {
  *img = image{};
  if (!add_chunk(img)) return IHEX_FAILED;
  LineReader stream(fh);
  if (!stream.ok()) {
    errno = ENOMEM;
    return IHEX_FAILED;
  }
  int line = 0;
  for (;;) {
    const char *buf = nullptr;
    size_t len = 0;
    const int got = stream.next(&buf, &len);
    // A failing read is not the end of the input: an image cut short there
    // must not be flashed as if it were whole.
    if (got < 0) return IHEX_FAILED;
    if (got == 0) return 0;
    if (line == INT_MAX) {
      errno = EFBIG;
      return IHEX_FAILED;
    }
    ++line;
    const size_t llen = cut_line(buf, len);
    const int r = _DecodeIHexLine(img, buf, llen);
    if (r == IHEX_FAILED) return r;
    if (r < 0) {
      report_line(line, buf, llen);
      return -line;
    }
  }
}
