// Tests of the simulated module's boot loader fed in-process as a part:
// erase times, what page and sector erases leave, each family's facts, the
// boot decision at a reset and option writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytes.h"
#include "sim_in_process.h"
#include "testsupport.h"

using namespace testsupport;

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
