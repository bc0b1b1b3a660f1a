// Tests of the simulated module's boot loader fed in-process: framing,
// commands, refusals, flash words, erases and parts.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bootloader.h"
#include "bytes.h"
#include "capture.h"
#include "sim_process.h"
#include "testsupport.h"

using namespace testsupport;

namespace {

const std::vector<std::string> kSizing = {"--part", "--flash-size"};

// The boot loader alone, in-process: its options from a command line as the
// simulator takes it, a flash and a log of its own.
class InProcess {
 public:
  explicit InProcess(std::vector<std::string> args = {}) {
    // The rows without a part were written for a module of 128 KiB.
    const bool sized =
        std::find_first_of(args.begin(), args.end(), kSizing.begin(), kSizing.end()) != args.end();
    if (!sized) args.insert(args.begin(), {"--flash-size", "131072"});
    args.insert(args.begin(), {"tarvion_module_sim", "--log", dir_.file("sim.log")});
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    std::string err;
    EXPECT_EQ(sim::parse_sim_options(int(argv.size()), argv.data(), opts_, err), 0) << err;
    flash_ = std::make_unique<sim::Flash>(opts_.flash_base, opts_.flash_size, opts_.page_size,
                                          opts_.sectors, opts_.program_unit, opts_.banks);
    if (!opts_.flash_init.empty()) {
      EXPECT_EQ(flash_->load(opts_.flash_init), 0);
    }
    EXPECT_EQ(log_.open(opts_.log), 0);
    loader_ = std::make_unique<sim::BootLoader>(opts_, *flash_, log_);
  }

  // Feeds a block byte by byte and returns every byte answered to it.
  Bytes ask(const Bytes &block) {
    Bytes out;
    for (uint8_t b : block) {
      sim::Reply reply;
      if (!loader_->feed(b, reply)) continue;
      out = cat(out, reply.bytes);
      delay_ms = reply.delay_ms;
      restarts = reply.restart;
    }
    return out;
  }

  double delay_ms = 0;    // of the last answer
  bool restarts = false;  // the last answer restarts the module

  const sim::SimOptions &opts() const { return opts_; }
  void take_wrong_speed() { loader_->take_wrong_speed(); }
  void restart() { loader_->restart(true); }
  bool reset(bool pin_high) { return loader_->reset(pin_high); }

  std::vector<SimLogRecord> log() const { return parse_sim_log(read_file(dir_.file("sim.log"))); }
  std::vector<std::string> events() const { return rests(of_kind(log(), "event")); }
  std::string flash() const { return std::string(flash_->bytes().begin(), flash_->bytes().end()); }

 private:
  TempDir dir_;
  sim::SimOptions opts_;
  sim::Log log_{0};
  std::unique_ptr<sim::Flash> flash_;
  std::unique_ptr<sim::BootLoader> loader_;
};

}  // namespace

TEST(SimBootLoader, AnswersSyncGetIdEraseWriteAndGoAndProgramsTheFlash) {
  InProcess m;
  EXPECT_EQ(m.ask({0x7F}), Bytes{ACK});
  EXPECT_EQ(m.ask({0x02, 0xFD}), (Bytes{ACK, 0x01, 0x04, 0x10, ACK}));
  EXPECT_EQ(m.ask({0x43, 0xBC}), Bytes{ACK});
  EXPECT_EQ(m.ask({0xFF, 0x00}), Bytes{ACK});
  EXPECT_EQ(m.ask({0x31, 0xCE}), Bytes{ACK});
  EXPECT_EQ(m.ask(address_block(0x08000010)), Bytes{ACK});
  EXPECT_EQ(m.ask(data_block({1, 2, 3, 4})), Bytes{ACK});
  EXPECT_EQ(m.ask({0x21, 0xDE}), Bytes{ACK});
  EXPECT_EQ(m.ask(address_block(0x08000000)), Bytes{ACK});
  EXPECT_EQ(m.ask({0x7F}), Bytes{}) << "the application answered";

  const std::string flash = m.flash();
  ASSERT_EQ(flash.size(), 131072u);
  EXPECT_EQ(flash.substr(0x0E, 8), std::string("\xff\xff\x01\x02\x03\x04\xff\xff", 8));
  EXPECT_EQ(m.events(), (std::vector<std::string>{"sync", "cmd get-id", "cmd erase global", "erase",
                                                  "cmd write 08000010 4", "write 08000010 4",
                                                  "cmd go 08000000", "go 08000000"}));
}

// Each case: simulator arguments, then exchanges in order. A refusal ends
// its command: the next block is a command pair again.
TEST(SimBootLoader, RefusesWhatARealBootLoaderRefusesAndShowsRequestedFaults) {
  struct Case {
    const char *name;
    std::vector<std::string> args;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"each byte before sync is a refused block",
       {},
       {{{0x02, 0xFD}, {NACK, NACK}}, {{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 1, 4, 0x10, ACK}}}},
      {"a lone sync after synchronisation is the first byte of a pair",
       {},
       {{{0x7F}, {ACK}}, {{0x7F}, {}}, {{0x7F}, {NACK}}, {{0x43, 0xBC}, {ACK}}}},
      {"a wrong complement and commands not offered",
       {},
       {{{0x7F}, {ACK}},
        {{0x02, 0xFC}, {NACK}},
        {{0x44, 0xBB}, {NACK}},
        {{0x63, 0x9C}, {NACK}},
        {{0x02, 0xFD}, {ACK, 1, 4, 0x10, ACK}}}},
      {"a refused erase parameter ends the command",
       {},
       {{{0x7F}, {ACK}},
        {{0x43, 0xBC}, {ACK}},
        {{0xFF, 0x01}, {NACK}},
        {{0xFF, 0x00}, {NACK}},
        {{0x43, 0xBC}, {ACK}},
        {{0xFF, 0x00}, {ACK}}}},
      {"address and data checksums",
       {},
       {{{0x7F}, {ACK}},
        {{0x31, 0xCE}, {ACK}},
        {{0x08, 0, 0, 0, 0x09}, {NACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x08000000), {ACK}},
        {{0x03, 1, 2, 3, 4, 0x05}, {NACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x08000000), {ACK}},
        {data_block({1, 2, 3, 4}), {ACK}},
        {{0x21, 0xDE}, {ACK}},
        {{0x08, 0, 0, 0, 0}, {NACK}}}},
      {"an incomplete block takes the next bytes as its rest",
       {},
       {{{0x7F}, {ACK}},
        {{0x31, 0xCE}, {ACK}},
        {{0x08, 0x00, 0x00}, {}},
        {{0x31, 0xCE}, {NACK}},
        {{0x31, 0xCE}, {ACK}}}},
      {"addresses outside flash and RAM, address 0 among them",
       {"--flash-size", "0x100"},
       {{{0x7F}, {ACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x07FFFFFF), {NACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x08000100), {NACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0), {NACK}},
        {{0x21, 0xDE}, {ACK}},
        {address_block(0), {NACK}},
        {{0x11, 0xEE}, {ACK}},
        {address_block(0), {NACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x080000FC), {ACK}},
        {data_block(counting(8)), {NACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x080000FC), {ACK}},
        {data_block(counting(4)), {ACK}}}},
      {"nack-block counts the sync byte",
       {"--nack-block", "1", "--nack-block", "3"},
       {{{0x7F}, {NACK}}, {{0x7F}, {ACK}}, {{0x43, 0xBC}, {NACK}}, {{0x43, 0xBC}, {ACK}}}},
      {"nack-cmd refuses the first attempts",
       {"--nack-cmd", "0x43:2", "--nack-cmd", "0x7f:1"},
       {{{0x7F}, {NACK}},
        {{0x7F}, {ACK}},
        {{0x43, 0xBC}, {NACK}},
        {{0x43, 0xBC}, {NACK}},
        {{0x43, 0xBC}, {ACK}},
        {{0xFF, 0x00}, {ACK}},
        {{0x43, 0xBC}, {ACK}}}},
      {"wrong-byte answers in place of the ACK and ends the command",
       {"--wrong-byte", "3:0x55"},
       {{{0x7F}, {ACK}},
        {{0x43, 0xBC}, {ACK}},
        {{0xFF, 0x00}, {0x55}},
        {{0x43, 0xBC}, {ACK}},
        {{0xFF, 0x00}, {ACK}}}},
      {"identifier of four bytes",
       {"--id", "0x12345678"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 3, 0x12, 0x34, 0x56, 0x78, ACK}}}},
      {"identifier just past two bytes",
       {"--id", "0x10000"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 3, 0x00, 0x01, 0x00, 0x00, ACK}}}},
      {"small identifier",
       {"--id", "65"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 1, 0x00, 0x41, ACK}}}},
      {"identifier cut short",
       {"--id-short", "1"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 1, 0x04}}, {{0x02, 0xFD}, {ACK, 1, 0x04}}}},
      {"already listening: the host's first sync waits for a second byte",
       {"--already-synced"},
       {{{0x7F}, {}}, {{0x7F}, {NACK}}, {{0x02, 0xFD}, {ACK, 1, 4, 0x10, ACK}}}},
      {"read-out protection lets only Get, Get Version, Get ID and 0x92 by",
       {"--read-protected"},
       {{{0x7F}, {ACK}},
        {{0x11, 0xEE}, {NACK}},
        {{0x31, 0xCE}, {NACK}},
        {{0x43, 0xBC}, {NACK}},
        {{0x21, 0xDE}, {NACK}},
        {{0x01, 0xFE}, {ACK, 0x22, 0, 0, ACK}},
        {{0x02, 0xFD}, {ACK, 1, 4, 0x10, ACK}},
        {{0x92, 0x6D}, {ACK, ACK}}}},
      {"write protection refuses the erase",
       {"--write-protected", "--extended-erase"},
       {{{0x7F}, {ACK}},
        {{0x44, 0xBB}, {ACK}},
        {{0xFF, 0xFF, 0x00}, {NACK}},
        {{0x44, 0xBB}, {ACK}},
        {{0x00, 0x00, 0x00, 0x01, 0x01}, {NACK}},
        {{0x73, 0x8C}, {ACK, ACK}}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    InProcess m(c.args);
    // Exactly the expected answers, nothing more.
    for (const Step &s : c.steps) EXPECT_EQ(m.ask(s.send), s.expect);
  }
}

namespace {

// The command list after the count and version: the older boot loader offers
// Erase 0x43, the newer one Extended Erase 0x44.
Bytes get_answer(uint8_t version, uint8_t erase) {
  return {ACK, 10, version, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, erase, 0x73, 0x82, 0x92, ACK};
}

// A read of what a system-memory area holds: 0xFF but for the flash size in
// KiB, little-endian, at offset at.
Bytes area_answer(size_t n, size_t at, uint16_t kib) {
  Bytes b(n, 0xFF);
  b[at] = uint8_t(kib);
  b[at + 1] = uint8_t(kib >> 8);
  return cat({ACK}, b);
}

const Bytes kRead = {0x11, 0xEE};
const Bytes kErase = {0x43, 0xBC};
const Bytes kExtErase = {0x44, 0xBB};

Bytes count_block(size_t n) {
  return {uint8_t(n - 1), uint8_t(~(n - 1))};
}

constexpr uint32_t kOptions = 0x1FFF7800;

// The first n double words of an option area, little-endian: word and its
// complement, then rest and its complement.
Bytes option_area(uint32_t word, uint32_t rest = 0xFFFFFFFF, size_t n = 16) {
  Bytes b;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t v = i == 0 ? word : rest;
    for (uint32_t x : {v, ~v})
      for (int k = 0; k < 4; ++k) b.push_back(uint8_t(x >> (8 * k)));
  }
  return b;
}

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

TEST(SimBootLoader, SilentModuleLogsTheBlocksButNeverAnswers) {
  InProcess m({"--silent"});
  EXPECT_EQ(m.ask({0x7F}), Bytes{});
  EXPECT_EQ(m.ask({0x7F}), Bytes{});
  EXPECT_EQ(rests(of_kind(m.log(), "rx")), (std::vector<std::string>{"7f", "7f"}));
}

TEST(SimBootLoader, WriteOverAWordNotErasedIsRefusedAndReported) {
  InProcess m({"--already-synced"});
  Bytes full = counting(256);
  std::vector<Step> steps = write_steps(0x0801FF00, full);  // the last 256 bytes
  for (const Step &s : write_steps(0x08000004, {0xF0, 0xFF, 0xFF, 0xFF})) steps.push_back(s);
  steps.push_back({{0x31, 0xCE}, {ACK}});
  steps.push_back({address_block(0x08000000), {ACK}});
  steps.push_back({data_block(Bytes(8, 0x0F)), {NACK}});
  StderrCapture err;
  for (const Step &s : steps) EXPECT_EQ(m.ask(s.send), s.expect);
  EXPECT_NE(err.finish().find("0x08000004 was programmed since its erase"), std::string::npos);

  const std::string flash = m.flash();
  EXPECT_EQ(flash.substr(0, 8), std::string("\xff\xff\xff\xff\xf0\xff\xff\xff", 8));
  EXPECT_EQ(flash.substr(0x1FF00), std::string(full.begin(), full.end()));
  EXPECT_EQ(m.events(), (std::vector<std::string>{"cmd write 0801ff00 256", "write 0801ff00 256",
                                                  "cmd write 08000004 4", "write 08000004 4",
                                                  "twice 08000004"}));
}

// A part's erase takes its typical time (scaled), the whole flash or each of
// the pages and sectors listed; without a part, --erase-ms any erase.
TEST(SimBootLoader, EraseTakesThePartsTimeForWhatItErases) {
  struct Case {
    std::vector<std::string> args;
    Bytes command, parameter;
    double ms;
  };
  const Bytes pages_0_to_5 = {
      0x00, 0x05, 0, 0, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0x00 ^ 0x05 ^ 1 ^ 2 ^ 3 ^ 4 ^ 5};
  const Case cases[] = {
      {{"--part", "0x410"}, {0x43, 0xBC}, {0xFF, 0x00}, 30},
      {{"--part", "0x410"}, {0x43, 0xBC}, {0x01, 0x00, 0x01, 0x00}, 60},
      {{"--part", "0x413"}, {0x44, 0xBB}, {0xFF, 0xFF, 0x00}, 8000},
      {{"--part", "0x413", "--erase-scale", "0.5"}, {0x44, 0xBB}, pages_0_to_5, 1275},
      {{"--part", "0x413", "--erase-ms", "7"}, {0x44, 0xBB}, pages_0_to_5, 7},
      {{"--part", "0x417"}, {0x44, 0xBB}, pages_0_to_5, 6 * 3.2},
      {{"--part", "0x450", "--erase-scale", "0"}, {0x44, 0xBB}, pages_0_to_5, 0},
      {{"--part", "0x468"}, {0x44, 0xBB}, {0x00, 0x00, 0x00, 0x00, 0x00}, 22},
      {{"--erase-ms", "300"}, {0x43, 0xBC}, {0x00, 0x00, 0x00}, 300},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    std::vector<std::string> args = c.args;
    args.push_back("--already-synced");
    InProcess m(args);
    EXPECT_EQ(m.ask(c.command), Bytes{ACK});
    EXPECT_EQ(m.ask(c.parameter), Bytes{ACK});
    EXPECT_NEAR(m.delay_ms, c.ms, 1e-6);
  }
}

// What a page erase leaves of a preloaded flash: the other pages, and the
// other sectors of a part with sectors.
TEST(SimBootLoader, PageAndSectorErasesLeaveTheRestOfAPreloadedFlash) {
  TempDir tmp;
  const std::string image = tmp.file("flash.bin");
  write_file(image, std::string(0x10000, '\x00'));
  struct Case {
    std::vector<std::string> args;
    Bytes command, parameter;
    uint32_t from, to;  // the bytes erased
  };
  const Case cases[] = {
      {{"--part", "0x410"}, {0x43, 0xBC}, {0x00, 0x02, 0x02}, 0x800, 0xC00},
      {{"--part", "0x413"}, {0x44, 0xBB}, {0x00, 0x00, 0x00, 0x03, 0x03}, 0xC000, 0x10000},
      {{"--part", "0x417"}, {0x44, 0xBB}, {0x00, 0x00, 0x00, 0x03, 0x03}, 0x180, 0x200},
      {{"--part", "0x469", "--dual-bank", "0"}, {0x44, 0xBB}, {0, 0, 0, 1, 1}, 0x1000, 0x2000},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[1]);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--already-synced", "--flash-init", image, "--erase-scale", "0"});
    InProcess m(args);
    EXPECT_EQ(m.ask(c.command), Bytes{ACK});
    EXPECT_EQ(m.ask(c.parameter), Bytes{ACK});
    const std::string flash = m.flash();
    std::string want(0x10000, '\x00');
    want.resize(flash.size(), '\xff');
    std::fill(want.begin() + c.from, want.begin() + c.to, '\xff');
    EXPECT_TRUE(flash == want);
  }
}

// One part of each family: its Get ID, version, erase command, the flash
// size a direct read of its flash-size register gives (0: refused), and its
// start-up, the default of --boot-ms.
TEST(SimBootLoader, EachFamilysPartAnswersWithItsOwnFacts) {
  struct Case {
    uint16_t part;
    uint8_t version, erase;
    uint32_t size_register;
    uint16_t kib;
    uint32_t boot_ms;
  };
  const Case cases[] = {
      {0x440, 0x31, 0x44, 0x1FFFF7CC, 64, 2},     {0x410, 0x22, 0x43, 0x1FFFF7E0, 128, 2},
      {0x430, 0x30, 0x44, 0x1FFFF7E0, 1024, 2},   {0x411, 0x31, 0x44, 0x1FFF7A22, 0, 85},
      {0x422, 0x31, 0x44, 0x1FFFF7CC, 256, 44},   {0x413, 0x31, 0x44, 0x1FFF7A22, 0, 100},
      {0x449, 0x31, 0x44, 0x1FF0F442, 1024, 17},  {0x460, 0x31, 0x44, 0x1FFF75E0, 128, 1},
      {0x468, 0x31, 0x44, 0x1FFF75E0, 128, 1},    {0x450, 0x31, 0x44, 0x1FF1E880, 2048, 54},
      {0x417, 0x31, 0x44, 0x1FF8007C, 0, 1},      {0x416, 0x31, 0x44, 0x1FF8004C, 128, 1},
      {0x435, 0x31, 0x44, 0x1FFF75E0, 256, 1},    {0x472, 0x31, 0x44, 0x0BFA05E0, 512, 1},
      {0x482, 0x31, 0x44, 0x0BFA07A0, 2048, 1},   {0x495, 0x31, 0x44, 0x1FFF75E0, 1024, 1},
      {0x497, 0x31, 0x44, 0x1FFF75E0, 256, 1},    {0x469, 0x31, 0x44, 0x1FFF75E0, 512, 1},
      {0x470, 0x31, 0x44, 0x1FFF75E0, 2048, 11},  {0x451, 0x31, 0x44, 0x1FF0F442, 2048, 1500},
      {0x44D, 0x31, 0x44, 0x1FFF75A0, 256, 1500}, {0x459, 0x31, 0x44, 0x1FFF3EA0, 64, 1500},
      {0x489, 0x31, 0x44, 0x1FFF6EA0, 256, 1500}, {0x42A, 0x31, 0x44, 0x1FFF75E0, 0, 1500},
      {0x4B2, 0x31, 0x44, 0x1FFF75E0, 0, 1500},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.part));
    InProcess m({"--part", std::to_string(c.part), "--already-synced"});
    EXPECT_EQ(m.opts().boot_ms, c.boot_ms);
    EXPECT_EQ(m.ask({0x02, 0xFD}), (Bytes{ACK, 1, uint8_t(c.part >> 8), uint8_t(c.part), ACK}));
    EXPECT_EQ(m.ask({0x00, 0xFF}), get_answer(c.version, c.erase));
    EXPECT_EQ(m.ask(kRead), Bytes{ACK});
    if (c.kib == 0) {
      EXPECT_EQ(m.ask(address_block(c.size_register)), Bytes{NACK});
      continue;
    }
    EXPECT_EQ(m.ask(address_block(c.size_register)), Bytes{ACK});
    EXPECT_EQ(m.ask(count_block(2)), (Bytes{ACK, uint8_t(c.kib), uint8_t(c.kib >> 8)}));
  }
}

// Every reset chooses between the boot loader and the application: the pin
// alone on a part without option bytes; on G0 nBOOT_SEL, nBOOT0 and the
// empty check, on the G4 and L4 class nSWBOOT0 and nBOOT0; each choice the
// option bytes take part in is logged with the bits that decided.
TEST(SimBootLoader, EachResetChoosesBootLoaderOrApplicationByOptionBytesOrPin) {
  TempDir tmp;
  const std::string app = tmp.file("app.bin");
  write_file(app, std::string("\x00\x10\x00\x20", 4));
  struct Case {
    const char *part, *word;  // word: nullptr for the factory word
    bool written, pin, loader;
    const char *why;  // nullptr: no option bytes, nothing logged
  };
  const Case cases[] = {
      {"0x460", nullptr, false, false, true, "nBOOT_SEL 1 nBOOT0 1, flash empty"},
      {"0x460", nullptr, true, true, false, "nBOOT_SEL 1 nBOOT0 1, flash not empty"},
      {"0x466", "0xF7FFFEAA", true, false, true, "nBOOT_SEL 1 nBOOT0 0"},
      {"0x460", "0xFEFFFEAA", true, true, true, "pin 1, nBOOT_SEL 0"},
      {"0x460", "0xDEFFE1AA", false, false, false, "pin 0, nBOOT_SEL 0"},
      {"0x468", nullptr, true, false, false, "pin 0, nSWBOOT0 1"},
      {"0x479", "0xFBEFF8AA", false, true, false, "nSWBOOT0 0 nBOOT0 1"},
      {"0x435", "0xF3EFF8AA", true, false, true, "nSWBOOT0 0 nBOOT0 0"},
      {"0x410", nullptr, true, true, true, nullptr},
      {"0x410", nullptr, false, false, false, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    std::vector<std::string> args = {"--part", c.part};
    if (c.word) args.insert(args.end(), {"--option-word", c.word});
    if (c.written) args.insert(args.end(), {"--flash-init", app});
    InProcess m(args);
    EXPECT_EQ(m.reset(c.pin), c.loader);
    EXPECT_EQ(m.ask({0x7F}), (c.loader ? Bytes{ACK} : Bytes{}));
    std::vector<std::string> events;
    if (c.why)
      events.push_back(std::string("boot ") + (c.loader ? "loader by " : "app by ") + c.why);
    if (c.loader) events.push_back("sync");
    EXPECT_EQ(m.events(), events);
  }
}

// An option write applies at the restart that follows it where the module
// restarts after it, else at the next reset; with the power-cycle rule not
// during the run. A read-out protection byte other than 0xAA protects from
// then on. Boot-select is high at each reset, and the flash holds an
// application.
TEST(SimBootLoader, AnOptionWriteAppliesAtTheRestartOrTheNextResetOrNotBeforeAPowerCycle) {
  TempDir tmp;
  const std::string app = tmp.file("app.bin");
  write_file(app, std::string("\x00\x10\x00\x20", 4));
  struct Case {
    std::vector<std::string> args;
    uint32_t word;
    size_t dwords;  // the area's
    bool restarts, loader, read_protected;
  };
  const Case cases[] = {
      {{"--part", "0x460"}, 0xFEFFFEAA, 16, false, true, false},
      {{"--part", "0x460", "--options-need-power-cycle"}, 0xFEFFFEAA, 16, false, false, false},
      {{"--part", "0x435"}, 0xFBEFF8AA, 5, true, false, false},
      {{"--part", "0x468", "--reset-after-options"}, 0xFFEFF8BB, 6, true, true, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--already-synced", "--flash-init", app});
    InProcess m(args);
    for (const Step &s : write_steps(kOptions, option_area(c.word, 0xFFFFFFFF, c.dwords)))
      EXPECT_EQ(m.ask(s.send), s.expect);
    EXPECT_EQ(m.restarts, c.restarts);
    EXPECT_EQ(m.reset(true), c.loader);
    if (!c.loader) continue;
    EXPECT_EQ(m.ask({0x7F}), Bytes{ACK});
    EXPECT_EQ(m.ask(kRead), Bytes{c.read_protected ? NACK : ACK});
  }
}

namespace {

// A boot loader that took a wrong line speed answers every byte with
// garbage, whatever it is, until it restarts.
TEST(SimBootLoader, AWrongLineSpeedAnswersGarbageUntilTheRestart) {
  InProcess m;
  m.take_wrong_speed();
  EXPECT_EQ(m.ask({0x7F}), Bytes{sim::kGarbage});
  EXPECT_EQ(m.ask({0x02, 0xFD}), (Bytes{sim::kGarbage, sim::kGarbage}));
  m.restart();
  EXPECT_EQ(m.ask({0x7F}), Bytes{sim::kAck});
}

}  // namespace
