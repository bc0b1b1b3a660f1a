// End-to-end tests of the boot-select pin and the option bytes: the warning
// before the erase, --boot-pin and --info. The real flasher against the
// simulated module.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "flasher.h"
#include "pty.h"

namespace {

using namespace testsupport;

const std::string kMassErase = "Mass erase: this can take up to a minute\n";

std::string ignored(const std::string &word) {
  return "The module ignores its boot-select pin (option word 0x" + word +
         "): once an application is written, the next update cannot enter the boot loader "
         "through it";
}
std::string warning(const std::string &word) {
  return ignored(word) + "; --boot-pin makes the pin count\n";
}
// A run through the lines stops before the step that would write.
std::string stop(const std::string &word, const std::string &before) {
  return ignored(word) + "\nStopped before the " + before +
         ": --boot-pin makes the pin count (a lasting change of the option bytes), "
         "--leave-options flashes with the option bytes as they are\n";
}

// What --verbose prints of a G0 0x460 before and after the option step.
std::string g0_verbose(const std::string &middle) {
  return "Device has ID 00000460\nPart G0 G070/071/081: 128 KiB flash, 64 pages of 2 KiB\n" +
         middle + "Erasing with the extended erase command (may take up to " +
         std::to_string(kRunLongMs / 1000) + " s)\n" + progress(sample_hex(), kSampleFragments) +
         "Flashing done\n";
}

// The module's events of the option area, its restarts and the erase.
std::vector<std::string> option_events(const SimProcess &sim) {
  std::vector<std::string> seen;
  for (const std::string &e : sim.events())
    for (const std::string p :
         {"cmd read 1fff7800", "cmd write 1fff7800", "cmd read 1ff00000", "cmd write 1ff00000",
          "options ", "restart", "cmd erase", "cmd readout-unprotect"})
      if (e.rfind(p, 0) == 0) seen.push_back(e);
  return seen;
}

// Writes the option area of a module through the raw port, as an earlier
// tool might have left it.
void prime_area(const SimProcess &sim, const Bytes &area) {
  RawPort port(sim.tty_path());
  ASSERT_EQ(port.ask({0x7F}), Bytes{ACK});
  for (const Step &st : write_steps(0x1FFF7800, area)) ASSERT_EQ(port.ask(st.send), st.expect);
}

TEST(BootPin, WarnsWhereThePinIsIgnoredAndMakesItCountOnRequest) {
  struct Case {
    std::vector<std::string> sim_args, args;
    int status;
    std::string err;
    std::vector<std::string> events;
    bool lines = false;  // entered through the reset and boot-select lines
  };
  const auto wired = [](std::vector<std::string> sim, std::vector<std::string> args, int status,
                        std::string err, std::vector<std::string> events) {
    return Case{sim, args, status, err, events, true};
  };
  const std::string fn = sample_hex(), flashed = kMassErase + progress(fn, kSampleFragments);
  TempDir confs;  // --leave-options from a configuration file
  write_file(confs.file("leave.conf"), "leave-options\n");
  const std::string r8 = "cmd read 1fff7800 8", r128 = "cmd read 1fff7800 128",
                    w = "cmd write 1fff7800 128", mass = "cmd erase mass",
                    l4p = "cmd read 1ff00000 40";
  const std::string change =
      "Making the boot-select pin count: option word 0xFFFFFEAA becomes 0xFEFFFEAA\n";
  const std::string counts =
                        "Option word 0xFFFFFEAA became 0xFEFFFEAA: the boot-select pin "
                        "counts, and the change lasts until the option bytes are written "
                        "again\n",
                    unprotect = "Lifting read-out protection: the module erases its whole flash\n";
  const std::vector<Case> cases = {
      {{"--part", "0x460"}, {}, 0, warning("FFFFFEAA") + flashed, {r8, r8, mass}},
      {{"--part", "0x460", "--option-word", "0xFEFFFEAA"}, {}, 0, flashed, {r8, r8, mass}},
      {{"--part", "0x472"}, {}, 0, flashed, {mass}},  // L5: its area is not known
      // L4+: its 40 bytes at 0x1FF00000, read and written whole.
      {{"--part", "0x470", "--option-word", "0xFBEFF8AA"},
       {"--boot-pin"},
       0,
       "Option word 0xFBEFF8AA became 0xFFEFF8AA: the boot-select pin counts, and the change "
       "lasts until the option bytes are written again\n" +
           flashed,
       {l4p, l4p, "cmd write 1ff00000 40", "options ffeff8aa", l4p, l4p, mass}},
      {{"--part", "0x460"},
       {"--boot-pin", "-v"},
       0,
       g0_verbose(change + "Option bytes written: the module applies them at its next reset\n" +
                  counts),
       {r128, r128, w, "options fefffeaa", r128, r128, mass}},
      {{"--part", "0x460", "--reset-after-options"},
       {"--boot-pin", "-v"},
       0,
       g0_verbose(change + "Option bytes written: the module restarted with them\n" + counts),
       {r128, r128, w, "options fefffeaa", "restart boot", r128, r128, mass}},
      {{"--part", "0x460", "--option-word", "0xFEFFFEAA"},
       {"--boot-pin", "-v"},
       0,
       g0_verbose("The boot-select pin counts already (option word 0xFEFFFEAA)\n"),
       {r128, r128, mass}},
      {{"--part", "0x460", "--loader-version", "0xB2", "--options-need-power-cycle"},
       {"--boot-pin"},
       0,
       counts +
           "The module applies its new option bytes only after a power cycle (the G07x boot "
           "loader 11.2 does not load them): switch it off and on before the next update\n" +
           flashed,
       {r128, r128, w, "options fefffeaa", r128, r128, mass}},
      {{},
       {"--boot-pin", "-v"},
       0,
       "Device has ID 00000410\n" + std::string(kSimPartLine) +
           "The F1 medium-density samples its boot-select pin at every reset: nothing to change\n" +
           progress(fn, kSampleFragments) + "Flashing done\n",
       {"cmd erase global"}},
      {{"--part", "0x472"},
       {"--boot-pin"},
       2,
       "Can't make the boot-select pin count: the option bytes of the L5 L552/562 are not known "
       "here; nothing was changed\n",
       {}},
      // Entered through the lines, a G0 as shipped would lock the next update
      // out: nothing is erased, and its empty flash still starts the boot
      // loader after the release.
      wired({"--part", "0x460"}, {}, 2, stop("FFFFFEAA", "erase"),
            {"restart boot", r8, r8, "restart boot"}),
      wired({"--part", "0x460"}, {"--conffile", confs.file("leave.conf")}, 0, flashed,
            {"restart boot", mass, "restart app"}),
      // Read-out protection comes off first; the option word is read then.
      wired({"--part", "0x460", "--read-protected"}, {"--unprotect"}, 2,
            unprotect + stop("FFFFFEAA", "write") + kIncomplete,
            {"restart boot", "cmd readout-unprotect", r8, r8, "restart boot"}),
      wired({"--part", "0x460", "--read-protected"}, {"--unprotect", "--boot-pin"}, 0,
            unprotect + counts + flashed,
            {"restart boot", "cmd readout-unprotect", r128, r128, w, "options fefffeaa", r128, r128,
             mass, "restart app"}),
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.err);
    TempDir dir;
    WiredModule m(c.sim_args, c.lines);
    ASSERT_TRUE(m.sim.ready());
    const ProcResult r = flash(dir, m.args(c.args), c.lines ? m.sysfs.path() : "");
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    ASSERT_EQ(m.sim.stop(), 0);
    EXPECT_EQ(option_events(m.sim), c.events);
  }
}

// The area goes back as it was read, apart from the one bit: a double word
// of another tool's survives, and an area with a bad pair is not written.
TEST(BootPin, WritesTheAreaBackWholeWithOneBitChangedAndRefusesABadPair) {
  // nSWBOOT0 cleared, then the G4's 5 other double words of 0xFFFFFFFF and
  // its complement, but double word 5: 0xFFFFFF12.
  Bytes kept = {0xAA, 0xF8, 0xEF, 0xFB, 0x55, 0x07, 0x10, 0x04};
  for (int i = 1; i < 6; ++i) kept = cat(kept, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
  kept[40] = 0x12;
  kept[44] = 0xED;
  Bytes bad = kept;
  bad[28] = 0x01;  // double word 3's complement no longer fits
  for (const Bytes &before : {kept, bad}) {
    TempDir dir;
    SimProcess sim({"--part", "0x468"});
    ASSERT_TRUE(sim.ready());
    prime_area(sim, before);
    const ProcResult r = flash(dir, {"-d", sim.tty_path(), "-F", sample_hex(), "--boot-pin"});
    ASSERT_EQ(sim.stop(), 0);
    const auto blocks = sim.rx_blocks();
    if (before == bad) {
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.err,
                "Can't make the boot-select pin count: option double word 3 (0x1FFF7818) is not a "
                "value and its complement; nothing was written\n");
      const auto events = sim.events();  // the priming write alone
      EXPECT_EQ(std::count(events.begin(), events.end(), "cmd write 1fff7800 48"), 1);
      EXPECT_FALSE(has_event(sim, "cmd erase"));
      continue;
    }
    EXPECT_EQ(r.status, 0) << r.err;
    Bytes after = before;
    after[3] |= 0x04;  // nSWBOOT0, bit 26, and its complement
    after[7] &= ~0x04;
    EXPECT_EQ(std::count(blocks.begin(), blocks.end(), data_block(after)), 1);
  }
}

TEST(BootPin, InfoShowsWhatTheModuleTellsAndChangesNothing) {
  const std::string g0 =
      "ID: 0x460\nPart: G0 G070/071/081, 128 KiB flash\nBoot loader: version 3.1\n"
      "Commands: 00 01 02 11 21 31 44 73 82 92\n";
  const struct {
    std::vector<std::string> sim_args;
    int status;
    std::string out, err;
  } cases[] = {
      {{"--part", "0x460"},
       0,
       g0 + "Option word: 0xFFFFFEAA\nBoot-select pin: ignored (nBOOT_SEL = 1)\n"
            "Read-out protection: level 0\n",
       ""},
      {{"--part", "0x460", "--read-protected"},
       0,
       g0 + "Read-out protection: level 1 (the option bytes cannot be read)\n",
       ""},
      {{"--nack-cmd", "0x01:9"}, 2, "", "Can't read the boot loader's version: Invalid argument\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.out);
    TempDir dir;
    SimProcess sim(c.sim_args);
    ASSERT_TRUE(sim.ready());
    const ProcResult r = flash(dir, {"-d", sim.tty_path(), "--info", "--boot-pin"});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    ASSERT_EQ(sim.stop(), 0);
    EXPECT_FALSE(has_event(sim, "cmd write") || has_event(sim, "cmd erase"));
  }
}

}  // namespace
