// End to end: the configuration file saved from the command line, read
// under it, and its errors.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "flasher.h"
#include "option_runs.h"

namespace {

using namespace testsupport;

TEST(Flasher, SavesTheCommandLineWithoutFileOrPort) {
  TempDir dir;
  const std::string conf = dir.file("saved.conf");
  ProcResult r = flash(dir, {"-d", "/dev/ttyUSB3", "-b", "57600", "-r", "5", "-vS",
                             "--conffile=" + conf, "-i", "0x410", "--parts=my.parts"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "Configuration saved to " + conf + "\n");
  EXPECT_EQ(testsupport::read_file(conf),
            "device=\"/dev/ttyUSB3\"\nbaudrate=\"57600\"\nresetpin=\"5\"\ntestid=\"0x410\"\n"
            "verbose\nparts=\"my.parts\"\n");

  // Saved again: the file keeps what it held, the command line's in their
  // place, and its mode; one the reader refuses is left as it is.
  ASSERT_EQ(::chmod(conf.c_str(), 0640), 0);
  r = flash(dir, {"-f", conf, "-S", "-b", "9600", "--verify"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testsupport::read_file(conf),
            "device=\"/dev/ttyUSB3\"\nbaudrate=\"9600\"\nresetpin=\"5\"\ntestid=\"0x410\"\n"
            "verbose\nverify\nparts=\"my.parts\"\n");
  struct stat st;
  EXPECT_TRUE(::stat(conf.c_str(), &st) == 0 && (st.st_mode & 0777) == 0640);
  testsupport::write_file(conf, "device \"x\n");
  EXPECT_EQ(flash(dir, {"-f", conf, "-S"}).status, 1);
  EXPECT_EQ(testsupport::read_file(conf), "device \"x\n");

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
  none = flash(dir, {"-d", "/dev/null", "--compare", "--read", dir.file("out.bin")});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "--compare needs the firmware file to compare with (--file)\n");

  // The port without -d is not dropped for the default port.
  ProcResult stray = flash(dir, {"-F", sample_hex(), "/dev/ttyUSB0"});
  EXPECT_EQ(stray.status, 1);
  EXPECT_EQ(stray.err, testsupport::flasher_path() + ": unexpected argument '/dev/ttyUSB0'\n");
}

}  // namespace
