#include "boot_pin.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "option_bytes.h"
#include "util.h"

namespace {

// The G07x (product ID 0x460) boot loader 11.2 writes the option bytes but
// does not load them: only a power cycle does.
constexpr unsigned int kG07xId = 0x460;
constexpr unsigned char kNoReloadVersion = 0xB2;

std::string part_name(const device_info &d) {
  if (!d.part) return "part " + part_id_text(d.id);
  return "the " + part_name(d.part);
}

bool needs_power_cycle(ld_session *s, const device_info &d) {
  unsigned char version[3] = {};
  return d.id == kG07xId && ld_get_version(s, version) == 0 && version[0] == kNoReloadVersion;
}

// Writes the changed area, finds out whether the module restarted, and
// reads the area back.
int write_and_check(ld_session *s, const ob_area &where, const std::vector<unsigned char> &area,
                    const std::vector<unsigned char> &changed, bool verbose) {
  if (ob_write(s, where, area, changed) < 0) return report_failure("Can't write the option bytes");
  if (s->stop && *s->stop) {
    errno = EINTR;
    return report_failure("The option bytes are written, but were not read back");
  }
  bool restarted = false;
  // A stop during the probe is no silence of the module.
  if (ld_probe_restart(s, &restarted) < 0)
    return report_failure(errno == EINTR ? "Stopped after the option write"
                                         : "No answer from the module after its option write");
  std::vector<unsigned char> back;
  if (ob_read(s, where, where.bytes, &back) < 0)
    return report_failure("Can't read the option bytes back");
  if (back != changed) {
    std::fprintf(stderr,
                 "The option bytes read back differ from those written (option word 0x%08X, "
                 "0x%08X written)\n",
                 ob_value(back, 0), ob_value(changed, 0));
    return -1;
  }
  if (verbose)
    std::fputs(restarted ? "Option bytes written: the module restarted with them\n"
                         : "Option bytes written: the module applies them at its next reset\n",
               stderr);
  return 0;
}

// The first part of what is said of a module that ignores its pin.
void say_ignored(uint32_t word) {
  std::fprintf(stderr,
               "The module ignores its boot-select pin (option word 0x%08X): once an application "
               "is written, the next update cannot enter the boot loader through it",
               word);
}

}  // namespace

int boot_pin_check(ld_session *s, const device_info &d, boot_pin_rule rule, bool after_erase) {
  if (!ob_area_known(d.part)) return 0;
  std::vector<unsigned char> first;
  if (ob_read(s, ob_area_of(d.part), 8, &first) < 0) {
    if (rule == BOOT_PIN_WARN || errno == EINVAL) return 0;
    return errno == EINTR ? -1 : report_failure("Can't read the option bytes");
  }
  const uint32_t word = ob_value(first, 0);
  if (!ob_pin_ignored(ob_family_of(d.part), word)) return 0;
  say_ignored(word);
  if (rule == BOOT_PIN_WARN) {
    std::fputs("; --boot-pin makes the pin count\n", stderr);
    return 0;
  }
  std::fprintf(stderr,
               "\nStopped before the %s: --boot-pin makes the pin count (a lasting change of the "
               "option bytes), --leave-options flashes with the option bytes as they are\n",
               after_erase ? "write" : "erase");
  return -1;
}

int boot_pin_make_count(ld_session *s, const device_info &d, bool verbose) {
  const ob_family f = ob_family_of(d.part);
  if (f == OB_FAMILY_PIN) {
    if (verbose)
      std::fprintf(stderr, "The %s samples its boot-select pin at every reset: nothing to change\n",
                   part_name(d.part).c_str());
    return 0;
  }
  if (!ob_area_known(d.part)) {
    std::fprintf(stderr,
                 "Can't make the boot-select pin count: the option bytes of %s are not known "
                 "here; nothing was changed\n",
                 part_name(d).c_str());
    return -1;
  }
  const ob_area where = ob_area_of(d.part);
  std::vector<unsigned char> area;
  if (ob_read(s, where, where.bytes, &area) < 0)
    return report_failure("Can't read the option bytes");
  const int bad = ob_bad_pair(area);
  if (bad >= 0) {
    std::fprintf(stderr,
                 "Can't make the boot-select pin count: option double word %d (0x%08X) is not a "
                 "value and its complement; nothing was written\n",
                 bad, where.base + 8u * static_cast<unsigned>(bad));
    return -1;
  }
  const uint32_t word = ob_value(area, 0);
  if (!ob_pin_ignored(f, word)) {
    if (verbose)
      std::fprintf(stderr, "The boot-select pin counts already (option word 0x%08X)\n", word);
    return 0;
  }
  const uint32_t counting = ob_pin_counting(f, word);
  if (verbose)
    std::fprintf(stderr, "Making the boot-select pin count: option word 0x%08X becomes 0x%08X\n",
                 word, counting);
  const bool power_cycle = needs_power_cycle(s, d);
  if (write_and_check(s, where, area, ob_with_word(area, counting), verbose) < 0) return -1;
  std::fprintf(stderr,
               "Option word 0x%08X became 0x%08X: the boot-select pin counts, and the change "
               "lasts until the option bytes are written again\n",
               word, counting);
  if (power_cycle)
    std::fputs(
        "The module applies its new option bytes only after a power cycle (the G07x boot loader "
        "11.2 does not load them): switch it off and on before the next update\n",
        stderr);
  return 0;
}
