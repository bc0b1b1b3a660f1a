// The part table: what a module of a given product ID looks like to its ROM
// boot loader (flash layout, flash word, erase command, erase times and the
// flash-size register).
#ifndef TARVION_SIM_PARTS_H
#define TARVION_SIM_PARTS_H

#include <string>

#include "options.h"

namespace sim {

// Fills opts from the row of opts.part, keeping what the command line gave
// (identifier, flash size, page size, program unit, erase time). Returns 0,
// or -1 with the reason in err (unknown part, flash size over the part's).
int apply_part(SimOptions &opts, std::string &err);

// Fills in the option bytes of the part (of --part, else of the row of
// --id): its kind of option area and factory word unless given, and whether
// it restarts after an option write, 0x73, 0x82 and 0x92 unless the command
// line said. Returns 0, or -1 with the reason in err (an option word or the
// power-cycle rule for a module without option bytes).
int apply_option_bytes(SimOptions &opts, std::string &err);

// Lays out the flash of a part whose banks follow an option bit (G4 0x469,
// L4+ 0x470, L5 0x472, F4 0x419 of 1 MiB, F7 0x451) by that bit, after
// --dual-bank has set it; an H7 0x450 of 1 MiB gets its hole. Returns 0, or
// -1 with the reason in err (--dual-bank for a part without such a bit).
int apply_bank_layout(SimOptions &opts, std::string &err);

// The time in ms a sector of kib KiB takes to erase (typical figures).
double sector_erase_ms(uint32_t kib);

}  // namespace sim

#endif
