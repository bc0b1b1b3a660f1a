#include "info.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "device.h"
#include "option_bytes.h"
#include "util.h"

namespace {

std::string part_line(const device_info &d) {
  if (!d.part) return "not in the table of parts";
  std::string text = part_name(d.part) + ", ";
  if (d.flash_bytes == 0) return text + "flash size not known";
  return text + std::to_string(d.flash_bytes / 1024) + " KiB flash";
}

// The option lines of a part whose option area is known. A read the boot
// loader refuses shows read-out protection.
int show_options(ld_session *s, const device_info &d) {
  std::vector<unsigned char> first;
  if (ob_read(s, ob_area_of(d.part), 8, &first) < 0) {
    if (errno != EINVAL) return report_failure("Can't read the option bytes");
    std::puts("Read-out protection: level 1 (the option bytes cannot be read)");
    return 0;
  }
  const uint32_t word = ob_value(first, 0);
  const ob_family f = ob_family_of(d.part);
  std::printf("Option word: 0x%08X\n", word);
  std::printf("Boot-select pin: %s (%s = %d)\n", ob_pin_ignored(f, word) ? "ignored" : "counts",
              ob_bit_name(f), ob_bit_value(f, word));
  std::printf("Read-out protection: level %d\n", ob_rdp_level(word));
  return 0;
}

}  // namespace

int show_info(ld_session *s, const part_catalog *parts) {
  device_info d;
  if (device_identify(s, parts, &d) < 0 || device_read_size(s, &d) < 0)
    return report_failure("Can't read device ID");
  unsigned char version[3] = {};
  if (ld_get_version(s, version) < 0) return report_failure("Can't read the boot loader's version");
  std::vector<unsigned char> codes;
  if (ld_get_commands(s, nullptr, &codes) < 0)
    return report_failure("Can't read the boot loader's commands");
  std::printf("ID: %s\n", part_id_text(d.id).c_str());
  std::printf("Part: %s\n", part_line(d).c_str());
  std::printf("Boot loader: version %u.%u\n", version[0] >> 4, version[0] & 0x0Fu);
  std::string list;
  for (unsigned char c : codes) {
    char code[4];
    std::snprintf(code, sizeof code, " %02X", c);
    list += code;
  }
  std::printf("Commands:%s\n", list.c_str());
  return ob_area_known(d.part) ? show_options(s, d) : 0;
}
