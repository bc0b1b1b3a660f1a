// End to end: entering the boot loader through the reset and boot-select
// lines, whatever its start-up, a wrong line speed left behind by a second
// entry, and the release after Go.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flasher.h"

namespace {

using namespace testsupport;

// The module's starts, in order (restart boot, restart app).
std::vector<std::string> restarts(const SimProcess &sim) {
  std::vector<std::string> seen;
  for (const auto &e : sim.events())
    if (e.rfind("restart", 0) == 0) seen.push_back(e);
  return seen;
}

// The boot loader is met soon after it listens however long it takes to
// start (the time is a benchmark's), and a 0x00 it puts on the line as it
// starts is passed over.
TEST(FlasherEntry, EveryStartUpIsFlashedWithOneEntry) {
  const std::vector<std::vector<std::string>> modules = {
      {"--boot-ms", "0"},
      {"--boot-ms", "85"},
      {"--boot-ms", "400"},
      {"--boot-ms", "1500"},
      {"--zero-on-reset"},
      {"--zero-on-reset", "--boot-ms", "50"},
      {"--part", "0x413", "--erase-scale", "0.0001"},
  };
  for (const auto &module : modules) {
    SCOPED_TRACE(module.back());
    TempDir dir;
    WiredModule m(module);
    ASSERT_TRUE(m.sim.ready());
    const ProcResult r = flash(dir, m.args(), m.sysfs.path());
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(m.sim.stop(), 0);
    EXPECT_EQ(m.sim.dump().substr(0, 6000), sample_bin());
    EXPECT_EQ(restarts(m.sim), (std::vector<std::string>{"restart boot", "restart app"}));
  }
}

// A 0x7F on the line as the boot loader starts fixes a wrong speed: it then
// answers garbage. With a reset line the next entry waits until the boot
// loader listens; without one the run fails with the hint. The sync's third
// 0x7F, about 63 ms after the first, falls into the window.
TEST(FlasherEntry, AWrongLineSpeedIsLeftBehindByASecondEntryThroughTheResetLine) {
  TempDir dir;
  WiredModule m({"--boot-ms", "60", "--autobaud-window", "30000"});
  ASSERT_TRUE(m.sim.ready());
  const ProcResult r = flash(dir, m.args(), m.sysfs.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, progress(sample_hex(), kSampleFragments));
  ASSERT_EQ(m.sim.stop(), 0);
  EXPECT_EQ(m.sim.dump().substr(0, 6000), sample_bin());
  EXPECT_EQ(restarts(m.sim),
            (std::vector<std::string>{"restart boot", "restart boot", "restart app"}));
  const auto events = m.sim.events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "autobaud wrong"), 1);

  SimProcess alone({"--autobaud-window", "600000000"});
  ASSERT_TRUE(alone.ready());
  const ProcResult without = flash(dir, {"-d", alone.tty_path(), "-F", sample_hex()});
  EXPECT_EQ(without.status, 2);
  EXPECT_EQ(without.err,
            "Can't init device: Invalid argument\nNo answer from the module's boot loader: check "
            "its power, the wiring, the boot-select line and the line speed\n");
}

// Go on a board whose boot-select is strapped high: a release pulse would
// restart the module into its boot loader. With a boot-select line it is
// pulled low first, and the pulse restarts the application. Only a Go the
// module acknowledged leaves the pulse out; without a firmware file Go
// starts what the flash holds, once it was read.
TEST(FlasherEntry, GoWithOnlyAResetLineLeavesTheApplicationRunning) {
  struct Row {
    const char *what;
    bool bootsel;
    std::vector<std::string> args, module;
    int status;
    std::vector<std::string> starts;  // the module's starts, in order
  };
  // The entry's start; a refused Go leaves the release pulse in, which
  // restarts the module into its boot loader.
  const std::vector<std::string> entry = {"restart boot"},
                                 pulsed = {"restart boot", "restart boot"};
  const Row rows[] = {
      {"reset line only", false, {"-F", sample_hex()}, {}, 0, entry},
      {"boot-select line", true, {"-F", sample_hex()}, {}, 0, {"restart boot", "restart app"}},
      {"no firmware file", false, {"--read", "b.bin"}, {"--part", "0x410"}, 0, entry},
      {"Go refused", false, {"-F", sample_hex(), "--waitack"}, {"--nack-cmd", "0x21:9"}, 2, pulsed},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    WiredModule m(row.module);
    ASSERT_TRUE(m.sim.ready());
    testsupport::write_file(m.sysfs.path() + "/class/gpio/gpio" + kBootPin + "/value", "1");
    ASSERT_TRUE(wait_for_record(m.sim, "gpio", "boot 1"));
    std::vector<std::string> args = {"-d", m.sim.tty_path(), "-r", kResetPin, "--go"};
    if (row.bootsel) args.insert(args.end(), {"-s", kBootPin});
    for (const auto &a : row.args) args.push_back(a == "b.bin" ? dir.file(a) : a);
    const ProcResult r = flash(dir, args, m.sysfs.path());
    EXPECT_EQ(r.status, row.status) << r.err;
    ASSERT_EQ(m.sim.stop(), 0);
    EXPECT_EQ(restarts(m.sim), row.starts);
    EXPECT_EQ(has_event(m.sim, "go 08000000"), row.status == 0);
  }
}

}  // namespace
