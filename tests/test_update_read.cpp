// End-to-end tests of the flash read into a file (--read, with --range and
// --verify): files written whole or not at all, standard output, links and
// FIFOs, and the flash sizes the run reads. The real flasher against the
// simulated module.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "flasher.h"
#include "image_runs.h"
#include "images.h"

namespace {

using namespace testsupport;

std::vector<std::string> files_in(const std::string &path) {
  std::vector<std::string> names;
  DIR *d = ::opendir(path.c_str());
  while (const dirent *e = d ? ::readdir(d) : nullptr)
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  if (d) ::closedir(d);
  return names;
}

// A run with --read: the module's flash preloaded with a pattern, the file
// it is read into, and what follows.
struct ReadCase {
  const char *what;
  std::vector<std::string> sim_args;
  std::vector<std::string> args;  // besides the port and --read
  int status;
  std::function<std::string(const std::string &out)> err;
  bool read;                   // the file holds the flash as it was, else what it held before
  bool written;                // the module holds the sample afterwards, else its old flash
  std::string part = "0x410";  // the module's part, with a readable flash-size register
  int kib = 128;               // its flash
  size_t from = 0, len = 0;    // the part of the flash the file holds (len 0: all of it)
};

// out "-": standard output, which must then hold the flash alone; a FIFO:
// read by a reader of its own where the case reads the flash, else by none.
void check_read_case(const ReadCase &c, const std::string &out) {
  SCOPED_TRACE(c.what + (" into " + out));
  TempDir dir;
  const Bytes before = pattern(c.kib * 1024, 7);
  write_file(dir.file("init.bin"), std::string(before.begin(), before.end()));
  std::vector<std::string> sim_args = {"--part",       c.part,
                                       "--flash-init", dir.file("init.bin"),
                                       "--flash-size", std::to_string(c.kib * 1024)};
  sim_args.insert(sim_args.end(), c.sim_args.begin(), c.sim_args.end());
  SimProcess sim(sim_args);
  ASSERT_TRUE(sim.ready());
  const std::string earlier = "an earlier backup";
  struct stat st;
  const bool fifo = ::stat(out.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
  if (!fifo && ::access(out.c_str(), F_OK) == 0) write_file(out, earlier);
  std::string piped;
  std::thread reader;
  if (fifo && c.read) reader = std::thread([&] { piped = read_file(out); });
  std::vector<std::string> args = {"-d", sim.tty_path(), "--read", out};
  args.insert(args.end(), c.args.begin(), c.args.end());
  const ProcResult r = flash(dir, args);
  if (reader.joinable()) reader.join();
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.err, c.err(out));
  EXPECT_TRUE(r.out == (out == "-" ? std::string(before.begin(), before.end()) : ""));
  ASSERT_EQ(sim.stop(), 0);
  if (c.read && out != "-") {
    const size_t len = c.len > 0 ? c.len : before.size();
    EXPECT_EQ(fifo ? piped : read_file(out),
              std::string(before.begin() + c.from, before.begin() + c.from + len));
  } else if (!fifo && ::access(out.c_str(), F_OK) == 0) {
    EXPECT_EQ(read_file(out), earlier) << "a failed read leaves the file as it was";
  }
  const std::string raw = sample_bin();
  const Bytes sample(raw.begin(), raw.end());
  const std::string want = c.written ? with_flash({{kFlashStart, sample}}, before.size())
                                     : std::string(before.begin(), before.end());
  if (c.status != 255 && c.status != 1) {
    EXPECT_EQ(sim.dump(), want);
  } else {
    EXPECT_TRUE(of_kind(sim.log(), "rx").empty());
  }
  EXPECT_EQ(has_event(sim, "erase"), c.written);
  // Every damaged reply byte hit the run.
  const auto events = sim.events();
  EXPECT_EQ(
      std::count_if(events.begin(), events.end(),
                    [](const std::string &e) { return e.rfind("line damaged reply", 0) == 0; }),
      std::count(c.sim_args.begin(), c.sim_args.end(), "--damage-reply"));
}

TEST(FlasherImage, ReadsTheWholeFlashIntoAFileBeforeAnyUpdate) {
  const auto reading = [](const std::string &out) {
    return "Reading " + out + progress_dots(512) + "\n\tdone\n";
  };
  TempDir dir;
  const std::string parts = source_dir() + "/tests/fixtures/parts/test.parts";
  // --range on a module of kib KiB; the file holds len bytes from 0x100 (0: nothing read).
  const auto ranged = [](const char *what, std::vector<std::string> sim,
                         std::vector<std::string> args, int status, const std::string &err, int kib,
                         size_t len) {
    return ReadCase{what,    sim,   args,    status, says(err),
                    len > 0, false, "0x410", kib,    len > 0 ? 0x100u : 0u,
                    len};
  };
  const ReadCase rows[] = {
      {"alone", {}, {}, 0, reading, true, false},
      {"alone, without a display", {}, {"--progress=none"}, 0, says(""), true, false},
      {"--showid",
       {},
       {"--showid"},
       0,
       says("--read is ignored: --showid only shows the identifier\nDevice has ID 00000410\n"),
       false,
       false},
      {"then the sample flashed",
       {},
       {"-F", sample_hex()},
       0,
       [&](const std::string &out) { return reading(out) + progress(sample_hex(), 24); },
       true,
       true},
      {"read-out protected",
       {"--read-protected"},
       {"-F", sample_hex()},
       2,
       [](const std::string &out) {
         return "Reading " + out +
                "\n\t.\nCan't read flash: the module is read-out protected (Read Memory "
                "refused)\n";
       },
       false,
       false},
      {"an F7 with a quarter of the table's flash: its register read",
       {},
       {},
       0,
       reading,
       true,
       false,
       "0x452"},
      {"a part whose flash size is not known",
       {"--id", "0x999"},
       {},
       2,
       says("Can't read flash: the size of part 0x999's flash is not known\n"),
       false,
       false},
      // A parts file's row for an ID the table lacks (its register refused:
      // the row's size stands), and in place of a row without a layout.
      {"a part from a parts file", {"--id", "0x4F0"}, {"--parts", parts}, 0, reading, true, false},
      {"a row of a parts file in the table's place",
       {"--id", "0x474"},
       {"--parts", parts},
       0,
       reading,
       true,
       false},
      // Reply bytes counted from the sync's answer: Get ID twice 5, each read
      // of the flash-size register 5 (the value in its last two), each read of
      // a block 3 and 256.
      {"--verify, a flash byte damaged in a reply",
       {"--damage-reply", "105"},
       {"--verify"},
       0,
       reading,
       true,
       false},
      {"--verify, every read of a block damaged",
       {"--damage-reply", "25", "--damage-reply", "285", "--damage-reply", "545"},
       {"--verify"},
       2,
       [](const std::string &out) {
         return "Reading " + out + "\n\t.\nCan't read flash at 0x08000000: the reads disagree\n";
       },
       false,
       false},
      {"a damaged flash-size reply", {"--damage-reply", "15"}, {}, 0, reading, true, false},
      {"flash-size replies that disagree",
       {"--damage-reply", "15", "--damage-reply", "21"},
       {},
       2,
       says("Can't read flash: the flash-size register at 0x1FFFF7E0 gave no size the part can "
            "have\n"),
       false,
       false},
      // 0x0180 damaged into 0x0080 would be a flash of 128 KiB.
      {"an L4 of 384 KiB, a damaged flash-size reply",
       {"--damage-reply", "16"},
       {"--progress=none"},
       0,
       says(""),
       true,
       false,
       "0x415",
       384},
      // Reply bytes from the sync's answer: Get ID 5, the register 5, then the
      // first block read 3 and 256.
      ranged("a range, --verify, a byte damaged in a reply", {"--damage-reply", "20"},
             {"--range=0x08000100:1K", "--verify"}, 0,
             "Reading " + dir.file("flash.bin") + progress_dots(4) + "\n\tdone\n", 128, 1024),
      ranged("a range past the flash of the part --testid names", {},
             {"--range=0x0801FF00:512", "-i", "0x410"}, 1,
             "--range 0x0801FF00:512 is outside the flash of part 0x410 (0x08000000-0x0801FFFF)\n",
             128, 0),
      // The register says 64 KiB: the range lies outside once it is read.
      ranged("a range past the flash the module has", {}, {"--range=0x08010000:1K"}, 2,
             "--range 0x08010000:1K is outside the flash of part 0x410 (0x08000000-0x0800FFFF)\n",
             64, 0),
      {"the firmware file itself",
       {},
       {"-F", dir.file("./flash.bin")},
       1,
       says("--read names the firmware file " + dir.file("./flash.bin") +
            ": the backup would replace it\n"),
       false,
       false},
  };
  for (const auto &r : rows) check_read_case(r, dir.file("flash.bin"));
  EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"flash.bin"}) << "no temporary left";
  check_read_case(
      {"a directory that does not exist",
       {},
       {},
       255,
       [](const std::string &out) { return "Can't open " + out + ": No such file or directory\n"; },
       false,
       false},
      dir.file("absent/flash.bin"));
  // A chain of links is written through to the file at its end, in another
  // directory, and the links stay links.
  ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("sub/real.bin", dir.file("link1").c_str()), 0);
  ASSERT_EQ(::symlink("link1", dir.file("link2").c_str()), 0);
  check_read_case(rows[0], dir.file("link2"));
  struct stat st;
  EXPECT_TRUE(::lstat(dir.file("link2").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  EXPECT_EQ(files_in(dir.file("sub")), std::vector<std::string>{"real.bin"});
  check_read_case(rows[3], "-");
  // A FIFO is opened before the port: its reader gets the flash; without
  // one the run ends after a bounded wait, before the module is touched.
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  check_read_case(rows[0], fifo);
  const auto unread =
      says("Can't write the flash to " + fifo + ": no reader opened the FIFO within 0.3 s\n");
  check_read_case({"nobody reads", {}, {}, 1, unread, false, false}, fifo);
}

}  // namespace
