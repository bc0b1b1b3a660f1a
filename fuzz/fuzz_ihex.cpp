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
  fuzz_check_image_file(data, size);
  const std::string repaired = with_checksums_repaired(data, size);
  if (repaired.compare(0, std::string::npos, reinterpret_cast<const char *>(data), size) != 0) {
    fuzz_check_image_file(reinterpret_cast<const uint8_t *>(repaired.data()), repaired.size());
  }
  return 0;
}
