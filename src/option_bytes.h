// The module's option bytes where the flasher knows them: which families
// can be told to ignore the boot-select pin and by which bit, where their
// option area lies, reading it, the change that makes the pin count, and
// writing the area back. Prints nothing.
//
// The area as Read and Write Memory see it: double words, each a 32-bit
// value followed by its complement, little-endian; the first value is the
// option register. G0 and C0: 128 bytes from 0x1FFF7800; G4: 48 bytes from
// there; L4: bank 1's 40 bytes from there (the option register, PCROP1
// start and end, WRP1A, WRP1B); L4+: the same 40 bytes from 0x1FF00000. A
// Write Memory there rewrites the whole area, so it is always written
// whole, from its base, with every complement; a read or write past its
// end is refused by the boot loader's range check.
#ifndef TARVION_OPTION_BYTES_H
#define TARVION_OPTION_BYTES_H

#include <cstdint>
#include <vector>

#include "loader.h"
#include "parts.h"

// A part's option area: where it begins and its bytes (0: not known).
struct ob_area {
  uint32_t base;
  int bytes;
};

// What the flasher knows of a part's boot-select pin.
enum ob_family {
  OB_FAMILY_UNKNOWN,   // not known whether the part can ignore the pin
  OB_FAMILY_PIN,       // samples the pin at every reset (F1 to F4, F7, H7)
  OB_FAMILY_BOOT_SEL,  // nBOOT_SEL, bit 24, set: the pin is ignored (G0, C0)
  OB_FAMILY_SWBOOT0,   // nSWBOOT0, bit 26, clear: the pin is ignored (G4, L4,
                       // L5, U5, WB, WL)
};

// The part's family as above; a part not in the table (null) is unknown.
ob_family ob_family_of(const part_info *p);

// The part's option area; bytes 0 where it is not known. L5, U5, WB and WL
// have nSWBOOT0 in an area whose reach (or place) the flasher does not know.
ob_area ob_area_of(const part_info *p);

// Whether the option area of the part is known: G0, C0, G4, L4 and L4+.
bool ob_area_known(const part_info *p);

// The name of the family's bit ("nBOOT_SEL", "nSWBOOT0"; "" for the others)
// and its value in the option word (0 or 1).
const char *ob_bit_name(ob_family f);
int ob_bit_value(ob_family f, uint32_t word);

// Whether the module ignores its boot-select pin with this option word, or
// will once an application is in flash (G0/C0 with nBOOT_SEL set start the
// boot loader only while the flash is empty).
bool ob_pin_ignored(ob_family f, uint32_t word);

// The option word with the pin counting: nBOOT_SEL cleared or nSWBOOT0 set,
// every other bit as it was (the read-out protection byte among them).
uint32_t ob_pin_counting(ob_family f, uint32_t word);

// The read-out protection level of the option word's RDP byte: 0xAA level
// 0, 0xCC level 2, anything else level 1.
int ob_rdp_level(uint32_t word);

// The 32-bit little-endian value at byte offset at of the area.
uint32_t ob_value(const std::vector<unsigned char> &area, int at);

// The first double word that is not a value and its complement (0 to 15),
// or -1 when every one is.
int ob_bad_pair(const std::vector<unsigned char> &area);

// The area with the first option word (and its complement) replaced by word;
// every other byte as it was.
std::vector<unsigned char> ob_with_word(const std::vector<unsigned char> &area, uint32_t word);

// Reads len bytes of the area a from its base (8: the option word and its
// complement; a.bytes: all of it) until two reads agree, at most five reads
// (ld_read_agreed: Read Memory carries no checksum). Returns 0 with *out
// filled, or -1 with errno as ld_read_memory (EINVAL: refused, as under
// read-out protection, or len past the area's end: nothing read), EIO when
// no two reads agreed.
int ob_read(ld_session *s, const ob_area &a, int len, std::vector<unsigned char> *out);

// Writes the whole area a (a.bytes bytes, from its base) in one Write
// Memory. Where the answer to its data block is lost, the area is read back:
// written when it holds area, written again when it holds before, failed
// (EIO) otherwise. The session's reset line is not used while the write
// runs, and a signal is held until its answer has come or its budget run
// out: a reset then could leave the option bytes half programmed. Returns
// 0 once acknowledged (the stop flag may be set by then), or -1 with errno
// as ld_run_command (EINVAL for an area of another size: nothing is sent;
// EINTR when the stop was set before: nothing is sent).
int ob_write(ld_session *s, const ob_area &a, const std::vector<unsigned char> &before,
             const std::vector<unsigned char> &area);

#endif
