// The module's flash memory: a run of bytes at a base address, erased to
// 0xFF, cut into pages (or sectors) that erase as a whole, and programmed in
// flash words that can each be programmed once between erases.
#ifndef TARVION_SIM_FLASH_H
#define TARVION_SIM_FLASH_H

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class Flash {
 public:
  // Uniform pages of page_size bytes (the last one may be shorter), or the
  // given sector sizes when sectors is not empty; words of unit bytes.
  Flash(uint32_t base, uint32_t size, uint32_t page_size = 1024,
        const std::vector<uint32_t> &sectors = {}, uint32_t unit = 4);

  // True when [addr, addr + len) lies wholly inside the flash (len may be 0:
  // then addr itself must be a flash address).
  bool contains(uint32_t addr, size_t len) const;

  void erase();
  size_t page_count() const { return starts_.size() - 1; }
  // Erases page i. Returns false (nothing erased) when there is no page i.
  bool erase_page(size_t i);
  uint32_t page_start(size_t i) const { return starts_[i]; }
  uint32_t page_size(size_t i) const { return starts_[i + 1] - starts_[i]; }
  // Erases the pages that begin in [from, to) bytes from the flash start.
  void erase_range(uint32_t from, uint32_t to);

  enum class Program { Done, Unaligned, Twice };

  // Programs data at addr (which must be contained). Unaligned: addr or the
  // length is not a multiple of the word size, nothing programmed. Twice: a
  // word was already programmed since its erase, nothing programmed, its
  // address in first. Done: each byte became old AND new (as flash does).
  Program program(uint32_t addr, const std::vector<uint8_t> &data, uint32_t &first);

  const std::vector<uint8_t> &bytes() const { return bytes_; }

  // Preloads the flash from a raw file from its start; words that hold
  // anything but 0xFF count as programmed. Returns 0, or -1 with errno
  // (EFBIG: the file is larger than the flash).
  int load(const std::string &path);

  // Writes the whole content to path. Returns 0, or -1 with errno.
  int dump(const std::string &path) const;

 private:
  void mark_programmed();
  void erase_one(size_t i);

  uint32_t base_;
  uint32_t unit_;
  std::vector<uint8_t> bytes_;
  std::vector<uint32_t> starts_;  // offset of each page, and the flash size last
  std::vector<bool> programmed_;  // one per word
};

}  // namespace sim

#endif
