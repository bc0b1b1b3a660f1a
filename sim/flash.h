// The module's flash memory: a run of bytes at a base address, erased to 0xFF.
#ifndef TARVION_SIM_FLASH_H
#define TARVION_SIM_FLASH_H

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class Flash {
 public:
  Flash(uint32_t base, uint32_t size) : base_(base), bytes_(size, 0xFF) {}

  // True when [addr, addr + len) lies wholly inside the flash (len may be 0:
  // then addr itself must be a flash address).
  bool contains(uint32_t addr, size_t len) const;

  void erase() { bytes_.assign(bytes_.size(), 0xFF); }

  // Programs data at addr (which must be contained): like real flash, a write
  // can only clear bits, so each byte becomes old AND new. Returns the number
  // of bytes that were not erased before, and their first address in first.
  size_t program(uint32_t addr, const std::vector<uint8_t> &data, uint32_t &first);

  const std::vector<uint8_t> &bytes() const { return bytes_; }

  // Writes the whole content to path. Returns 0, or -1 with errno.
  int dump(const std::string &path) const;

 private:
  uint32_t base_;
  std::vector<uint8_t> bytes_;
};

}  // namespace sim

#endif
