// The parts whose erase layout the table's row cannot give alone: an option
// bit chooses the page size or the banks, or the flash size puts bank 2
// behind a hole. A small table keyed by product ID says where the bit is
// read and what each value makes of the flash; the page plans of parts.h
// then run on the row with that layout. Nothing here talks to the module.
#ifndef TARVION_PART_LAYOUTS_H
#define TARVION_PART_LAYOUTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "parts.h"

// Where Read Memory shows the option bit.
enum part_bit_place {
  PART_BIT_NONE,     // no bit: the flash size alone decides
  PART_BIT_WORD,     // a 32-bit value, little-endian, then its complement
  PART_BIT_HALF,     // a 16-bit value, little-endian, then its complement
  PART_BIT_UNKNOWN,  // no place the boot loader serves is known
};

// The flash as one setting makes it: pages from the flash start, numbered
// on by the erase commands, over numbered_kib KiB (0: the whole flash); and
// where numbered_kib is set, bank 2 from bank2_kib KiB after the flash start
// (a hole below it when bank2_kib > numbered_kib), holding the rest of the
// flash, whose page numbers in the erase commands are not known.
struct part_layout {
  const part_run *runs;
  int count;
  uint32_t numbered_kib;
  uint32_t bank2_kib;
};

// A part whose layout follows an option bit, or its flash size, at one
// flash size.
struct part_layout_rule {
  uint16_t pid;
  uint32_t kib;  // the flash size the rule holds for; 0: every size
  part_bit_place place;
  uint32_t addr;  // the value's first byte (WORD, HALF)
  uint8_t bit;    // in the value
  const char *bit_name;
  part_layout set, clear;  // by the bit; PART_BIT_NONE: set
};

// Whether the part's layout follows an option bit or its flash size: never
// for a row read from a parts file, whose layout is fixed.
bool part_layout_varies(const part_info *p);

// What the part's layout follows, for the listing of the table: "its option
// bit DBANK or DB1M", "its flash size"; "" where it does not vary.
std::string part_layout_follows(const part_info *p);

// The rule of the part at flash_bytes, or null: the table's layout holds.
const part_layout_rule *part_layout_rule_for(const part_info *p, uint32_t flash_bytes);

// The bit's value in the option bytes read from the rule's address (8
// bytes for a word, 4 for a halfword). Returns 0 or 1; -1 with errno EILSEQ
// when the value does not match its complement, EINVAL for too few bytes.
int part_layout_bit(const part_layout_rule &r, const std::vector<unsigned char> &bytes);

// The part's row with the layout's numbered pages instead of the table's,
// over a flash of flash_bytes; *numbered_bytes receives the bytes they span.
part_info part_with_layout(const part_info &row, const part_layout &l, uint32_t flash_bytes,
                           uint32_t *numbered_bytes);

// The address ranges of the flash under the layout: bank 1 (or the whole
// flash), and bank 2 where its numbers are not known (empty otherwise).
struct part_flash_span {
  uint32_t start, end;  // [start, end)
};
std::vector<part_flash_span> part_layout_spans(const part_info &row, const part_layout &l,
                                               uint32_t flash_bytes);

// The pages the extents touch on a part of flash_bytes under the layout l
// (all: every page of the flash), in ascending order. Returns 0; -1 with
// errno ERANGE and *at the lowest address outside the flash (past its end
// or in a hole); -1 with errno ENOTSUP and *at the lowest address planned in
// a bank 2 whose page numbers are not known; -1 with errno EINVAL for a
// layout that is not known.
int part_layout_plan(const part_info &row, const part_layout &l, uint32_t flash_bytes,
                     const std::vector<part_extent> &extents, bool all,
                     std::vector<uint16_t> *pages, uint32_t *at);

#endif
