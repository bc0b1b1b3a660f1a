// End to end: the configuration file saved from the command line, read
// under it, and its errors.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "flasher.h"
#include "option_runs.h"

namespace {

using namespace testsupport;

// A file that exists keeps its options, the command line's in their place,
// and its mode; it is replaced whole, so nothing is left beside it.
TEST(Flasher, SavesTheCommandLineWithoutFileOrPort) {
  TempDir dir;
  const std::string conf = dir.file("saved.conf"), held = dir.file("held.conf"),
                    nodir = dir.file("no/such/dir.conf");
  const std::string kept = "# line 3\ndevice = /dev/ttyS2\nbaudrate 57600\nresetpin=17\nverify\n";
  const struct {
    std::string path, before;  // before: the file's content, empty: none
    std::vector<std::string> args;
    int status;
    std::string err, after;
  } rows[] = {
      {conf,
       "",
       {"-d", "/dev/ttyUSB3", "-b", "57600", "-r", "5", "-vS", "--conffile=" + conf, "-i", "0x410"},
       0,
       "Configuration saved to " + conf + "\n",
       "device=\"/dev/ttyUSB3\"\nbaudrate=\"57600\"\nresetpin=\"5\"\ntestid=\"0x410\"\n"
       "verbose\n"},
      {nodir,
       "",
       {"-S", "-f", nodir},
       1,
       "tarvion_update: cannot open file for writing: " + nodir + "\n",
       ""},
      {held,
       kept,
       {"-f", held, "-S", "--testid", "0x410", "-b", "9600"},
       0,
       "Configuration saved to " + held + "\n",
       "device=\"/dev/ttyS2\"\nbaudrate=\"9600\"\nresetpin=\"17\"\ntestid=\"0x410\"\nverify\n"},
      // A file the reader refuses is left as it was.
      {held,
       "device \"/dev/ttyS2\n",
       {"-f", held, "-S", "-v"},
       1,
       "tarvion_update:" + held + ":1: unterminated string in configuration file\n",
       "device \"/dev/ttyS2\n"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.args.back());
    if (!r.before.empty()) {
      testsupport::write_file(r.path, r.before);
      ASSERT_EQ(::chmod(r.path.c_str(), 0640), 0);
    }
    const ProcResult p = flash(dir, r.args);
    EXPECT_EQ(p.status, r.status);
    EXPECT_EQ(p.err, r.err);
    if (r.status == 0 || !r.before.empty()) {
      EXPECT_EQ(testsupport::read_file(r.path), r.after);
    }
    struct stat st;
    if (!r.before.empty() && ::stat(r.path.c_str(), &st) == 0) {
      EXPECT_EQ(st.st_mode & 0777, 0640u);
    }
  }
  std::vector<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(dir.path()))
    names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"held.conf", "saved.conf"})) << "nothing beside";
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
