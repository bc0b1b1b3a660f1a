// ELF files through parse_file, checked by fuzz_check_image_file. Each input
// is loaded as it is and once more with the identification the reader
// wants (magic, 32-bit, little-endian, executable, ARM), so that mutations
// reach the program headers rather than stopping at the first check.
#include <cstdint>
#include <string>

#include "fuzz_support.h"

namespace {

std::string with_arm_identity(const uint8_t *data, size_t size) {
  std::string s(reinterpret_cast<const char *>(data), size);
  if (s.size() < 52) s.resize(52, '\0');
  s.replace(0, 6,
            "\x7f"
            "ELF\x01\x01",
            6);
  s[16] = 2;  // executable
  s[17] = 0;
  s[18] = 40;  // ARM
  s[19] = 0;
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_check_image_file(data, size);
  const std::string fixed = with_arm_identity(data, size);
  if (fixed.compare(0, std::string::npos, reinterpret_cast<const char *>(data), size) != 0) {
    fuzz_check_image_file(reinterpret_cast<const uint8_t *>(fixed.data()), fixed.size());
  }
  return 0;
}
