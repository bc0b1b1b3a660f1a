#include "image_ihex.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image_lines.h"

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

// An extended segment address record: the data records that follow lie at
// its value times 16 plus their own address.
int set_segment(ihex_state *st, const unsigned char *data, unsigned byteCnt) {
  if (byteCnt < 2) {
    std::fputs("Bad extended segment address record\n", stderr);
    return -1;
  }
  st->segment = (uint32_t{data[0]} << 8 | data[1]) << 4;
  st->segmented = true;
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

int img_put(image *img, uint32_t addr, const unsigned char *data, size_t n) {
  image_chunk *target = current_chunk(img);
  if (!target) return -1;
  if (target->len == 0) {
    target->offset = static_cast<int>(addr);
  } else if (static_cast<uint32_t>(target->offset) + static_cast<uint32_t>(target->len) != addr) {
    target = add_chunk(img);
    if (!target) return -1;
    target->offset = static_cast<int>(addr);
  }
  if (n == 0) return 0;
  if (n > static_cast<size_t>(target->cap - target->len) && grow_block(target, n) < 0) return -1;
  std::memcpy(target->data + target->len, data, n);
  target->len += static_cast<int>(n);
  return 0;
}

int ihex_decode_line(image *img, ihex_state *st, const char *line, size_t llen) {
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
  st->records = true;
  switch (type) {
    case 0:
      if (st->segmented)
        return img_put(img, st->segment + addr, buffer, byteCnt) < 0 ? IHEX_FAILED : 0;
      return put_data(img, addr, buffer, byteCnt);
    case 1:  // end of file: reading goes on to the end of the input
      st->ended = true;
      return 0;
    case 5:  // start linear address: nothing to flash
      return 0;
    case 2:
      return set_segment(st, buffer, byteCnt);
    case 4:
      st->segmented = false;
      return set_upper_address(img, buffer, byteCnt);
    default:
      std::fprintf(stderr, "Ignoring line: type %i is not supported by IHex interpreter!\n",
                   static_cast<int>(type));
      return 0;
  }
}

int _DecodeIHexLine(image *img, const char *line, size_t llen) {
  ihex_state st{};
  return ihex_decode_line(img, &st, line, llen);
}

int parse_file_ihex(int fh, image *img) {
  return parse_ihex(fh, img, 0);
}

namespace {

struct IhexRun {
  image *img;
  ihex_state st;
};

int decode_ihex(void *ctx, const char *line, size_t llen) {
  auto *run = static_cast<IhexRun *>(ctx);
  return ihex_decode_line(run->img, &run->st, line, llen);
}

}  // namespace

int parse_ihex(int fh, image *img, int require_end) {
  *img = image{};
  if (!add_chunk(img)) return IHEX_FAILED;
  IhexRun run{img, ihex_state{}};
  int lines = 0;
  const int r = read_lines(fh, decode_ihex, &run, &lines);
  if (r < 0) return r;
  // An interrupted download ends at a line boundary as often as not: only
  // the end-of-file record tells a whole file from the first part of one.
  if (require_end && run.st.records && !run.st.ended) {
    std::fprintf(stderr, "No end-of-file record after line %i: the file may be cut short\n", lines);
    return -(lines + 1);
  }
  return 0;
}
