// End-to-end tests of the image's way into flash: whole flash words from
// files with gaps, raw binaries placed at the flash start or --address,
// images refused before the port is touched, and the progress display's
// modes. The real flasher against the simulated module.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flasher.h"
#include "image_runs.h"
#include "images.h"

namespace {

using namespace testsupport;

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

}  // namespace
