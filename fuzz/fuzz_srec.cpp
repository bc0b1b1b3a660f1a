// Motorola S-record files through parse_file, checked by
// fuzz_check_image_file. Each input is loaded as it is and once more with
// the checksum of every line that has a record's shape made right, so that
// mutated counts, addresses and data get past the checksum test.
#include <cstdint>
#include <string>

#include "fuzz_support.h"

namespace {

int digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Sets the last pair of an "Sn" line of well-formed pairs to the ones'
// complement of the sum of the pairs before it.
void repair_line(std::string &s, size_t start, size_t len) {
  static const char digits[] = "0123456789ABCDEF";
  if (len < 6 || len % 2 != 0 || s[start] != 'S') return;
  unsigned sum = 0;
  for (size_t at = start + 2; at + 2 < start + len; at += 2) {
    const int hi = digit(s[at]), lo = digit(s[at + 1]);
    if (hi < 0 || lo < 0) return;
    sum += static_cast<unsigned>(hi << 4 | lo);
  }
  const unsigned check = ~sum & 0xFFu;
  s[start + len - 2] = digits[check >> 4];
  s[start + len - 1] = digits[check & 15];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_check_image_file_repaired(data, size, repair_line);
  return 0;
}
