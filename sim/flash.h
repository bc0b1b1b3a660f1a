// The module's flash memory: a run of bytes at a base address, erased to
// 0xFF, cut into pages (or sectors) that erase as a whole, and programmed in
// flash words that can each be programmed once between erases.
#ifndef TARVION_SIM_FLASH_H
#define TARVION_SIM_FLASH_H

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Bank 2 where it does not simply follow bank 1 (offsets from the flash
// start): behind a hole (no flash from hole_at up to bank2_at), or with page
// numbers of its own in the erase commands (its first page bank2_number).
struct FlashBanks {
  uint32_t bank2_at = 0;      // 0: no such bank 2
  uint32_t hole_at = 0;       // 0: no hole
  uint32_t bank2_number = 0;  // 0: counted on from bank 1
};

class Flash {
 public:
  // size bytes of flash in uniform pages of page_size bytes (the last one may
  // be shorter), or the given sector sizes when sectors is not empty; words
  // of unit bytes; banks: a hole and bank 2's page numbers.
  Flash(uint32_t base, uint32_t size, uint32_t page_size = 1024,
        const std::vector<uint32_t> &sectors = {}, uint32_t unit = 4, const FlashBanks &banks = {});

  // True when [addr, addr + len) lies wholly inside the flash, not in a hole
  // (len may be 0: then addr itself must be a flash address).
  bool contains(uint32_t addr, size_t len) const;

  void erase();
  // Pages by position, from the flash start.
  size_t page_count() const { return pages_.size(); }
  uint32_t page_start(size_t i) const { return pages_[i].start; }
  uint32_t page_size(size_t i) const { return pages_[i].size; }
  // The position of the page the erase commands number n; -1: none.
  long page_position(uint32_t n) const;
  // Erases the page numbered n. Returns false (nothing erased) when there is
  // no such page.
  bool erase_page(uint32_t n);
  // Erases the pages that begin in [from, to) bytes from the flash start.
  void erase_range(uint32_t from, uint32_t to);

  enum class Program { Done, Unaligned, Twice };

  // Programs data at addr (which must be contained). Unaligned: addr or the
  // length is not a multiple of the word size, nothing programmed. Twice: a
  // word was already programmed since its erase, nothing programmed, its
  // address in first. Done: each byte became old AND new (as flash does).
  Program program(uint32_t addr, const std::vector<uint8_t> &data, uint32_t &first);

  // From the flash start to the end of the flash, a hole included (0xFF).
  const std::vector<uint8_t> &bytes() const { return bytes_; }

  // Preloads the flash from a raw file from its start (a hole keeps 0xFF);
  // words that hold anything but 0xFF count as programmed. Returns 0, or -1
  // with errno (EFBIG: the file is larger than the flash).
  int load(const std::string &path);

  // Writes the whole content to path. Returns 0, or -1 with errno.
  int dump(const std::string &path) const;

 private:
  void mark_programmed();
  void erase_one(size_t i);

  struct Page {
    uint32_t number, start, size;
  };

  bool in_hole(uint64_t off) const;

  uint32_t base_;
  uint32_t unit_;
  FlashBanks banks_;
  std::vector<uint8_t> bytes_;
  std::vector<Page> pages_;
  std::vector<bool> programmed_;  // one per word
};

}  // namespace sim

#endif
