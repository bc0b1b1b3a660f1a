// End-to-end tests of the image's way into flash: whole flash words from
// files with gaps, raw binaries placed at the flash start or --address,
// images refused before the port is touched, the read-back, start and
// unprotect requests, the progress display's modes and the flash read into a
// file. The real flasher against the simulated module.
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
#include "images.h"

namespace {

using namespace testsupport;

constexpr uint32_t kFlashStart = 0x08000000;

// A run without lines: the module with sim_args, a firmware file of the
// test's own, the flasher's extra arguments, and what must follow.
struct ImageCase {
  const char *what;
  std::vector<std::string> sim_args;
  std::string file_name;
  std::string content;
  std::vector<std::string> args;
  int status;
  std::function<std::string(const std::string &fn)> err;
  std::vector<Chunk> flash;         // the flash holds these, 0xFF elsewhere (status 0)
  std::vector<std::string> events;  // the module logged these, in this order
};

std::string with_flash(const std::vector<Chunk> &chunks, size_t size) {
  std::string want(size, '\xFF');
  for (const Chunk &c : chunks)
    std::copy(c.bytes.begin(), c.bytes.end(), want.begin() + (c.offset - kFlashStart));
  return want;
}

void check_image_case(const ImageCase &c) {
  SCOPED_TRACE(c.what);
  TempDir dir;
  const std::string fn = dir.file(c.file_name);
  write_file(fn, c.content);
  SimProcess sim(c.sim_args);
  ASSERT_TRUE(sim.ready());
  const ProcResult r = flash_file(dir, sim, fn, c.args);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.err, c.err(fn));
  ASSERT_EQ(sim.stop(), 0);
  if (c.status == 0) {
    EXPECT_EQ(sim.dump(), with_flash(c.flash, sim.dump().size()));
  }
  if (c.status == 255) {
    EXPECT_TRUE(of_kind(sim.log(), "rx").empty());
  }
  if (std::find(c.args.begin(), c.args.end(), "--compare") != c.args.end()) {
    EXPECT_FALSE(has_event(sim, "cmd erase") || has_event(sim, "cmd write"));
  }
  std::vector<std::string> seen;
  for (const auto &e : sim.events())
    if (std::find(c.events.begin(), c.events.end(), e) != c.events.end()) seen.push_back(e);
  EXPECT_EQ(seen, c.events);
}

std::function<std::string(const std::string &)> flashed(int fragments, std::string after = "") {
  return [=](const std::string &fn) { return progress(fn, fragments) + after; };
}
std::function<std::string(const std::string &)> says(std::string text) {
  return [=](const std::string &) { return text; };
}

TEST(FlasherImage, WritesWholeFlashWordsMergedAndPaddedFromAHexFileWithGaps) {
  const std::vector<Chunk> runs = {{kFlashStart, counting(5, 1)},
                                   {kFlashStart + 0x10, counting(7, 0x20)},
                                   {kFlashStart + 0x103, {0xAA}},
                                   {kFlashStart + 0x105, {0xBB, 0xCC}},
                                   {kFlashStart + 0x200, pattern(470, 3)}};
  check_image_case({"8-byte flash words",
                    {"--program-unit", "8"},
                    "gaps.hex",
                    ihex_text(runs),
                    {},
                    0,
                    flashed(5),
                    runs,
                    {"write 08000000 8", "write 08000010 8", "write 08000100 8",
                     "write 08000200 256", "write 08000300 216"}});
}

// Every run asks for the part first: its flash word shapes the writes (a
// write of part of a word would be acknowledged and left unprogrammed), and a
// part that is not in the table gets 32-byte words, the largest of any part.
TEST(FlasherImage, WritesInTheFlashWordsOfThePartThatGetIdNames) {
  const std::vector<Chunk> runs = {{kFlashStart, counting(5, 1)},
                                   {kFlashStart + 0x18, counting(7, 0x20)},
                                   {kFlashStart + 0x103, {0xAA}},
                                   {kFlashStart + 0x200, pattern(470, 3)}};
  const std::string mass = "Mass erase: this can take up to a minute\n";
  const struct {
    const char *what;
    std::vector<std::string> sim_args;
    std::string before;  // what the erase prints
    std::vector<std::string> writes;
  } rows[] = {
      {"U5, 16-byte words",
       {"--part", "0x482"},
       mass,
       {"write 08000000 16", "write 08000010 16", "write 08000100 16", "write 08000200 256",
        "write 08000300 224"}},
      {"H7, 32-byte words",
       {"--part", "0x483"},
       mass,
       {"write 08000000 32", "write 08000100 32", "write 08000200 256", "write 08000300 224"}},
      {"a part not in the table, on 32-byte words",
       {"--id", "0x999", "--program-unit", "32"},
       "",
       {"write 08000000 32", "write 08000100 32", "write 08000200 256", "write 08000300 224"}},
  };
  for (const auto &r : rows) {
    std::vector<std::string> sim_args = r.sim_args;
    sim_args.insert(sim_args.end(), {"--erase-scale", "0"});
    const std::string before = r.before;
    const int fragments = static_cast<int>(r.writes.size());
    check_image_case({r.what,
                      sim_args,
                      "runs.hex",
                      ihex_text(runs),
                      {},
                      0,
                      [=](const std::string &fn) { return before + progress(fn, fragments); },
                      runs,
                      r.writes});
  }
}

TEST(FlasherImage, PlacesARawBinaryAtTheFlashStartOrWhereAddressSays) {
  const std::string raw = sample_bin();
  const Bytes bin(raw.begin(), raw.end());
  // Content that is no Intel HEX is flashed without a word about Intel HEX.
  const auto flashed_raw = flashed(kSampleFragments);
  const ImageCase rows[] = {
      {"flash start",
       {},
       "fw.bin",
       sample_bin(),
       {},
       0,
       flashed_raw,
       {{kFlashStart, bin}},
       {"write 08000000 256"}},
      {"--address",
       {},
       "fw.bin",
       sample_bin(),
       {"--address", "0x08004000"},
       0,
       flashed_raw,
       {{kFlashStart + 0x4000, bin}},
       {"write 08004000 256"}},
      // Data that happen to begin like a record: read as raw binary on request.
      {"':' first, --format=binary",
       {},
       "data.bin",
       ":" + sample_bin(),
       {"--format=binary"},
       0,
       flashed(kSampleFragments),
       {{kFlashStart, cat({':'}, bin)}},
       {"write 08000000 256"}},
      {"'S1' first, --format=binary and --address",
       {},
       "data.bin",
       "S1" + sample_bin(),
       {"--format=binary", "--address", "0x08004000"},
       0,
       flashed(kSampleFragments),
       {{kFlashStart + 0x4000, cat({'S', '1'}, bin)}},
       {"write 08004000 256"}},
      {"a HEX file and --address",
       {},
       "fw.hex",
       read_file(sample_hex()),
       {"--address", "0x08004000"},
       0,
       [](const std::string &fn) {
         return "--address is ignored: " + fn + " carries its own addresses\n" +
                progress(fn, kSampleFragments);
       },
       {{kFlashStart, bin}},
       {"write 08000000 256"}},
  };
  for (const auto &r : rows) check_image_case(r);
}

TEST(FlasherImage, RefusesBytesBelowTheFlashOrSetTwiceDifferentlyBeforeThePort) {
  const ImageCase rows[] = {
      {"HEX at 0",
       {},
       "low.hex",
       ihex_text({{0, {1, 2, 3, 4}}}),
       {},
       255,
       says("Image byte at 0x00000000 lies below the flash at 0x08000000\n"),
       {},
       {}},
      {"raw binary put low",
       {},
       "fw.bin",
       sample_bin(),
       {"--address", "0x100"},
       255,
       says("Image byte at 0x00000100 lies below the flash at 0x08000000\n"),
       {},
       {}},
      {"overlapping records",
       {},
       "clash.hex",
       ihex_text({{kFlashStart, counting(8)}, {kFlashStart + 4, {0x55}}}),
       {},
       255,
       says("Image sets 0x08000004 twice with different values\n"),
       {},
       {}},
      {"the same value twice: one write",
       {},
       "same.hex",
       ihex_text({{kFlashStart, counting(8)}, {kFlashStart + 4, {0x04}}}),
       {},
       0,
       flashed(1),
       {{kFlashStart, counting(8)}},
       {"write 08000000 8"}},
  };
  for (const auto &r : rows) check_image_case(r);
}

TEST(FlasherImage, ShowsProgressAsDotsAsALinePerPercentOrNotAtAll) {
  const std::vector<Chunk> runs = {{kFlashStart, counting(600)}};  // fragments of 256, 256, 88
  const std::string percent =
      "Erasing\nErasing 100%\nWriting 0% (0/600 bytes)\nWriting 42% (256/600 bytes)\nWriting 85% "
      "(512/600 "
      "bytes)\nWriting 100% (600/600 bytes)\nVerifying 0% (0/600 bytes)\nVerifying 42% (256/600 "
      "bytes)\nVerifying 85% (512/600 bytes)\nVerifying 100% (600/600 bytes)\n";
  const ImageCase rows[] = {
      {"dots", {}, "fw.hex", ihex_text(runs), {"--progress=dots"}, 0, flashed(3), runs, {}},
      {"percent",
       {},
       "fw.hex",
       ihex_text(runs),
       {"--progress=percent", "--verify"},
       0,
       says(percent),
       runs,
       {}},
      {"none",
       {},
       "fw.hex",
       ihex_text(runs),
       {"--progress=none", "--verify"},
       0,
       says(""),
       runs,
       {}},
  };
  for (const auto &r : rows) check_image_case(r);
}

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
      says("Can't write the flash to " + fifo + ": no reader opened the FIFO within 1 s\n");
  check_read_case({"nobody reads", {}, {}, 1, unread, false, false}, fifo);
}

TEST(FlasherImage, VerifiesStartsAndUnprotectsOnRequest) {
  const std::string hex = read_file(sample_hex()), raw = sample_bin();
  const Bytes bin(raw.begin(), raw.end());
  // Modules that hold the sample, or the sample with its byte 0x708 changed.
  TempDir held;
  const std::string same = source_dir() + "/examples/sample.bin", other = held.file("other.bin");
  write_file(other, raw.substr(0, 0x708) + "\x5A" + raw.substr(0x709));
  // --compare on a module holding a file, or read-out protected.
  const auto comparing = [&](const char *what, std::vector<std::string> sim, int status,
                             const std::string &after, std::vector<std::string> events) {
    const std::vector<Chunk> flash = {{kFlashStart, bin}};
    const auto err = [=](const std::string &fn) {
      return "Comparing " + fn + after + (status == 3 ? fn + " at 0x08000708\n" : "");
    };
    return ImageCase{what, sim, "fw.hex", hex, {"--compare"}, status, err, flash, events};
  };
  const std::string verified = "Verifying" + progress_dots(kSampleFragments) + "\n\tdone\n";
  const std::string erase_refused =
      "Can't erase device: Invalid argument\nHint: the flash may be read- or write-protected; "
      "--unprotect lifts the protection (read-out protection only with the whole flash)\n";
  const auto unprotected = [](const std::string &fn) {
    return "Device has ID 00000410\n" + std::string(kSimPartLine) +
           "Erase refused: lifting write protection (the flash is kept)\n" +
           progress(fn, kSampleFragments) + "Flashing done\n";
  };
  const ImageCase rows[] = {
      // Each block is read until two reads agree.
      comparing("held", {"--flash-init", same}, 0, progress_dots(kSampleFragments) + "\n\tdone\n",
                {"cmd read 08000000 256", "cmd read 08000000 256", "cmd read 08001700 112",
                 "cmd read 08001700 112"}),
      // Reply bytes: sync 1, Get ID 5 (four times), size refused 2 (thrice), block 3 + 256.
      comparing("held, a reply byte damaged", {"--flash-init", same, "--damage-reply", "35"}, 0,
                progress_dots(kSampleFragments) + "\n\tdone\n",
                {"cmd read 08000000 256", "cmd read 08000000 256", "cmd read 08000000 256"}),
      comparing("different", {"--flash-init", other}, 3,
                progress_dots(8) + "\nThe module's flash differs from ",
                {"cmd read 08000700 256", "cmd read 08000700 256"}),
      comparing("read-out protected", {"--read-protected"}, 2,
                "\n\t.\nCan't read flash: the module is read-out protected (Read Memory "
                "refused)\n",
                {}),
      {"verified",
       {},
       "fw.hex",
       hex,
       {"--verify"},
       0,
       flashed(kSampleFragments, verified),
       {{kFlashStart, bin}},
       {"cmd read 08000000 256"}},
      // 16-byte flash words: the 8-byte write is acknowledged, not programmed.
      {"a word that reads back erased",
       {"--program-unit", "16"},
       "w.hex",
       ihex_text({{kFlashStart + 8, counting(8, 1)}}),
       {"--verify"},
       2,
       flashed(1, "Verifying\n\t.\nVerify failed at 0x08000008\n" + std::string(kIncomplete)),
       {},
       {"unaligned 08000008 8"}},
      {"started without a reset line",
       {},
       "fw.hex",
       hex,
       {"--go"},
       0,
       flashed(kSampleFragments),
       {{kFlashStart, bin}},
       {"go 08000000"}},
      {"already listening",
       {"--already-synced"},
       "fw.hex",
       hex,
       {"-v"},
       0,
       [](const std::string &fn) {
         return "Boot loader already synchronised (left so by an earlier run)\nDevice has ID "
                "00000410\n" +
                std::string(kSimPartLine) + progress(fn, kSampleFragments) + "Flashing done\n";
       },
       {{kFlashStart, bin}},
       {}},
      {"read-protected", {"--read-protected"}, "fw.hex", hex, {}, 2, says(erase_refused), {}, {}},
      {"read-protected, --unprotect",
       {"--read-protected"},
       "fw.hex",
       hex,
       {"--unprotect"},
       0,
       [](const std::string &fn) {
         return "Lifting read-out protection: the module erases its whole flash\n" +
                progress(fn, kSampleFragments);
       },
       {{kFlashStart, bin}},
       {"cmd readout-unprotect"}},
      // Its second answer later than the long budget: probed, not sent again.
      {"read-protected, --unprotect, its erase longer than the budget",
       {"--read-protected", "--extended-erase", "--erase-ms", "1800", "--reset-after-options"},
       "fw.hex",
       hex,
       {"--unprotect"},
       0,
       [](const std::string &fn) {
         return "Lifting read-out protection: the module erases its whole flash\nMass erase: this "
                "can take up to a minute\n" +
                progress(fn, kSampleFragments);
       },
       {{kFlashStart, bin}},
       {"cmd readout-unprotect", "restart boot", "cmd erase mass"}},
      // Write Unprotect restarts only some families: the module is probed.
      {"write-protected, staying synchronised",
       {"--write-protected"},
       "fw.hex",
       hex,
       {"--unprotect", "-v"},
       0,
       unprotected,
       {{kFlashStart, bin}},
       {"cmd write-unprotect", "cmd erase global"}},
      {"write-protected, restarting",
       {"--write-protected", "--reset-after-options"},
       "fw.hex",
       hex,
       {"--unprotect", "-v"},
       0,
       unprotected,
       {{kFlashStart, bin}},
       {"cmd write-unprotect", "restart boot", "cmd erase global"}},
  };
  for (const auto &r : rows) check_image_case(r);
}

// Write protection alone shows as a refused erase: Write Unprotect lifts it
// and keeps the flash, so --erase=image erases only the image's pages.
TEST(FlasherImage, UnprotectLiftsWriteProtectionAloneKeepingTheFlashOutsideTheImage) {
  TempDir dir;
  const std::string old(256 * 1024, '\x5A');
  write_file(dir.file("old.bin"), old);
  SimProcess sim({"--write-protected", "--flash-init", dir.file("old.bin")});
  ASSERT_TRUE(sim.ready());
  const ProcResult r =
      flash(dir, {"-d", sim.tty_path(), "-F", sample_hex(), "--unprotect", "--erase=image"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, progress(sample_hex(), kSampleFragments));
  ASSERT_EQ(sim.stop(), 0);
  // The sample's 6000 bytes in pages of 1 KiB: six pages erased, then written.
  const std::string raw = sample_bin();
  const std::string want = raw + std::string(6 * 1024 - raw.size(), '\xFF') + old.substr(6 * 1024);
  EXPECT_TRUE(sim.dump() == want);
  EXPECT_TRUE(has_event(sim, "cmd write-unprotect"));
  EXPECT_FALSE(has_event(sim, "cmd readout-unprotect"));
}

}  // namespace
