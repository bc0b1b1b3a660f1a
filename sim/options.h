// Command line of the simulated module: what it plays and which faults it shows.
#ifndef TARVION_SIM_OPTIONS_H
#define TARVION_SIM_OPTIONS_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace sim {

// Faults the boot loader shows on request (all off by default).
struct Faults {
  bool silent = false;                       // never answer anything
  std::set<uint64_t> nack_blocks;            // 1-based block numbers refused with 0x1F
  std::map<unsigned, uint32_t> nack_cmds;    // command code -> attempts still to refuse
  std::map<uint64_t, unsigned> wrong_bytes;  // block number -> byte answered instead
  uint32_t hangup_after = 0;                 // hang up after this many writes; 0: never
  int id_short = -1;                         // identifier bytes actually sent; -1: all
  uint32_t ack_delay_ms = 0;                 // delay before every answer to a block
  bool get_reply_given = false;              // Get answers get_reply after its ACK
  std::vector<uint8_t> get_reply;
};

struct SimOptions {
  std::string link;  // symlink to the terminal, if not empty
  std::string dump;  // flash content written here on exit, if not empty
  std::string log;   // event log, if not empty
  uint32_t flash_base = 0x08000000;
  uint32_t flash_size = 131072;
  uint32_t id = 0x410;
  uint32_t baud = 0;  // 0: no pacing
  uint32_t erase_ms = 0;
  bool extended_erase = false;  // a newer boot loader: Get and 0x44, no 0x43
  bool exit_on_close = false;
  Faults faults;
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
