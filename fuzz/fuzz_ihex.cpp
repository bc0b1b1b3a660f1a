// Whole files through parse_file, whose format the content decides (Intel
// HEX, raw binary, or another format the mutations reach), checked by
// fuzz_check_image_file. Each input is loaded as it is and once more with
// its records' checksums made right.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "image_ihex.h"

namespace {

unsigned hex_byte_at(const std::string &s, size_t at) {
  return static_cast<unsigned>(hex2nibble(&s[at]) << 4 | hex2nibble(&s[at + 1]));
}

// Makes the checksum of a line that has a record's shape right.
void repair_line(std::string &s, size_t start, size_t len) {
  static const char digits[] = "0123456789ABCDEF";
  if (len < 11 || s[start] != ':' || len != 2 * size_t{hex_byte_at(s, start + 1)} + 11) return;
  unsigned sum = 0;
  for (size_t at = start + 1; at < start + len - 2; at += 2) sum += hex_byte_at(s, at);
  const unsigned check = (0x100 - (sum & 0xFF)) & 0xFF;
  s[start + len - 2] = digits[check >> 4];
  s[start + len - 1] = digits[check & 15];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_check_image_file_repaired(data, size, repair_line);
  return 0;
}
