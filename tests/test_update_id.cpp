// End to end: the identifier shown (--showid) and tested (--testid) before
// anything is erased.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flasher.h"

namespace {

using namespace testsupport;

TEST(Flasher, ShowsTheIdentifierAndTouchesNothingElse) {
  TempDir dir;
  SimProcess sim({"--id", "0x413"});
  ASSERT_TRUE(sim.ready());
  ProcResult r = flash(dir, {"-d", sim.tty_path(), "--showid", "-i", "0x999", "-F", sample_hex()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Device has ID 00000413\n");
  // Without a firmware file, from the command line or the configuration file.
  testsupport::write_file(dir.file("showid.conf"), "showid\n");
  for (const std::string &opt :
       {std::string("--showid"), "--conffile=" + dir.file("showid.conf")}) {
    r = flash(dir, {"-d", sim.tty_path(), opt});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Device has ID 00000413\n");
  }
  sim.stop();
  EXPECT_FALSE(has_event(sim, "erase"));
  EXPECT_FALSE(has_event(sim, "write"));
}

TEST(Flasher, IdentifierTestDecidesWhetherTheModuleIsErased) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err_start;  // what stderr begins with
    bool erased;
  };
  const std::string fn = sample_hex();
  const std::vector<Case> cases = {
      {{"-i", "0x410"}, 0, progress(fn, kSampleFragments), true},
      {{"-i", "0x410", "-v"},
       0,
       "Device has ID 00000410\n" + std::string(kSimPartLine) + progress(fn, kSampleFragments) +
           "Flashing done\n",
       true},
      {{"-i", "0x411"}, 2, "Device ID 00000410 doesn't match 00000411\n", false},
      {{"-i", "0xFFFFFFFF"}, 2, "Device ID 00000410 doesn't match FFFFFFFF\n", false},
      // The identifier as --showid prints it, copied with its leading zero.
      {{"-i", "00000410"},
       2,
       "Device ID 00000410 doesn't match 00000108\n--testid 00000410 was read as octal (0x108); "
       "write 0x410 for hexadecimal\n",
       false},
      // The hexadecimal digits written without 0x.
      {{"-i", "410"},
       2,
       "Device ID 00000410 doesn't match 0000019A\n--testid 410 was read as decimal (0x19A); "
       "write 0x410 for hexadecimal\n",
       false},
      {{"-i", "411"}, 2, "Device ID 00000410 doesn't match 0000019B\n", false},
      // A speed the port cannot take runs at the next lower one, and says so,
      // also without --verbose.
      {{"-i", "0x410", "-b", "9600"},
       0,
       "Line speed set to 19200 baud (the port takes no 9600)\n" + progress(fn, kSampleFragments),
       true},
      {{"-i", "0x410", "-v", "-b", "100000"},
       0,
       "Line speed set to 57600 baud (the port takes no 100000)\nDevice has ID 00000410\n" +
           std::string(kSimPartLine) + progress(fn, kSampleFragments) + "Flashing done\n",
       true},
  };
  for (const auto &c : cases) {
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.ready());
    const ProcResult r = flash_file(dir, sim, fn, c.args);
    EXPECT_EQ(r.status, c.status) << c.args[1];
    EXPECT_EQ(r.err, c.err_start) << c.args[1];
    sim.stop();
    EXPECT_EQ(has_event(sim, "erase"), c.erased) << c.args[1];
  }
}

TEST(Flasher, ExpectedIdentifierWithTopBitSetMatches) {
  TempDir dir;
  SimProcess sim({"--id", "0x80000410"});
  ASSERT_TRUE(sim.ready());
  ProcResult r = flash(dir, {"-d", sim.tty_path(), "-i", "0x80000410", "-v", "-F", sample_hex()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.rfind("Device has ID 80000410\n", 0), 0u) << r.err;
}

}  // namespace
