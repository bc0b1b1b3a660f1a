// End to end: firmware files of every format flashed alike, and files that
// cannot be opened ending the run before the port or the lines are touched.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "flasher.h"
#include "pty.h"

namespace {

using namespace testsupport;

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
    int status = 255;
  };
  const std::string not_tty = ": Inappropriate ioctl for device\n";
  std::vector<Case> cases = {
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
  // Parts files that end the run with 1, naming the file and the line.
  const std::string x2047(2047, 'x');
  const std::pair<std::string, std::string> parts_faults[] = {
      {"0x4F0 x 32x2K 8", "1: expected ID NAME LAYOUT UNIT ERASE [SIZE-REGISTER], not 4 fields"},
      {"# a\n\n0x1000 x 32x2K 8 0x44", "3: ID '0x1000' is no product ID in hex up to 0xFFF"},
      {"0x4F0 \"a 32x2K 8 0x44", "1: a name in double quotes is not closed"},
      {"0x4F0 \"a\tb\" 32x2K 8 0x44",
       "1: NAME must be a word, or a text in double quotes without control characters, double "
       "quotes or blanks at its ends"},
      {"0x4F0 a 32x2K,x1K 8 0x44",
       "1: layout '32x2K,x1K': runs COUNTxSIZE (SIZE in bytes, or with K), as 4x16K,1x64K"},
      {"0x4F0 a 3x6 4 0x44", "1: layout: a page of 6 bytes is no whole number of 4-byte units"},
      {"0x4F0 a 300x1K 4 0x43", "1: layout: 300 pages, more than the 256 that 0x43 can number"},
      {"0x4F0 a 65535x64K 4 0x44",
       "1: layout: it runs past the end of the 32-bit address space from 0x08000000"},
      {"0x4F0 a 3x512 4 0x44", "1: layout: 1536 bytes in all, no whole number of KiB"},
      {"0x4F0 a 32x2K 3 0x44", "1: UNIT '3' is not 4, 8, 16 or 32"},
      {"0x4F0 a 32x2K 8 0x45", "1: ERASE '0x45' is not 0x43, 0x44 or 0x44-pages"},
      {"0x4F0 a 32x2K 8 0x44 0x10@0x20+2",
       "1: size register '0x10@0x20+2': an address, or ADDR@FROM+LEN with the register inside "
       "the LEN bytes (2 to 256) from FROM"},
      {"0x4F0 a - 8 0x44 0x1FFF75E0", "1: a size register needs a layout"},
      {"0x4F0 a 32x2K 8 0x44\r\n0x4f0 b 32x2K 8 0x44", "2: ID 0x4F0 repeats line 1"},
      {std::string("0x4F0 a\0 32x2K 8 0x44", 22), "1: a NUL byte"},
      {"#" + x2047, "1: a line longer than 2047 characters"},
  };
  for (const auto &[content, what] : parts_faults) {
    const std::string bad = dir.file("bad" + std::to_string(cases.size()) + ".parts");
    testsupport::write_file(bad, content + "\n");
    cases.push_back({sim.tty_path(), sample_hex(), bad + ":" + what + "\n", {"--parts", bad}, 1});
  }
  cases.push_back({sim.tty_path(),
                   sample_hex(),
                   "Can't read parts file " + dir.path() + ": not a regular file\n",
                   {"--parts", dir.path()},
                   1});
  TempDir sysfs;  // plain files: any write to them would show
  ::mkdir((sysfs.path() + "/class").c_str(), 0755);
  ::mkdir((sysfs.path() + "/class/gpio").c_str(), 0755);
  testsupport::write_file(sysfs.path() + "/class/gpio/export", "");
  testsupport::write_file(sysfs.path() + "/class/gpio/unexport", "");
  for (const auto &c : cases) {
    std::vector<std::string> args = {"-d", c.device, "-r", "5", "-s", "6", "-F", c.file};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    ProcResult r = flash(dir, args, sysfs.path());
    EXPECT_EQ(r.status, c.status) << c.err;
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(testsupport::read_file(sysfs.path() + "/class/gpio/export"), "");
  EXPECT_EQ(testsupport::read_file(sysfs.path() + "/class/gpio/unexport"), "");
  EXPECT_EQ(testsupport::read_file(dir.file("victim.hex")), testsupport::read_file(sample_hex()));
  sim.stop();
  EXPECT_TRUE(of_kind(sim.log(), "rx").empty());
}

}  // namespace
