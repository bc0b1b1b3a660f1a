// Tests of the simulated module's boot loader fed in-process: every command
// it acts on, what it answers and what it logs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytes.h"
#include "sim_in_process.h"
#include "testsupport.h"

using namespace testsupport;

namespace {

// A read of what a system-memory area holds: 0xFF but for the flash size in
// KiB, little-endian, at offset at.
Bytes area_answer(size_t n, size_t at, uint16_t kib) {
  Bytes b(n, 0xFF);
  b[at] = uint8_t(kib);
  b[at + 1] = uint8_t(kib >> 8);
  return cat({ACK}, b);
}

const Bytes kErase = {0x43, 0xBC};
const Bytes kExtErase = {0x44, 0xBB};

}  // namespace

// Each case: simulator arguments, exchanges in order, then the events the
// module logged: the commands it acted on and what they did.
TEST(SimBootLoader, ActsOnEveryCommandAndLogsIt) {
  struct Case {
    const char *name;
    std::vector<std::string> args;
    std::vector<Step> steps;
    std::vector<std::string> events;
  };
  const Bytes g0_written = option_area(0xFEFFFEAA, 0x000000FF);
  Bytes bad_pair = option_area(0xFFEFF8BB, 0xFFFFFFFF, 3);
  bad_pair[12] = 0x01;  // the complement of double word 1
  const std::vector<Case> cases = {
      {"Get and Get Version of the older boot loader",
       {},
       {{{0x00, 0xFF}, get_answer(0x22, 0x43)}, {{0x01, 0xFE}, {ACK, 0x22, 0, 0, ACK}}},
       {"cmd get", "cmd get-version"}},
      {"Get of the newer boot loader, which refuses 0x43",
       {"--extended-erase"},
       {{{0x00, 0xFF}, get_answer(0x31, 0x44)}, {kErase, {NACK}}},
       {"cmd get"}},
      {"read from flash and RAM after writes",
       {},
       {{{0x31, 0xCE}, {ACK}},
        {address_block(0x20000010), {ACK}},
        {data_block({9, 8, 7}), {ACK}},
        {kRead, {ACK}},
        {address_block(0x2000000F), {ACK}},
        {count_block(4), {ACK, 0, 9, 8, 7}},
        {kRead, {ACK}},
        {address_block(0x08000000), {ACK}},
        {{0x01, 0xFF}, {NACK}},
        {kRead, {ACK}},
        {address_block(0x0801FFFF), {ACK}},
        {count_block(2), {NACK}},
        {kRead, {ACK}},
        {address_block(0x08000000), {ACK}},
        {count_block(2), {ACK, 0xFF, 0xFF}}},
       {"cmd write 20000010 3", "write 20000010 3", "cmd read 2000000f 4", "cmd read 08000000 2"}},
      {"a flash word is programmed once, and only whole",
       {"--program-unit", "8"},
       {{{0x31, 0xCE}, {ACK}},
        {address_block(0x08000000), {ACK}},
        {data_block(counting(4)), {ACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x08000004), {ACK}},
        {data_block(counting(8)), {ACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x08000000), {ACK}},
        {data_block(counting(16)), {ACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x08000008), {ACK}},
        {data_block(counting(8)), {NACK}},
        {{0x02, 0xFD}, {ACK, 1, 4, 0x10, ACK}}},
       {"cmd write 08000000 4", "unaligned 08000000 4", "cmd write 08000004 8",
        "unaligned 08000004 8", "cmd write 08000000 16", "write 08000000 16", "twice 08000008",
        "cmd get-id"}},
      {"page erase with 0x43 frees the page's words again",
       {},
       {{{0x31, 0xCE}, {ACK}},
        {address_block(0x08000400), {ACK}},
        {data_block(counting(4)), {ACK}},
        {kErase, {ACK}},
        {{0x01, 0x00, 0x01, 0x00}, {ACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x08000400), {ACK}},
        {data_block(counting(4)), {ACK}},
        {kErase, {ACK}},
        {{0x00, 0x80, 0x80}, {NACK}}},
       {"cmd write 08000400 4", "write 08000400 4", "cmd erase pages 0 1", "cmd write 08000400 4",
        "write 08000400 4"}},
      {"extended erase of pages and of the whole flash; no banks",
       {"--extended-erase"},
       {{kExtErase, {ACK}},
        {{0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00}, {ACK}},
        {kExtErase, {ACK}},
        {{0xFF, 0xFE, 0x01}, {NACK}},
        {kExtErase, {ACK}},
        {{0xFF, 0xF0, 0x0F}, {NACK}},
        {kExtErase, {ACK}},
        {{0xFF, 0xFF, 0x00}, {ACK}}},
       {"cmd erase pages 2 3", "cmd erase mass", "erase"}},
      {"no mass erase: only pages",
       {"--extended-erase", "--no-mass-erase"},
       {{kExtErase, {ACK}},
        {{0xFF, 0xFF, 0x00}, {NACK}},
        {kExtErase, {ACK}},
        {{0x00, 0x00, 0x00, 0x07, 0x07}, {ACK}}},
       {"cmd erase pages 7"}},
      {"Go into RAM leaves the boot loader",
       {},
       {{{0x21, 0xDE}, {ACK}}, {address_block(0x20000000), {ACK}}, {{0x02, 0xFD}, {}}},
       {"cmd go 20000000", "go 20000000"}},
      {"F1: Erase 0x43, 2 KiB pages, the flash-size register read directly",
       {"--part", "0x414"},
       {{{0x02, 0xFD}, {ACK, 1, 4, 0x14, ACK}},
        {kErase, {ACK}},
        {{0x00, 0xFF, 0xFF}, {ACK}},
        {kRead, {ACK}},
        {address_block(0x1FFFF7E0), {ACK}},
        {count_block(2), {ACK, 0x00, 0x02}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(kOptions), {NACK}}},
       {"cmd get-id", "cmd erase pages 255", "cmd read 1ffff7e0 2"}},
      {"G0: the factory option word; a whole option write reads back byte for byte",
       {"--part", "0x460"},
       {{kRead, {ACK}},
        {address_block(kOptions), {ACK}},
        {count_block(128), cat({ACK}, option_area(0xFFFFFEAA))},
        {{0x31, 0xCE}, {ACK}},
        {address_block(kOptions), {ACK}},
        {data_block(g0_written), {ACK}},
        {kRead, {ACK}},
        {address_block(kOptions), {ACK}},
        {count_block(128), cat({ACK}, g0_written)}},
       {"cmd read 1fff7800 128", "cmd write 1fff7800 128", "options fefffeaa",
        "cmd read 1fff7800 128"}},
      {"G4: the double words not written are erased; bad pairs and RDP 0xBB logged",
       {"--part", "0x468"},
       {{{0x31, 0xCE}, {ACK}},
        {address_block(kOptions), {ACK}},
        {data_block(bad_pair), {ACK}},
        {kRead, {ACK}},
        {address_block(kOptions + 16), {ACK}},
        {count_block(16), cat({ACK}, cat(option_area(0xFFFFFFFF, 0, 1), Bytes(8, 0xFF)))}},
       {"cmd write 1fff7800 24", "options ffeff8bb", "option-load error 1 3 4 5", "rdp bb level 1",
        "cmd read 1fff7810 16"}},
      {"G0: an option write not at the base, not of whole double words or too long is refused",
       {"--part", "0x466"},
       {{{0x31, 0xCE}, {ACK}},
        {address_block(kOptions + 8), {ACK}},
        {data_block(Bytes(8, 0)), {NACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(kOptions), {ACK}},
        {data_block(Bytes(12, 0)), {NACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(kOptions), {ACK}},
        {data_block(option_area(0xFFFFFEAA, 0xFFFFFFFF, 17)), {NACK}},
        {kRead, {ACK}},
        {address_block(kOptions), {ACK}},
        {count_block(8), cat({ACK}, option_area(0xFFFFFEAA, 0, 1))}},
       {"options refused 1fff7808 8", "options refused 1fff7800 12", "options refused 1fff7800 136",
        "cmd read 1fff7800 8"}},
      {"L4 and L4+: reads and writes past the area's end are refused; WB's area at 0x1FFF8000",
       {"--part", "0x435"},
       {{kRead, {ACK}},
        {address_block(kOptions), {ACK}},
        {count_block(48), {NACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(kOptions), {ACK}},
        {data_block(option_area(0xFFEFF8AA, 0xFFFFFFFF, 6)), {NACK}},
        {kRead, {ACK}},
        {address_block(kOptions), {ACK}},
        {count_block(40), cat({ACK}, option_area(0xFFEFF8AA, 0xFFFFFFFF, 5))}},
       {"options refused 1fff7800 48", "cmd read 1fff7800 40"}},
      {"G4 of 256 KiB in two banks: nothing in the hole, bank 2 numbered by its address",
       {"--part", "0x469", "--flash-size", "0x40000"},
       {{kRead, {ACK}},
        {address_block(0x08020000), {NACK}},
        {kExtErase, {ACK}},
        {{0x00, 0x00, 0x00, 0x40, 0x40}, {NACK}},
        {kExtErase, {ACK}},
        {{0x00, 0x00, 0x00, 0x80, 0x80}, {ACK}}},
       {"cmd erase pages 128"}},
      {"F4 of 1 MiB with DB1M set: bank 2's sectors from 12",
       {"--part", "0x419", "--flash-size", "0x100000", "--dual-bank", "1"},
       {{kExtErase, {ACK}},
        {{0x00, 0x00, 0x00, 0x08, 0x08}, {NACK}},
        {kExtErase, {ACK}},
        {{0x00, 0x00, 0x00, 0x13, 0x13}, {ACK}},
        {kRead, {ACK}},
        {address_block(0x1FFFC008), {ACK}},
        {count_block(4), {ACK, 0xFF, 0x4F, 0x00, 0xB0}}},
       {"cmd erase pages 19", "cmd read 1fffc008 4"}},
      {"L4+: the area at 0x1FF00000",
       {"--part", "0x470"},
       {{kRead, {ACK}},
        {address_block(kOptions), {NACK}},
        {kRead, {ACK}},
        {address_block(0x1FF00000), {ACK}},
        {count_block(8), cat({ACK}, option_area(0xFFEFF8AA, 0, 1))}},
       {"cmd read 1ff00000 8"}},
      {"WB: the area at 0x1FFF8000",
       {"--part", "0x495"},
       {{kRead, {ACK}},
        {address_block(0x1FFF8000), {ACK}},
        {count_block(8), cat({ACK}, option_area(0xFFEFF8AA, 0, 1))}},
       {"cmd read 1fff8000 8"}},
      {"F4: sectors, bank erase on the dual-bank part, the register only in a whole read",
       {"--part", "0x419"},
       {{kExtErase, {ACK}},
        {{0x00, 0x00, 0x00, 0x17, 0x17}, {ACK}},
        {kExtErase, {ACK}},
        {{0x00, 0x00, 0x00, 0x18, 0x18}, {NACK}},
        {kExtErase, {ACK}},
        {{0xFF, 0xFD, 0x02}, {ACK}},
        {kRead, {ACK}},
        {address_block(0x1FFF7A22), {NACK}},
        {kRead, {ACK}},
        {address_block(0x1FFF7A00), {ACK}},
        {count_block(256), area_answer(256, 0x22, 2048)}},
       {"cmd erase pages 23", "cmd erase bank 2", "cmd read 1fff7a00 256"}},
      {"L0: no mass erase, the register only in a read from the area's start",
       {"--part", "0x417"},
       {{{0x01, 0xFE}, {ACK, 0x31, 0, 0, ACK}},
        {kExtErase, {ACK}},
        {{0xFF, 0xFF, 0x00}, {NACK}},
        {kExtErase, {ACK}},
        {{0xFF, 0xFE, 0x01}, {NACK}},
        {kRead, {ACK}},
        {address_block(0x1FF8007C), {NACK}},
        {kRead, {ACK}},
        {address_block(0x1FF80000), {ACK}},
        {count_block(128), area_answer(128, 0x7C, 64)},
        {kExtErase, {ACK}},
        {{0x00, 0x00, 0x01, 0xFF, 0xFE}, {ACK}}},
       {"cmd get-version", "cmd read 1ff80000 128", "cmd erase pages 511"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    args.push_back("--already-synced");
    InProcess m(args);
    for (const Step &s : c.steps) EXPECT_EQ(m.ask(s.send), s.expect);
    EXPECT_EQ(m.events(), c.events);
  }
}
