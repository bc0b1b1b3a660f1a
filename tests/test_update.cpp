// End-to-end tests: the real flasher against the simulated module, over a
// real pseudo-terminal, with a sysfs stand-in for the reset and boot-select
// lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "flasher.h"

namespace {

using namespace testsupport;

TEST(Flasher, FlashesTheSampleDrivingTheLinesInOrderWithTheirPauses) {
  TempDir dir;
  WiredModule m;
  ASSERT_TRUE(m.sim.ready());
  ProcResult r =
      flash(dir, {"-d", m.sim.tty_path(), "-r", kResetPin, "-s", kBootPin, "-F", sample_hex()},
            m.sysfs.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, progress(sample_hex(), kSampleFragments));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(m.sim.stop(), 0);
  const std::string flash = m.sim.dump();
  const std::string image = sample_bin();
  ASSERT_GE(flash.size(), image.size());
  EXPECT_TRUE(flash.compare(0, image.size(), image) == 0);
  EXPECT_EQ(flash.find_first_not_of('\xff', image.size()), std::string::npos);
  EXPECT_TRUE(has_event(m.sim, "restart boot"));
  EXPECT_TRUE(has_event(m.sim, "restart app"));

  const auto log = m.sim.log();
  const auto gpio = of_kind(log, "gpio");
  const std::vector<std::string> want = {"direction reset out",
                                         "reset 0",
                                         "direction boot out",
                                         "boot 1",
                                         "reset 1",
                                         "reset 0",
                                         "boot 0",
                                         "reset 1",
                                         "unexport 18",
                                         "unexport 17"};
  ASSERT_EQ(rests(gpio), want) << testsupport::read_file(m.sim.log_path());
  // Reset is released at least 100 ms after boot-select went high, and the
  // boot loader is addressed at least 10 ms later.
  EXPECT_GE(gpio[4].t - gpio[3].t, 0.095);
  const auto rx = of_kind(log, "rx");
  ASSERT_FALSE(rx.empty());
  EXPECT_EQ(rx.front().rest, "7f");
  EXPECT_GE(rx.front().t - gpio[4].t, 0.009);
  // Every block went out before the release sequence began.
  EXPECT_LT(rx.back().t, gpio[5].t);
  // The reset pulse of the release lasts at least 10 ms.
  EXPECT_GE(gpio[7].t - gpio[6].t, 0.009);
}

TEST(Flasher, ResetLineAloneIsHeldLowUntilTheRelease) {
  TempDir dir;
  WiredModule m;
  ASSERT_TRUE(m.sim.ready());
  // Without acknowledgements nothing is awaited from the module held in reset.
  ProcResult r =
      flash(dir, {"-d", m.sim.tty_path(), "-r", kResetPin, "--waitack", "-F", sample_hex()},
            m.sysfs.path());
  EXPECT_EQ(r.status, 0) << r.err;
  m.sim.stop();
  const std::vector<std::string> want = {"direction reset out", "reset 0", "reset 0", "reset 1",
                                         "unexport 17"};
  EXPECT_EQ(rests(of_kind(m.sim.log(), "gpio")), want);
  EXPECT_FALSE(has_event(m.sim, "restart boot"));
}

TEST(Flasher, BootSelectLineAloneIsOnlyUnexported) {
  TempDir dir;
  WiredModule m;
  ASSERT_TRUE(m.sim.ready());
  ProcResult r =
      flash(dir, {"-d", m.sim.tty_path(), "-s", kBootPin, "--waitack", "-F", sample_hex()},
            m.sysfs.path());
  EXPECT_EQ(r.status, 0) << r.err;
  m.sim.stop();
  EXPECT_EQ(rests(of_kind(m.sim.log(), "gpio")), std::vector<std::string>{"unexport 18"});
}

TEST(Flasher, ShowsTheIdentifierAndTouchesNothingElse) {
  TempDir dir;
  SimProcess sim({"--id", "0x413"});
  ASSERT_TRUE(sim.ready());
  ProcResult r = flash(dir, {"-d", sim.tty_path(), "--showid", "-i", "0x999", "-F", sample_hex()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Device has ID 00000413\n");
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
       "Device has ID 00000410\n" + progress(fn, kSampleFragments) + "Flashing done\n",
       true},
      {{"-i", "0x411"}, 2, "Device ID 00000410 doesn't match 00000411\n", false},
      {{"-i", "0xFFFFFFFF"}, 2, "Device ID 00000410 doesn't match FFFFFFFF\n", false},
  };
  for (const auto &c : cases) {
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.ready());
    std::vector<std::string> args = {"-d", sim.tty_path(), "-F", fn};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProcResult r = flash(dir, args);
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

TEST(Flasher, FilesThatCannotBeOpenedEndWith255BeforeTheLinesAreTouched) {
  TempDir dir;
  testsupport::write_file(dir.file("bad.hex"), ":020000040800F2\n\n");
  testsupport::write_file(dir.file("bad1.hex"), ":020000040800F3\n:00000001FF\n");
  testsupport::write_file(dir.file("empty.bin"), "");
  testsupport::write_file(dir.file("eof.hex"), ":00000001FF\n");
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  struct Case {
    std::string device, file, err;
  };
  const std::vector<Case> cases = {
      {"/nonexistent/ttyX", sample_hex(),
       "Can't open /nonexistent/ttyX: No such file or directory\n"},
      {sim.tty_path(), dir.file("missing.hex"),
       "Can't open " + dir.file("missing.hex") + ": No such file or directory\n"},
      {sim.tty_path(), dir.path(), "Can't open " + dir.path() + ": Is a directory\n"},
      {sim.tty_path(), dir.file("bad.hex"),
       "Line too short\nError parsing line 2 ''\nCan't open " + dir.file("bad.hex") +
           ": Invalid argument\n"},
      {sim.tty_path(), dir.file("bad1.hex"),
       "Checksum-error 1\nError parsing line 1 ':020000040800F3'\nCan't open " +
           dir.file("bad1.hex") + ": Invalid argument\n"},
      // Nothing to write: the module would be erased and the run succeed.
      {sim.tty_path(), dir.file("empty.bin"),
       "Can't open " + dir.file("empty.bin") + ": No data available\n"},
      {sim.tty_path(), dir.file("eof.hex"),
       "Can't open " + dir.file("eof.hex") + ": No data available\n"},
  };
  TempDir sysfs;  // plain files: any write to them would show
  ::mkdir((sysfs.path() + "/class").c_str(), 0755);
  ::mkdir((sysfs.path() + "/class/gpio").c_str(), 0755);
  testsupport::write_file(sysfs.path() + "/class/gpio/export", "");
  testsupport::write_file(sysfs.path() + "/class/gpio/unexport", "");
  for (const auto &c : cases) {
    ProcResult r = flash(dir, {"-d", c.device, "-r", "5", "-s", "6", "-F", c.file}, sysfs.path());
    EXPECT_EQ(r.status, 255) << c.err;
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(testsupport::read_file(sysfs.path() + "/class/gpio/export"), "");
  EXPECT_EQ(testsupport::read_file(sysfs.path() + "/class/gpio/unexport"), "");
  sim.stop();
  EXPECT_TRUE(of_kind(sim.log(), "rx").empty());
}

// A sysfs stand-in of plain files for lines 17 and 18, whose reset value is
// a FIFO read only until the target entry has written "0" and "1" to it: the
// release then finds no reader, so the value cannot be opened.
struct ResetGoneAfterEntry {
  TempDir sysfs;
  std::thread reader;
  ResetGoneAfterEntry() {
    for (const char *d : {"/class", "/class/gpio", "/class/gpio/gpio17", "/class/gpio/gpio18"})
      ::mkdir((sysfs.path() + d).c_str(), 0755);
    testsupport::write_file(sysfs.path() + "/class/gpio/gpio18/value", "");
    const std::string fifo = sysfs.path() + "/class/gpio/gpio17/value";
    ::mkfifo(fifo.c_str(), 0644);
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    reader = std::thread([fd] {
      char c;
      for (int got = 0, i = 0; got < 2 && i < 10000; ++i)
        ::read(fd, &c, 1) == 1 ? ++got : ::usleep(1000);
      ::close(fd);
    });
  }
  ~ResetGoneAfterEntry() { reader.join(); }
};

TEST(Flasher, AResetLineThatCannotBeDrivenInTheReleaseEndsWithTwo) {
  const std::string flashed = progress(sample_hex(), kSampleFragments);
  const std::string v17 = "Can't open gpio17's value: No such device or address\n";
  const std::string no = ": No such file or directory\n", export_ = "Can't open exportfile" + no,
                    v5 = "Can't open gpio5's value" + no,
                    unexport = "Can't open unexport-file" + no;
  const std::string hint =
      "Hint: this kernel has no sysfs GPIO; give the line as CHIP:LINE, e.g. --resetpin "
      "gpiochip0:17\n";
  struct Case {
    std::vector<std::string> lines;
    bool reset_gone;  // else a sysfs stand-in without the gpio class
    std::string err;
  } cases[] = {
      {{"-r", "17", "-s", "18"}, true, flashed + v17 + v17},
      {{"-r", "5", "-s", "6", "--waitack"},
       false,
       export_ + hint + export_ + v5 + flashed + v5 + "Can't open gpio6's value" + no + v5 +
           unexport + unexport},
  };
  for (const Case &c : cases) {
    TempDir dir, empty;
    SimProcess sim;
    ASSERT_TRUE(sim.ready());
    std::optional<ResetGoneAfterEntry> gone;
    if (c.reset_gone) gone.emplace();
    std::vector<std::string> args = {"-d", sim.tty_path(), "-F", sample_hex()};
    args.insert(args.end(), c.lines.begin(), c.lines.end());
    const ProcResult r = flash(dir, args, gone ? gone->sysfs.path() : empty.path());
    EXPECT_EQ(r.status, 2) << c.lines[1];
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(Flasher, SavesTheCommandLineWithoutFileOrPort) {
  TempDir dir;
  const std::string conf = dir.file("saved.conf");
  ProcResult r = flash(dir, {"-d", "/dev/ttyUSB3", "-b", "57600", "-r", "5", "-vS",
                             "--conffile=" + conf, "-i", "0x410"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "Configuration saved to " + conf + "\n");
  EXPECT_EQ(testsupport::read_file(conf),
            "device=\"/dev/ttyUSB3\"\nbaudrate=\"57600\"\nresetpin=\"5\"\ntestid=\"0x410\"\n"
            "verbose\n");

  ProcResult bad = flash(dir, {"-S", "-f", dir.file("no/such/dir.conf")});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err,
            "tarvion_update: cannot open file for writing: " + dir.file("no/such/dir.conf") + "\n");
}

TEST(Flasher, ConfigurationFileSuppliesWhatTheCommandLineDoesNotGive) {
  TempDir dir;
  SimProcess sim({"--id", "0x410"});
  ASSERT_TRUE(sim.ready());
  const std::string conf = dir.file("my.conf");
  testsupport::write_file(conf,
                          "# production line 3\ndevice = /dev/does-not-exist\n"
                          "testid 0x410\nfile=\"" +
                              sample_hex() + "\"\nverbose\n");
  // The command line's device wins; file, testid and verbose come from the file.
  ProcResult r = flash(dir, {"--conffile", conf, "-d", sim.tty_path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "Device has ID 00000410\n" + progress(sample_hex(), kSampleFragments) +
                       "Flashing done\n");
}

TEST(Flasher, ConfigurationErrorsExitWithOne) {
  TempDir dir;
  testsupport::write_file(dir.file("bad.conf"), "device \"/dev/ttyS1\n");
  ProcResult r = flash(dir, {"-f", dir.file("bad.conf"), "-F", sample_hex()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tarvion_update:" + dir.file("bad.conf") +
                       ":1: unterminated string in configuration file\n");

  ProcResult none = flash(dir, {"-d", "/dev/null"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, testsupport::flasher_path() + ": '--file' ('-F') option required\n");
}

}  // namespace
