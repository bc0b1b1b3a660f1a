// The boot loader's option area: Write Memory at its base, and the option
// load and boot decision of every reset.
#include <algorithm>
#include <cstdio>

#include "bootloader.h"

namespace sim {

bool BootLoader::reset(bool pin_high) {
  if (options_.present() && !opts_.options_need_power_cycle) {
    options_.load();
    read_protected_ = rdp_level(options_.loaded()) != 0;
  }
  const std::vector<uint8_t> &f = flash_.bytes();
  const bool empty = std::all_of(f.begin(), f.begin() + std::min<std::ptrdiff_t>(4, f.size()),
                                 [](uint8_t b) { return b == 0xFF; });
  const BootChoice c = options_.decide(pin_high, empty);
  if (!c.why.empty())
    log_.event(std::string("boot ") + (c.loader ? "loader" : "app") + " by " + c.why);
  restart(c.loader);
  return c.loader;
}

// The area is written whole, from its base, in double words: anything else is
// refused after its data block, before a byte of the area changes.
bool BootLoader::write_options(const std::vector<uint8_t> &data, Reply &reply) {
  const std::string where = hex32(addr_) + " " + std::to_string(data.size());
  if (addr_ != options_.base() || data.size() % 8 || data.size() > options_.size()) {
    log_.event("options refused " + where);
    fprintf(stderr,
            "tarvion_module_sim: option write at 0x%08x of %zu byte(s) refused: the area takes "
            "whole double words from 0x%08x, at most %u bytes\n",
            addr_, data.size(), options_.base(), options_.size());
    return false;
  }
  log_.event("cmd write " + where);
  const std::vector<unsigned> bad = options_.write(data);
  const uint32_t word = options_.stored();
  log_.event("options " + hex32(word));
  if (!bad.empty()) {
    std::string which;
    for (unsigned i : bad) which += " " + std::to_string(i);
    log_.event("option-load error" + which);
    fprintf(stderr,
            "tarvion_module_sim: option-load error: double word(s)%s are not a value and its "
            "complement\n",
            which.c_str());
  }
  if (rdp_level(word) != 0) log_rdp(word);
  reply.restart = opts_.reset_after_options == 1;
  fprintf(stderr, "tarvion_module_sim: option bytes written, first word 0x%08x: %s\n", word,
          opts_.options_need_power_cycle ? "they apply only after a power cycle"
          : reply.restart                ? "the module restarts with them"
                                         : "they apply at the next reset");
  return true;
}

// A host must never set read-out protection: say so where nobody can miss it.
void BootLoader::log_rdp(uint32_t word) const {
  const int level = rdp_level(word);
  const unsigned rdp = word & 0xFF;
  log_.event("rdp " + hex_bytes({static_cast<uint8_t>(rdp)}) + " level " + std::to_string(level));
  fprintf(stderr,
          "tarvion_module_sim: WARNING: the option write sets RDP 0x%02x: read-out protection "
          "level %d from the option load on%s\n",
          rdp, level,
          level == 2 ? ", for good: a real module would never run its boot loader again" : "");
}

}  // namespace sim
