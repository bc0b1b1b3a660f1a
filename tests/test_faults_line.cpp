// Faults of the line itself, end to end: a byte from the flasher lost or
// damaged at each position of the erase and of a write, and damaged answers.
// The boot loader leaves a command at a refusal and has no time-out, so each
// run must end 0 with the image in flash, and the module must have acted on
// no command but the flasher's, writing no flash word twice.
#include <gtest/gtest.h>

#include <string>

#include "fault_runs.h"

namespace {

using namespace testsupport;

// Bytes from the flasher, counted from 1 as the module counts them: the
// sync byte, Get ID's pair twice, the erase's pair and parameter, then fragment
// 1's pair, address and 258-byte data block, and fragment 2's.
// A byte lost, or the count 0xFF damaged to 0xFE, in the erase's parameter
// leaves the boot loader waiting: the erase gets three more waits for a late
// answer before the module is restarted.
const struct {
  const char *what;
  int byte;
  int lost_waits, damaged_waits;
} kLinePositions[] = {
    {"erase command", 6, 0, 0},         {"erase complement", 7, 0, 0},
    {"erase parameter", 8, 4, 4},       {"erase checksum", 9, 4, 0},
    {"write command", 275, 0, 0},       {"write complement", 276, 0, 0},
    {"address, first byte", 277, 0, 0}, {"address checksum", 281, 0, 0},
    {"count byte", 282, 0, 0},          {"first data byte", 283, 0, 0},
    {"data checksum", 539, 0, 0},
};

// With a flash word of 8 bytes, as parts with error-correcting flash have:
// a word written twice or in part would show.
void check_line_fault(const char *fault, const char *what, int byte, int waits) {
  check_fault_case({what,
                    {fault, std::to_string(byte), "--program-unit", "8"},
                    {},
                    0,
                    kFlashed,
                    waits,
                    {},
                    true});
}

TEST(FaultsLine, ADamagedByteAnywhereInTheEraseOrAWriteIsRepairedByRetries) {
  for (const auto &p : kLinePositions)
    check_line_fault("--damage-byte", p.what, p.byte, p.damaged_waits);
}

// A count byte 0xFF damaged to 0x7F: the boot loader refuses the block
// after 130 bytes and the rest as 64 pairs, a flood of refusals that must
// die down before the probe that realigns it.
TEST(FaultsLine, ACountByteDamagedToHalfTheBlockIsRepairedByRetries) {
  check_fault_case({"count byte, bit 7",
                    {"--damage-byte", "282:0x80", "--program-unit", "8"},
                    {},
                    0,
                    kFlashed,
                    0,
                    {},
                    true});
}

TEST(FaultsLine, ALostByteAnywhereInTheEraseOrAWriteIsRepairedByRetries) {
  for (const auto &p : kLinePositions)
    check_line_fault("--lose-byte", p.what, p.byte, p.lost_waits);
}

// Answers to the flasher counted from 1: sync, Get ID's five bytes twice, erase
// pair, erase parameter, then per fragment its pair, address and data block.
// A damaged acknowledgement of a done write is settled by reading the words
// back. One of Readout Unprotect's pair (the 20th answer to a protected F4)
// may mean the module is erasing: neither reset nor sent again, its second
// answer decides.
TEST(FaultsLine, ADamagedAnswerIsSettledWithoutWritingAWordTwice) {
  const struct {
    const char *what;
    int reply;
    std::vector<std::string> module = {"--program-unit", "8"};
    std::vector<std::string> flasher = {};
    std::string err = kFlashed;
  } rows[] = {
      {"erase parameter's", 13},
      {"fragment 2's pair's", 17},
      {"fragment 2's address's", 18},
      {"fragment 2's data block's", 19},
      {"read-out unprotect pair's",
       20,
       {"--part", "0x423", "--read-protected", "--erase-scale", "0.1"},
       {"--unprotect"},
       "Lifting read-out protection: the module erases its whole flash\n" + kMassErase + kFlashed}};
  for (const auto &r : rows) {
    std::vector<std::string> module = r.module;
    module.insert(module.begin(), {"--damage-reply", std::to_string(r.reply)});
    FaultCase c{r.what, module, r.flasher, 0, r.err, 0, {}, true};
    if (!r.flasher.empty()) c.undisturbed = "cmd readout-unprotect";
    check_fault_case(c);
  }
}

// Two data bytes of fragment 2 with bit 0 flipped keep the block's XOR
// checksum: the boot loader programs them. A refusal later in the run is a
// fault of the line, so the run reads back what it wrote, without --verify.
TEST(FaultsLine, FlipsThatPassTheChecksumAreFoundByTheReadBackOfARunThatMetAFault) {
  check_fault_case({"fragment 2's first two data bytes, fragment 10's command refused",
                    {"--damage-byte", "283", "--damage-byte", "284", "--nack-block",
                     std::to_string(write_command_block(10)), "--program-unit", "8"},
                    {},
                    2,
                    kFlashed + "Verify failed at 0x08000100\n" + kIncomplete,
                    0});
}

}  // namespace
