// --info: what the module tells of itself, on standard output, one item a
// line, with nothing erased or written:
//   ID: 0x460
//   Part: G0 G070/071/081, 128 KiB flash
//   Boot loader: version 3.1
//   Commands: 00 01 02 11 21 31 44 63 73 82 92
// and where the flasher knows the part's option bytes (G0, C0, G4, L4):
//   Option word: 0xFFFFFEAA
//   Boot-select pin: ignored (nBOOT_SEL = 1)
//   Read-out protection: level 0
// A part that is not in the table shows "Part: not in the table of parts";
// a flash size that is not known, "flash size not known". Under read-out
// protection the option bytes cannot be read: the last three lines are
// then "Read-out protection: level 1 (the option bytes cannot be read)".
#ifndef TARVION_INFO_H
#define TARVION_INFO_H

#include "loader.h"
#include "parts_file.h"

// Asks the module (Get ID, the flash-size register, Get Version, Get, the
// option word) and prints the lines above, the part from parts (null: the
// table alone). Returns 0, or -1 after a message on standard error when the
// module could not be read.
int show_info(ld_session *s, const part_catalog *parts);

#endif
