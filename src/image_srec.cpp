#include "image_srec.h"

#include <cstdint>
#include <cstdio>

#include "image_ihex.h"
#include "image_lines.h"

namespace {

// Value of each hexadecimal digit character, 0xFF for any other: one look-up
// per character keeps the reader as fast as the Intel HEX one.
struct DigitTable {
  unsigned char value[256];
  constexpr DigitTable() : value() {
    for (unsigned char &v : value) v = 0xFF;
    for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<unsigned char>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<unsigned char>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<unsigned char>(c - 'A' + 10);
  }
};
constexpr DigitTable kDigits;

unsigned digit(char c) {
  return kDigits.value[static_cast<unsigned char>(c)];
}

// Bytes of the address field of each record type S0 to S9; 0 for S4, which
// the format reserves.
constexpr unsigned kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

int fail(const char *why) {
  std::fputs(why, stderr);
  return -1;
}

// Decodes the hexadecimal pairs after "Sn" into bytes; every character must
// be a digit, since a record with a stray character is damaged.
int decode_pairs(const char *text, size_t chars, unsigned char *out) {
  for (size_t i = 0; i < chars; i += 2) {
    const unsigned hi = digit(text[i]), lo = digit(text[i + 1]);
    if ((hi | lo) > 15) return fail("Bad hex digit\n");
    out[i / 2] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return 0;
}

int check_count(const srec_state *st, uint32_t count, unsigned addr_bytes) {
  const unsigned long mask = addr_bytes == 2 ? 0xFFFFul : 0xFFFFFFul;
  if ((st->data_records & mask) == count) return 0;
  std::fprintf(stderr, "Record count %lu does not match the %lu data records before it\n",
               static_cast<unsigned long>(count), st->data_records);
  return -1;
}

}  // namespace

int srec_decode_line(image *img, srec_state *st, const char *line, size_t llen) {
  if (llen < 4) return fail("Line too short\n");
  if (line[0] != 'S') return fail("No srec-line\n");
  const int type = line[1] - '0';
  if (type < 0 || type > 9 || kAddressBytes[type] == 0) return fail("Unknown record type\n");
  unsigned char record[256];
  if (decode_pairs(line + 2, 2, record) < 0) return -1;
  const unsigned count = record[0];
  if (llen != 2 * size_t{count} + 4) {
    std::fprintf(stderr, "Line too short for %i Bytes\n", static_cast<int>(count));
    return -1;
  }
  const unsigned addr_bytes = kAddressBytes[type];
  if (count < addr_bytes + 1) return fail("Record too short for its address\n");
  if (decode_pairs(line + 4, 2 * size_t{count}, record + 1) < 0) return -1;
  unsigned sum = 0;
  for (unsigned i = 0; i <= count; ++i) sum += record[i];
  // The checksum byte is the ones' complement of the rest's sum: with it the
  // low byte of the sum is 0xFF.
  if ((sum & 0xFFu) != 0xFFu) {
    std::fprintf(stderr, "Checksum-error %i\n", static_cast<int>((sum + 1) & 0xFFu));
    return -1;
  }
  uint32_t addr = 0;
  for (unsigned i = 0; i < addr_bytes; ++i) addr = addr << 8 | record[1 + i];
  const unsigned char *data = record + 1 + addr_bytes;
  const size_t n = count - addr_bytes - 1;
  switch (type) {
    case 1:
    case 2:
    case 3:
      ++st->data_records;
      return img_put(img, addr, data, n) < 0 ? IHEX_FAILED : 0;
    case 5:
    case 6:
      return check_count(st, addr, addr_bytes);
    case 7:
    case 8:
    case 9:
      st->ended = true;
      return 0;
    default:  // S0: a header, nothing to flash
      return 0;
  }
}

namespace {

struct SrecRun {
  image *img;
  srec_state st;
};

int decode_srec(void *ctx, const char *line, size_t llen) {
  auto *run = static_cast<SrecRun *>(ctx);
  return srec_decode_line(run->img, &run->st, line, llen);
}

}  // namespace

int parse_file_srec(int fh, image *img) {
  *img = image{};
  if (!add_chunk(img)) return IHEX_FAILED;
  SrecRun run{img, srec_state{}};
  int lines = 0;
  const int r = read_lines(fh, decode_srec, &run, &lines);
  if (r < 0) return r;
  // Only the end record tells a whole file from the first part of one.
  if (!run.st.ended) {
    std::fprintf(stderr, "No end record (S7, S8 or S9) after line %i: the file may be cut short\n",
                 lines);
    return -(lines + 1);
  }
  return 0;
}
