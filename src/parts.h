// The table of parts the flasher knows, keyed by the product ID that Get ID
// reports, and the plans built from it: which erase pages an image touches,
// how they go out as erase commands, and how long the module may take.
// Nothing here talks to the module.
#ifndef TARVION_PARTS_H
#define TARVION_PARTS_H

#include <cstdint>
#include <string>
#include <vector>

// A run of erase pages (sectors) of one size; count 0: the run repeats up to
// the end of the flash.
struct part_run {
  uint32_t bytes;
  uint16_t count;
};

// How the boot loader lets the flash-size register be read.
enum part_fsize_read {
  PART_FSIZE_NONE,    // not at all, or not known: the table's size holds
  PART_FSIZE_DIRECT,  // a two-byte Read Memory at the register
  PART_FSIZE_BLOCK,   // only a larger read from fsize_block (fsize_block_len bytes)
  // A two-byte Read Memory at the register, which the boot loader may
  // refuse (it lies outside the system memory it is known to serve): a
  // refusal leaves the table's size, and says nothing against the part.
  PART_FSIZE_REFUSABLE,
};

// One row of the table.
struct part_info {
  uint16_t pid;                // product ID, as Get ID reports it
  const char *family;          // "F4"
  const char *line;            // "F405/407/415/417"
  uint32_t flash_start;        // first flash address
  uint32_t flash_kib;          // largest flash of the line; 0: not known
  part_fsize_read fsize_read;  // whether and how the flash-size register is read
  uint32_t fsize_addr;         // the register: 16 bits, little-endian, KiB
  uint32_t fsize_block;        // PART_FSIZE_BLOCK: where the read starts
  uint16_t fsize_block_len;    // PART_FSIZE_BLOCK: bytes read (at most 256)
  const part_run *layout;      // erase pages from flash_start; null: not known
  int runs;                    // entries of layout
  uint8_t program_unit;        // bytes a write must be aligned and padded to
  uint8_t erase_cmd;           // 0x43 (Erase) or 0x44 (Extended Erase)
  bool mass_erase_refused;     // the boot loader refuses the global/mass erase
  // Where a row read from a parts file stands ("my.parts:2"); null for the
  // table's own rows. Such a row has one fixed layout: no option bit or
  // flash size changes it (see part_layouts.h).
  const char *origin = nullptr;
};

// The row of pid, or null for an identifier the table does not hold (also
// for every identifier above 0xFFF).
const part_info *part_lookup(uint32_t id);

// Every row, for the tests and the documentation: *count receives their number.
const part_info *part_table(int *count);

// "F4 F405/407/415/417": the part's family and line; the family alone where
// the line is empty (a row read from a parts file may have no line).
std::string part_name(const part_info *p);

// Whether the part can have kib KiB of flash: more than none, not above the
// table's largest size, and a whole number of its pages or sectors where
// their layout is known.
bool part_size_allowed(const part_info *p, uint32_t kib);

// The flash size to use, in bytes: kib_read (the flash-size register's
// value) when the part can have it (part_size_allowed), else the table's
// size. 0 when neither is known.
uint32_t part_flash_bytes(const part_info *p, uint32_t kib_read);

// The flash-size register's value in a Read Memory answer of len bytes that
// began at from (a direct read: from == fsize_addr). Returns the value, or 0
// when the answer does not hold the register.
uint32_t part_fsize_value(const part_info *p, uint32_t from, const unsigned char *data, int len);

// The erase pages that cover [flash_start, flash_start + flash_bytes):
// their number, or 0 when the layout is not known.
int part_page_count(const part_info *p, uint32_t flash_bytes);

// Page index's first address and size. Returns 0, or -1 with errno EINVAL for
// an index beyond the layout (or no layout).
int part_page_span(const part_info *p, int index, uint32_t *addr, uint32_t *bytes);

// A run of image bytes at a target address.
struct part_extent {
  uint32_t addr;
  uint32_t len;
};

// The pages that the extents touch, in ascending order, each once. Returns 0;
// or -1 with errno ERANGE when an extent reaches outside the flash
// [flash_start, flash_start + flash_bytes), the lowest such address in
// *outside; or -1 with errno EINVAL when the layout is not known.
int part_plan_pages(const part_info *p, uint32_t flash_bytes,
                    const std::vector<part_extent> &extents, std::vector<uint16_t> *pages,
                    uint32_t *outside);

// Cuts pages into the lists of the erase command, in order: at most
// 255 pages to a list of 0x43 (its count byte is pages - 1, and 0xFF is the
// global erase), 512 to one of 0x44 (a boot loader is known to refuse longer
// lists).
std::vector<std::vector<uint16_t>> part_erase_batches(unsigned char erase_cmd,
                                                      const std::vector<uint16_t> &pages);

// How long the module may take to erase these pages, in ms: per page the
// slowest datasheet erase time with room to spare (50 ms per KiB, at least
// 40 ms). The wait for the answer comes on top.
int part_erase_ms(const part_info *p, const std::vector<uint16_t> &pages);

// How long the module may take to erase its whole flash of flash_bytes (a
// mass erase, or the erase of a read-out unprotect), in ms: the slowest
// figure the datasheets give for the part's family, at the parallelism its
// boot loader erases with, for the part's pages or KiB. 0 when the family's
// figure is not known.
int part_mass_erase_ms(const part_info *p, uint32_t flash_bytes);

// An identifier as the messages write it: "0x410", "0x80000410" (0x and
// at least three hexadecimal digits).
std::string part_id_text(uint32_t id);

// An address as the messages and the parts files write it: "0x08000000" (0x
// and eight upper-case hexadecimal digits).
std::string part_address_text(uint32_t addr);

// "0-3, 8, 10-11": pages as ranges.
std::string part_ranges_text(const std::vector<uint16_t> &pages);

// The part's erase pages over flash_bytes from its flash start as runs of
// one size, each with its count (1 to 65535; neighbours of one size are
// merged up to that). Empty when the layout is not known.
std::vector<part_run> part_layout_runs(const part_info *p, uint32_t flash_bytes);

// "64 pages of 1 KiB", "sectors 4x16+1x64+7x128 KiB": the erase layout of
// the part over flash_bytes from its flash start.
std::string part_layout_text(const part_info *p, uint32_t flash_bytes);

// "F4 F405/407/415/417: 1024 KiB flash, sectors 4x16+1x64+7x128 KiB":
// the part's name, its flash and its erase layout over flash_bytes.
std::string part_describe(const part_info *p, uint32_t flash_bytes);

#endif
