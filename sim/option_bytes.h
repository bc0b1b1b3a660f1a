// The option bytes of a part: double words, each a 32-bit value followed by
// its complement, little-endian, from the area's base (0x1FFF7800 on most
// parts; its size by family). The first value is the option register: its
// read-out protection byte, the bits that choose, at every reset, between
// the boot loader and the application, and on some parts the bit that
// chooses the flash's banks. A write rewrites the whole area; the module
// loads what it holds at its next reset (the option load). F4 and F7 show
// their option control register as halfwords, each followed by its
// complement, in rows of 8 bytes: read only here.
#ifndef TARVION_SIM_OPTION_BYTES_H
#define TARVION_SIM_OPTION_BYTES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

namespace sim {

// What a reset starts, and why: the bits that decided, in the log's words
// (empty when the part has no option bytes and the pin alone decided).
struct BootChoice {
  bool loader;
  std::string why;
};

// 0xAA: level 0; 0xCC: level 2 (for good, and no boot loader); else level 1.
int rdp_level(uint32_t option_word);

class OptionBytes {
 public:
  // The area as shipped: word and its complement first, every other double
  // word 0xFFFFFFFF and 0x00000000; loaded. Kind None: no area at all.
  OptionBytes(OptionArea kind, uint32_t word, const OptionPlace &place = {});

  bool present() const { return kind_ != OptionArea::None; }
  uint32_t base() const { return place_.base; }
  uint32_t size() const { return place_.size; }

  // True when [addr, addr + len) lies inside an area the boot loader serves
  // (len 0: addr does).
  bool contains(uint32_t addr, size_t len) const;
  uint8_t byte(uint32_t addr) const { return bytes_[addr - place_.base]; }

  // Rewrites the whole area with data from its base, the rest erased to
  // 0xFF (data holds whole double words, at most size() bytes). Returns the
  // numbers of the double words that are not a value and its complement.
  std::vector<unsigned> write(const std::vector<uint8_t> &data);
  // Flips a bit of the first value's complement, as a damaged area holds it.
  void damage_complement() {
    if (present()) bytes_[4] ^= 0x01;
  }

  // The first option word as the area holds it, and as last loaded.
  uint32_t stored() const;
  uint32_t loaded() const { return loaded_; }
  // Sets the read-out protection byte of the stored word (and its complement).
  void set_rdp(uint8_t rdp);
  // The option load of a reset: the stored word becomes the loaded one.
  void load() { loaded_ = stored(); }

  // What a reset starts with the loaded word, the boot-select pin and the
  // flash's first word erased (flash_empty) or not.
  BootChoice decide(bool pin_high, bool flash_empty) const;

 private:
  void put_word(size_t dword, uint32_t value);

  OptionArea kind_;
  OptionPlace place_;
  std::vector<uint8_t> bytes_;
  uint32_t loaded_;
};

// The F4/F7 option bytes as Read Memory shows them: OPTCR's low halfword
// (read-out protection and user bits) at base, its high halfword at base +
// 8, each followed by its complement; the rest 0xFF. Writes are refused.
class OptionHalves {
 public:
  OptionHalves(uint32_t base = 0, uint32_t size = 0, uint32_t optcr = 0, bool bad = false);
  bool contains(uint32_t addr, size_t len) const;
  uint8_t byte(uint32_t addr) const { return bytes_[addr - base_]; }

 private:
  uint32_t base_;
  std::vector<uint8_t> bytes_;
};

}  // namespace sim

#endif
