// End-to-end tests: the real flasher against the simulated module, over a
// real pseudo-terminal, with a sysfs stand-in for the reset and boot-select
// lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "flasher.h"
#include "option_runs.h"
#include "pty.h"
#include "update.h"

// Memory that runs out in the middle of a run: this test program's operator
// new fails once, at the first allocation after oom::arm, or after it once
// the given port is open, as a flasher's would when memory runs out there.
namespace oom {

char port[256];  // the port's path; empty: the first allocation fails
bool armed = false;

bool port_open() {
  char proc[32], link[sizeof port];
  for (int fd = 3; fd < 64; ++fd) {
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(proc, link, sizeof link - 1);
    if (n > 0 && static_cast<size_t>(n) == std::strlen(port) && std::memcmp(link, port, n) == 0)
      return true;
  }
  return false;
}

bool fail_now() {
  if (!armed || (port[0] != '\0' && !port_open())) return false;
  armed = false;
  return true;
}

}  // namespace oom

#if !defined(__SANITIZE_ADDRESS__)
// The library's operator delete frees with std::free.
void *operator new(std::size_t n) {
  for (;;) {
    if (!oom::fail_now())
      if (void *p = std::malloc(n ? n : 1)) return p;
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}
#endif

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
  // boot loader is addressed 10 ms after that. The module notes a line
  // change when it reads it, which a loaded machine delays by a few
  // milliseconds: the second pause is checked with that much to spare.
  EXPECT_GE(gpio[4].t - gpio[3].t, 0.095);
  const auto rx = of_kind(log, "rx");
  ASSERT_FALSE(rx.empty());
  EXPECT_EQ(rx.front().rest, "7f");
  EXPECT_GE(rx.front().t - gpio[4].t, 0.005);
  // Every block went out before the release sequence began.
  EXPECT_LT(rx.back().t, gpio[5].t);
  // The reset pulse of the release lasts at least 10 ms.
  EXPECT_GE(gpio[7].t - gpio[6].t, 0.009);
}

TEST(Flasher, ResetLineAloneIsReleasedAfterTheHoldSoAModuleStrappedForItsBootLoaderIsFlashed) {
  const struct {
    bool strapped;  // boot-select strapped high on the board, else low
    std::vector<std::string> extra;
    std::vector<std::string> gpio;
    std::vector<std::string> restarts;
    int status;
  } cases[] = {
      // Without acknowledgements nothing is awaited from the module's
      // application while the writes go out; the answers missing after them
      // fail the run.
      {false,
       {"--waitack"},
       {"direction reset out", "reset 0", "reset 1", "reset 0", "reset 1", "unexport 17"},
       {"restart app", "restart app"},
       2},
      // The release restarts it in its boot loader again: only Go leaves it.
      {true,
       {},
       {"boot 1", "direction reset out", "reset 0", "reset 1", "reset 0", "reset 1", "unexport 17"},
       {"restart boot", "restart boot"},
       0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.strapped ? "strapped high" : "low");
    TempDir dir;
    WiredModule m;
    ASSERT_TRUE(m.sim.ready());
    if (c.strapped) {
      testsupport::write_file(m.sysfs.path() + "/class/gpio/gpio" + kBootPin + "/value", "1");
      ASSERT_TRUE(wait_for_record(m.sim, "gpio", "boot 1"));
    }
    std::vector<std::string> args = {"-d", m.sim.tty_path(), "-r", kResetPin, "-F", sample_hex()};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const ProcResult r = flash(dir, args, m.sysfs.path());
    EXPECT_EQ(r.status, c.status) << r.err;
    m.sim.stop();
    const auto gpio = of_kind(m.sim.log(), "gpio");
    ASSERT_EQ(rests(gpio), c.gpio);
    // Reset is held low for 100 ms before it is released.
    EXPECT_GE(gpio[gpio.size() - 4].t - gpio[gpio.size() - 5].t, 0.095);
    std::vector<std::string> restarts;
    for (const auto &e : m.sim.events())
      if (e.rfind("restart", 0) == 0) restarts.push_back(e);
    EXPECT_EQ(restarts, c.restarts);
    if (c.strapped) {
      EXPECT_EQ(m.sim.dump().substr(0, 6000), sample_bin());
    }
  }
}

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
// loader listens; without one the run fails with the hint.
TEST(FlasherEntry, AWrongLineSpeedIsLeftBehindByASecondEntryThroughTheResetLine) {
  TempDir dir;
  WiredModule m({"--boot-ms", "50", "--autobaud-window", "20000"});
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
// pulled low first, and the pulse restarts the application.
TEST(FlasherEntry, GoWithOnlyAResetLineLeavesTheApplicationRunning) {
  const struct {
    bool bootsel;
    std::vector<std::string> after_go;  // the module's starts after Go
  } rows[] = {{false, {}}, {true, {"restart app"}}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.bootsel ? "boot-select line" : "reset line only");
    TempDir dir;
    WiredModule m;
    ASSERT_TRUE(m.sim.ready());
    testsupport::write_file(m.sysfs.path() + "/class/gpio/gpio" + kBootPin + "/value", "1");
    ASSERT_TRUE(wait_for_record(m.sim, "gpio", "boot 1"));
    std::vector<std::string> args = {"-d", m.sim.tty_path(), "-r",  kResetPin,
                                     "-F", sample_hex(),     "--go"};
    if (row.bootsel) args.insert(args.end(), {"-s", kBootPin});
    const ProcResult r = flash(dir, args, m.sysfs.path());
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(m.sim.stop(), 0);
    const auto events = m.sim.events();
    const auto go = std::find(events.begin(), events.end(), "go 08000000");
    ASSERT_NE(go, events.end());
    std::vector<std::string> after;
    for (auto e = go; e != events.end(); ++e)
      if (e->rfind("restart", 0) == 0) after.push_back(*e);
    EXPECT_EQ(after, row.after_go);
  }
}

TEST(Flasher, BootSelectLineAloneIsOnlyUnexported) {
  TempDir dir;
  WiredModule m;
  ASSERT_TRUE(m.sim.ready());
  ProcResult r =
      flash(dir, {"-d", m.sim.tty_path(), "-s", kBootPin, "--waitack", "-F", sample_hex()},
            m.sysfs.path());
  // Never restarted, the module stays in its application and answers
  // nothing: the answers missing after the writes fail the run.
  EXPECT_EQ(r.status, 2) << r.err;
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
      // A speed the port cannot take runs at the next lower one, and says so.
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

std::string fixture(const std::string &name) {
  return source_dir() + "/tests/fixtures/image/" + name;
}

// What the module's flash holds after the file was flashed.
std::string flashed(const std::string &file) {
  TempDir dir;
  SimProcess sim;
  EXPECT_TRUE(sim.ready());
  const ProcResult r = flash(dir, {"-d", sim.tty_path(), "-F", file});
  EXPECT_EQ(r.status, 0) << file << ": " << r.err;
  sim.stop();
  return sim.dump();
}

TEST(Flasher, EveryFormatFlashesTheBytesOfItsIntelHexTwin) {
  TempDir dir;
  const std::string hex = testsupport::read_file(fixture("firmware.hex"));
  // Text as other tools leave it: blank lines, CR LF, a ^Z after the end.
  testsupport::write_file(dir.file("mended.hex"), "\n \r\n" + hex + "\n\x1a");
  const std::string want = flashed(fixture("firmware.hex"));
  // The initialised data load after the code, not at 0x20000000 where they run.
  ASSERT_GE(want.size(), 0xC00u);
  EXPECT_EQ(want.substr(0xBFC, 4), "\x78\x56\x34\x12");
  for (const std::string &file :
       {fixture("firmware.elf"), fixture("firmware.srec"), dir.file("mended.hex")})
    EXPECT_EQ(flashed(file), want) << file;
  // A pipe is read whole before its format is decided.
  const std::string fifo = dir.file("fw.pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer(
      [&] { testsupport::write_file(fifo, testsupport::read_file(fixture("firmware.elf"))); });
  EXPECT_EQ(flashed(fifo), want);
  writer.join();
  // So is standard input, named "-".
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  ProcOptions from_stdin = flasher_options("");
  from_stdin.input = testsupport::read_file(fixture("firmware.srec"));
  const ProcResult r =
      run_process(flasher_argv(dir, {"-d", sim.tty_path(), "-F", "-"}), from_stdin);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, progress("-", 14));
  sim.stop();
  EXPECT_EQ(sim.dump(), want);
}

TEST(Flasher, FilesThatCannotBeOpenedEndWith255BeforeTheLinesAreTouched) {
  TempDir dir;
  testsupport::write_file(dir.file("bad.hex"), ":020000040800F2\n\n");
  testsupport::write_file(dir.file("bad1.hex"), ":020000040800F3\n:00000001FF\n");
  testsupport::write_file(dir.file("empty.bin"), "");
  testsupport::write_file(dir.file("eof.hex"), ":00000001FF\n");
  testsupport::write_file(dir.file("victim.hex"), testsupport::read_file(sample_hex()));
  testsupport::write_file(dir.file("64bit.elf"), std::string("\x7f"
                                                             "ELF\x02\x01\x01",
                                                             7) +
                                                     std::string(60, '\0'));
  testsupport::write_file(dir.file("cut.srec"), "S00600004844521B\nS10500000102F7\n");
  testsupport::PtyPair terminal;
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  struct Case {
    std::string device, file, err;
    std::vector<std::string> extra = {};
  };
  const std::string not_tty = ": Inappropriate ioctl for device\n";
  const std::vector<Case> cases = {
      // A firmware file or a directory given as the port, whatever the mode.
      {dir.file("victim.hex"), sample_hex(), "Can't open " + dir.file("victim.hex") + not_tty},
      {dir.path(), sample_hex(), "Can't open " + dir.path() + not_tty, {"--uart"}},
      // A port that is no terminal when the line is to be set up.
      {"/dev/null", sample_hex(), "Can't open /dev/null" + not_tty},
      // --device and --file swapped: the terminal is not read as firmware.
      {dir.file("victim.hex"), terminal.slave(),
       terminal.slave() + ": a terminal, not a firmware file\nCan't open " + terminal.slave() +
           ": Invalid argument\n"},
      {sim.tty_path(), dir.file("64bit.elf"),
       dir.file("64bit.elf") + ": not a 32-bit ELF file\nCan't open " + dir.file("64bit.elf") +
           ": Invalid argument\n"},
      {sim.tty_path(), dir.file("cut.srec"),
       "No end record (S7, S8 or S9) after line 2: the file may be cut short\nCan't open " +
           dir.file("cut.srec") + ": Invalid argument\n"},
      {"/nonexistent/ttyX", sample_hex(),
       "Can't open /nonexistent/ttyX: No such file or directory\n"},
      {sim.tty_path(), dir.file("missing.hex"),
       "Can't open " + dir.file("missing.hex") + ": No such file or directory\n"},
      {sim.tty_path(), dir.path(), "Can't open " + dir.path() + ": Is a directory\n"},
      // Cut short at a line boundary: no end-of-file record.
      {sim.tty_path(), dir.file("bad.hex"),
       "No end-of-file record after line 2: the file may be cut short\nCan't open " +
           dir.file("bad.hex") + ": Invalid argument\n"},
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
    std::vector<std::string> args = {"-d", c.device, "-r", "5", "-s", "6", "-F", c.file};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    ProcResult r = flash(dir, args, sysfs.path());
    EXPECT_EQ(r.status, 255) << c.err;
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(testsupport::read_file(sysfs.path() + "/class/gpio/export"), "");
  EXPECT_EQ(testsupport::read_file(sysfs.path() + "/class/gpio/unexport"), "");
  EXPECT_EQ(testsupport::read_file(dir.file("victim.hex")), testsupport::read_file(sample_hex()));
  sim.stop();
  EXPECT_TRUE(of_kind(sim.log(), "rx").empty());
}

// A sysfs stand-in of plain files for lines 17 and 18, whose value of line
// `gpio` is a FIFO read only until the target entry has written `writes`
// values to it: the release then finds no reader, so the value cannot be
// opened.
struct LineGoneAfterEntry {
  TempDir sysfs;
  std::thread reader;
  std::atomic<int> got{0};
  LineGoneAfterEntry(int gpio, int writes) {
    for (const char *d : {"/class", "/class/gpio", "/class/gpio/gpio17", "/class/gpio/gpio18"})
      ::mkdir((sysfs.path() + d).c_str(), 0755);
    for (int line : {17, 18}) {
      const std::string value = sysfs.path() + "/class/gpio/gpio" + std::to_string(line) + "/value";
      line == gpio ? (void)::mkfifo(value.c_str(), 0644) : testsupport::write_file(value, "");
    }
    const std::string fifo = sysfs.path() + "/class/gpio/gpio" + std::to_string(gpio) + "/value";
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    reader = std::thread([this, fd, writes] {
      char c;
      for (int i = 0; got < writes && i < 10000; ++i)
        ::read(fd, &c, 1) == 1 ? ++got : ::usleep(1000);
      ::close(fd);
    });
  }
  ~LineGoneAfterEntry() { reader.join(); }
};

TEST(Flasher, ALineThatCannotBeDrivenInTheReleaseEndsWithTwoWhateverElseHappened) {
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
    int gone, writes;  // the line whose value goes after that many writes; 0: no gpio class
    std::vector<std::string> module;
    int signal;  // sent once the module heard the first sync byte
    std::string err;
  } cases[] = {
      {{"-r", "17", "-s", "18"}, 17, 2, {}, 0, flashed + v17 + v17},
      {{"-r", "5", "-s", "6", "--waitack"},
       0,
       0,
       {},
       0,
       export_ + hint + export_ + v5 + flashed + v5 + "Can't open gpio6's value" + no + v5 +
           unexport + unexport},
      // Boot-select left high keeps the module in its boot loader.
      {{"-r", "17", "-s", "18"},
       18,
       1,
       {},
       0,
       flashed + "Can't open gpio18's value: No such device or address\n"},
      // Not 128 + the signal: the caller must know that the module may not run.
      {{"-r", "17", "-s", "18"},
       17,
       2,
       {"--silent"},
       SIGTERM,
       "Can't init device: Interrupted system call\n" + v17 + v17},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.err);
    TempDir dir, empty;
    SimProcess sim(c.module);
    ASSERT_TRUE(sim.ready());
    std::optional<LineGoneAfterEntry> gone;
    if (c.gone) gone.emplace(c.gone, c.writes);
    std::vector<std::string> args = {"-d", sim.tty_path(), "-F", sample_hex()};
    args.insert(args.end(), c.lines.begin(), c.lines.end());
    testsupport::Process p(flasher_argv(dir, args),
                           flasher_options(gone ? gone->sysfs.path() : empty.path()));
    if (c.signal) {
      ASSERT_TRUE(wait_for_record(sim, "rx", "7f"));
      kill(p.pid(), c.signal);
    }
    const ProcResult r = p.wait();
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(Flasher, OutOfMemoryEndsLikeAnyFailureOfItsPhase) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer replaces operator new";
#else
  const struct {
    bool port_open;  // the allocation fails once the port is open, else the first one
    int status;
    std::vector<std::string> gpio;
  } cases[] = {{false, 255, {}}, {true, 2, release_sequence()}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.port_open ? "port open" : "before the port");
    TempDir dir;
    WiredModule m;
    ASSERT_TRUE(m.sim.ready());
    std::vector<std::string> args = flasher_argv(dir, m.args());
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const Outcome o = in_child([&] {
      ::setenv("TARVION_SYSFS", m.sysfs.path().c_str(), 1);
      std::snprintf(oom::port, sizeof oom::port, "%s", c.port_open ? m.sim.tty_path().c_str() : "");
      oom::armed = true;
      return update_main(static_cast<int>(args.size()), argv.data()) & 0xff;
    });
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.err, "tarvion_update: out of memory\n");
    ASSERT_EQ(m.sim.stop(), 0);
    EXPECT_EQ(rests(of_kind(m.sim.log(), "gpio")), c.gpio);
    EXPECT_TRUE(of_kind(m.sim.log(), "rx").empty());
  }
#endif
}

// Whether process pid waits in the open of a FIFO for its writer.
bool waits_in_fifo_open(pid_t pid) {
  return testsupport::read_file("/proc/" + std::to_string(pid) + "/wchan") == "wait_for_partner";
}

TEST(Flasher, ASignalBeforeThePortIsOpenedIsCaughtAndEndsTheRunWithNothingHeld) {
  // The handlers are in place from the start: a firmware file that is a
  // FIFO without writer holds the flasher in its open, which the signal ends.
  TempDir dir;
  WiredModule m;
  ASSERT_TRUE(m.sim.ready());
  const std::string fifo = dir.file("firmware.hex");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  testsupport::Process p(
      flasher_argv(dir, {"-d", m.sim.tty_path(), "-r", kResetPin, "-s", kBootPin, "-F", fifo}),
      flasher_options(m.sysfs.path()));
  for (int i = 0; i < 10000 && p.running() && !waits_in_fifo_open(p.pid()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  kill(p.pid(), SIGTERM);
  const ProcResult r = p.wait();
  EXPECT_EQ(r.status, 128 + SIGTERM);
  EXPECT_EQ(r.err, "Can't open " + fifo + ": Interrupted system call\n");
  ASSERT_EQ(m.sim.stop(), 0);
  EXPECT_TRUE(of_kind(m.sim.log(), "gpio").empty());
  EXPECT_TRUE(of_kind(m.sim.log(), "rx").empty());
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
  EXPECT_EQ(r.err, "Device has ID 00000410\n" + std::string(kSimPartLine) +
                       progress(sample_hex(), kSampleFragments) + "Flashing done\n");
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

  // The port without -d is not dropped for the default port.
  ProcResult stray = flash(dir, {"-F", sample_hex(), "/dev/ttyUSB0"});
  EXPECT_EQ(stray.status, 1);
  EXPECT_EQ(stray.err, testsupport::flasher_path() + ": unexpected argument '/dev/ttyUSB0'\n");
}

}  // namespace
