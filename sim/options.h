// Command line of the simulated module: what it plays and which faults it shows.
#ifndef TARVION_SIM_OPTIONS_H
#define TARVION_SIM_OPTIONS_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "flash.h"

namespace sim {

// Faults the boot loader shows on request (all off by default).
struct Faults {
  bool silent = false;                       // never answer anything
  bool garbage_before_ack = false;           // a stray byte before the sync's first ACK
  std::set<uint64_t> nack_blocks;            // 1-based block numbers refused with 0x1F
  std::map<unsigned, uint32_t> nack_cmds;    // command code -> attempts still to refuse
  std::map<uint64_t, unsigned> wrong_bytes;  // block number -> byte answered instead
  uint32_t hangup_after = 0;                 // hang up after this many writes; 0: never
  int id_short = -1;                         // identifier bytes actually sent; -1: all
  uint32_t ack_delay_ms = 0;                 // delay before every answer to a block
  bool get_reply_given = false;              // Get answers get_reply after its ACK
  std::vector<uint8_t> get_reply;
};

// Faults of the line itself, in both directions (all off by default). Bytes
// are counted from 1 over the whole run.
struct LineFaults {
  std::map<uint64_t, uint8_t> damage_byte;  // host bytes that arrive damaged: the bits flipped
  std::set<uint64_t> lose_byte;             // host bytes that never arrive
  std::set<uint64_t> damage_reply;          // module bytes that reach the host with bit 0 flipped
  double bit_error_rate = 0;                // random bit flips per bit, both directions
  double loss_rate = 0;                     // host bytes lost at random, per byte
  uint64_t seed = 1;
};

// The option bytes a part keeps and the bits of the first option word its
// boot decision reads: none (the pin decides); nBOOT_SEL (bit 24) and nBOOT0
// (bit 27) of G0/C0; nSWBOOT0 (bit 26) and nBOOT0 of the G4 and L4 class
// (L4, L4+, L5, U5, WB, WL).
enum class OptionArea { None, BootSel, SwBoot0 };

// Where Read and Write Memory find the option area (served false: nowhere,
// the boot loader refuses both) and its size in bytes.
struct OptionPlace {
  uint32_t base = 0x1FFF7800;
  uint32_t size = 128;
  bool served = true;
};

struct SimOptions {
  std::string link;  // symlink to the terminal, if not empty
  std::string dump;  // flash content written here on exit, if not empty
  std::string log;   // event log, if not empty
  uint32_t flash_base = 0x08000000;
  uint32_t flash_size = 262144;  // 256 pages of 1 KiB: page numbers beyond a byte's filler
  uint32_t id = 0x410;
  uint32_t baud = 0;  // 0: no pacing
  uint32_t erase_ms = 0;
  bool extended_erase = false;  // a newer boot loader (3.x): 0x44 instead of 0x43
  bool exit_on_close = false;
  // What the module is: a part from the part table (0: none) and what the
  // command line sets over it. After parsing every field holds the result.
  unsigned part = 0;
  bool id_given = false, flash_size_given = false, erase_ms_given = false;
  bool page_size_given = false, program_unit_given = false;
  uint32_t page_size = 1024;      // uniform pages unless sectors is filled
  std::vector<uint32_t> sectors;  // sector sizes from the flash start, if not uniform
  uint32_t program_unit = 4;      // bytes of a flash word
  uint8_t version = 0x22;         // Get's and Get Version's boot loader version
  uint32_t loader_version = 0;    // --loader-version: replaces version (0: not given)
  bool no_mass_erase = false;     // mass and bank erases refused
  uint32_t bank2_offset = 0;      // where bank 2 begins in the flash; 0: one bank
  FlashBanks banks;               // a hole below bank 2, and its own page numbers
  double erase_scale = 1;         // factor on the part's erase times
  double page_erase_ms = 0;       // per uniform page, from the part
  double mass_erase_ms = 0;       // from the part; 0: the sum of every page's time
  // The flash-size register (KiB, 16-bit little-endian) inside a readable
  // system-memory area; area_len 0: no such area. With area_whole a read must
  // start at the area's first address.
  uint32_t size_register = 0;
  uint32_t area = 0, area_len = 0;
  bool area_whole = false;
  bool read_protected = false;
  bool write_protected = false;
  // Option bytes: the part's kind of area, its first option word at power-on
  // (the part's factory word unless given), whether the module restarts
  // after an option write, 0x73, 0x82 and 0x92 (-1 until decided: the
  // family's rule), and whether a written area waits for a power cycle.
  OptionArea option_area = OptionArea::None;
  OptionPlace option_place;
  uint32_t option_word = 0xFFFFFFFF;
  bool option_word_given = false;
  // The option bit that chooses the flash's banks (--dual-bank; -1: as the
  // option bytes have it), and on F4/F7 the option control value whose
  // halfwords are read at their option bytes (OPTCR; 0: none).
  int dual_bank = -1;
  uint32_t optcr = 0;
  bool bad_option_complement = false;  // the bank bit's value fails its complement
  int reset_after_options = -1;
  bool options_need_power_cycle = false;
  uint32_t boot_ms = 0;             // bytes lost this long after a reset or restart
  bool boot_ms_given = false;       // else the start-up of the part, 0 without one
  uint32_t autobaud_window_us = 0;  // a 0x7F this early in the start-up fixes a wrong speed
  bool zero_on_reset = false;       // 0x00 on the line when the module starts
  bool already_synced = false;
  std::string flash_init;  // raw file preloaded into the flash, if not empty
  Faults faults;
  LineFaults line;
  std::string sysfs;  // sysfs stand-in directory, if not empty
  int reset_gpio = -1;
  int boot_gpio = -1;
};

// Parses the command line into opts. Returns 0 to run, 1 when --help was
// given (the caller prints usage_text() and exits 0), and -1 on a malformed
// command line with the reason in err (the caller prints it with the usage and
// exits 2).
int parse_sim_options(int argc, char **argv, SimOptions &opts, std::string &err);

// The program's help text (its own documentation).
const char *usage_text();

}  // namespace sim

#endif
