// The erase step end to end: the real flasher against simulated modules of
// several parts, each with data of its own in flash outside the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "flasher.h"
#include "images.h"
#include "parts.h"

namespace {

using namespace testsupport;

constexpr uint32_t kBase = 0x08000000;
const char kMarker[] = "calibration";

struct EraseCase {
  const char *what;
  std::vector<std::string> sim;      // the module's part and faults
  std::vector<std::string> flasher;  // besides port, lines and file
  std::vector<Chunk> image;          // empty: the sample firmware
  uint32_t marker;                   // where the module keeps data of its own
  int status;
  std::string err;     // standard error; "{flashed}": the image's progress display
  std::string erased;  // the pages the module erased, as ranges; "": none
  bool marker_kept;
};

// The pages of every page erase the module logged.
std::string pages_erased(const SimProcess &sim) {
  std::vector<uint16_t> pages;
  for (const std::string &e : sim.events()) {
    if (e.rfind("cmd erase pages ", 0) != 0) continue;
    std::istringstream in(e.substr(16));
    for (unsigned p; in >> p;) pages.push_back(static_cast<uint16_t>(p));
  }
  return part_ranges_text(pages);
}

void check_erase_case(const EraseCase &c) {
  SCOPED_TRACE(c.what);
  TempDir dir;
  std::string flash_init(c.marker + sizeof kMarker, '\xff');
  flash_init.replace(c.marker, sizeof kMarker, kMarker, sizeof kMarker);
  write_file(dir.file("init.bin"), flash_init);
  std::vector<std::string> sim_args = c.sim;
  sim_args.insert(sim_args.end(), {"--flash-init", dir.file("init.bin")});
  WiredModule m(sim_args);
  ASSERT_TRUE(m.sim.ready());
  std::string file = sample_hex();
  int fragments = kSampleFragments;
  if (!c.image.empty()) {
    file = dir.file("image.hex");
    write_file(file, ihex_text(c.image));
    fragments = static_cast<int>(c.image.size());
  }
  std::vector<std::string> args = {"-d", m.sim.tty_path(), "-r", kResetPin,
                                   "-s", kBootPin,         "-F", file};
  args.insert(args.end(), c.flasher.begin(), c.flasher.end());
  const ProcResult r = flash(dir, args, m.sysfs.path());
  std::string err = c.err;
  const size_t at = err.find("{flashed}");
  if (at != std::string::npos) err.replace(at, 9, progress(file, fragments));
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.err, err);
  ASSERT_EQ(m.sim.stop(), 0);
  EXPECT_EQ(last_line_changes(m.sim, 5), release_sequence());
  EXPECT_EQ(pages_erased(m.sim), c.erased);
  const std::string flash = m.sim.dump();
  EXPECT_EQ(flash.compare(c.marker, sizeof kMarker, kMarker, sizeof kMarker) == 0, c.marker_kept);
  if (c.status != 0) return;
  const std::string sample = sample_bin();
  const std::vector<Chunk> image =
      c.image.empty() ? std::vector<Chunk>{{kBase, Bytes(sample.begin(), sample.end())}} : c.image;
  for (const Chunk &k : image)
    EXPECT_EQ(flash.substr(k.offset - kBase, k.bytes.size()),
              std::string(k.bytes.begin(), k.bytes.end()))
        << std::hex << k.offset;
}

TEST(Erase, OnlyThePagesTheImageTouchesAreErasedAndAnImageThatDoesNotFitIsRefused) {
  const std::vector<std::string> image_only = {"--erase=image"};
  const std::string f1 = "Part F1 medium-density: 128 KiB flash, 128 pages of 1 KiB\n";
  const std::vector<Chunk> too_big = {{kBase + 0x7F00, pattern(0x200, 1)}};
  const std::string too_big_err =
      "Image does not fit part 0x412: address 0x08008000 is outside its flash "
      "(0x08000000-0x08007FFF)\n";
  const EraseCase cases[] = {
      {"a page family",
       {"--part", "0x410", "--erase-scale", "0"},
       image_only,
       {},
       0x1800,
       0,
       "{flashed}",
       "0-5",
       true},
      {"a page family, verbose",
       {"--part", "0x410", "--erase-scale", "0"},
       {"--erase=image", "-v"},
       {},
       0x1770,
       0,
       "Device has ID 00000410\n" + f1 + "Erasing pages 0-5\n{flashed}Flashing done\n",
       "0-5",
       false},
      {"a sector family",
       {"--part", "0x413", "--erase-scale", "0.01", "--boot-ms", "1"},
       {"--erase=image", "-v"},
       {},
       0x4000,
       0,
       "Device has ID 00000413\nPart F4 F405/407/415/417: 1024 KiB flash, sectors "
       "4x16+1x64+7x128 KiB\nErasing pages 0\n{flashed}Flashing done\n",
       "0",
       true},
      {"a sector family, the flash size read from the module",
       {"--part", "0x413", "--flash-size", "0x80000", "--boot-ms", "1"},
       {"-i", "0x413", "-v"},
       {{kBase + 0x7FF00, pattern(0x200, 4)}},
       0x100,
       2,
       "Device has ID 00000413\nPart F4 F405/407/415/417: 512 KiB flash, sectors "
       "4x16+1x64+3x128 KiB\nImage does not fit part 0x413: address 0x08080000 is outside its "
       "flash (0x08000000-0x0807FFFF)\n",
       "",
       true},
      // Known from Get ID: no mass erase is tried.
      {"a part without a mass erase, whole flash",
       {"--part", "0x417", "--erase-scale", "0"},
       {},
       {},
       0x8000,
       0,
       "{flashed}",
       "0-511",
       false},
      // Reply bytes from the sync's answer: Get ID twice 5, then each read of
      // the register's block 3 and 128, the value at 124. 0x00BF read as
      // 0x00BE and 0x01BF: no two reads agree, and the table's 192 KiB stands.
      // Its end a page list's few halvings away: each refused list is tried
      // three times.
      {"a part without a mass erase, its flash size in doubt",
       {"--part", "0x447", "--flash-size", "195584", "--erase-scale", "0", "--damage-reply", "139",
        "--damage-reply", "271"},
       {"-v"},
       {},
       0x8000,
       0,
       "Device has ID 00000447\nPart L0 L07x/L08x: 192 KiB flash, 1536 pages of 128 B\nErasing "
       "pages 0-1535\nPages 1528-1535 refused: past the end of the flash\n{flashed}Flashing done\n",
       "0-1527",
       false},
      {"32-byte flash words, runs ending off them",
       {"--part", "0x450", "--erase-scale", "0.001"},
       image_only,
       {{kBase, pattern(100, 2)}, {kBase + 0x20010, pattern(37, 3)}},
       0x40000,
       0,
       "{flashed}",
       "0-1",
       true},
      {"larger than the flash",
       {"--part", "0x412"},
       image_only,
       too_big,
       0x100,
       2,
       too_big_err,
       "",
       true},
      // Known from Get ID on every run: refused before the erase.
      {"larger than the flash, a plain run",
       {"--part", "0x412"},
       {},
       too_big,
       0x100,
       2,
       too_big_err,
       "",
       true},
      {"larger than the flash, identifier tested",
       {"--part", "0x412"},
       {"-i", "0x412"},
       too_big,
       0x100,
       2,
       too_big_err,
       "",
       true},
      // An F401 whose first identifier (reply byte 6) reads as an F3's (2 KiB pages).
      {"a damaged identifier read again",
       {"--part", "0x423", "--damage-reply", "6", "--erase-scale", "0.01", "--boot-ms", "1"},
       image_only,
       {},
       0x4000,
       0,
       "{flashed}",
       "0",
       true},
      {"an unknown part",
       {"--id", "0x999"},
       image_only,
       {},
       0x1800,
       2,
       "Unknown part 0x999: --erase=image needs its page layout\n",
       "",
       true},
  };
  for (const EraseCase &c : cases) check_erase_case(c);
}

// Where the layout follows an option bit, the bit is read before a page list
// and the list planned by its layout, or refused with nothing erased; a
// parts file's row stands in place of the table's, layout and flash size.
TEST(Erase, APageListFollowsTheLayoutOfItsOptionBitOrOfItsPartsFileRow) {
  const std::vector<std::string> image_only = {"--erase=image"};
  const std::vector<Chunk> too_big = {{kBase + 0x7F00, pattern(0x200, 1)}};
  const std::string g4 = "Part G4 G471/473/474/483/484: 512 KiB flash, 256 pages of 2 KiB\n";
  const std::string nothing = "nothing was erased, --erase=all works\n";
  const std::string parts = source_dir() + "/tests/fixtures/parts/test.parts";
  const EraseCase cases[] = {
      {"a C0, its layout from the table",
       {"--part", "0x453", "--option-word", "0xFEFFFEAA", "--boot-ms", "1"},
       image_only,
       {},
       0x1800,
       0,
       "{flashed}",
       "0-2",
       true},
      // The option bit read before the list: 4 KiB pages, not 2 KiB.
      {"G4 with DBANK cleared",
       {"--part", "0x469", "--dual-bank", "0"},
       {"--erase=image", "-v"},
       {},
       0x2000,
       0,
       "Device has ID 00000469\n" + g4 + "Layout by DBANK = 0: 128 pages of 4 KiB\n" +
           "Erasing pages 0-1\n{flashed}Flashing done\n",
       "0-1",
       true},
      {"G4 with DBANK cleared, the mass erase refused",
       {"--part", "0x469", "--dual-bank", "0", "--no-mass-erase", "--erase-scale", "0"},
       {},
       {},
       0x2000,
       0,
       "Mass erase: this can take up to a minute\n{flashed}",
       "0-127",
       false},
      {"G4 of 256 KiB in two banks: bank 2's numbers not known",
       {"--part", "0x469", "--flash-size", "0x40000"},
       image_only,
       {{kBase + 0x40000, pattern(16, 5)}},
       0x100,
       2,
       "Can't plan the pages of the G4 G471/473/474/483/484: the list reaches into bank 2 "
       "(0x08040000), whose page numbers in the erase command are not known; " +
           nothing,
       "",
       true},
      {"F4 of 1 MiB, DB1M set",
       {"--part", "0x419", "--flash-size", "0x100000", "--dual-bank", "1", "--erase-scale", "0",
        "--boot-ms", "1"},
       {"--erase=image", "-v"},
       {},
       0x4000,
       0,
       "Device has ID 00000419\nPart F4 F427/429/437/439: 1024 KiB flash, sectors "
       "4x16+1x64+7x128 KiB\nLayout by DB1M = 1: sectors 4x16+1x64+3x128 KiB, bank 2 at 0x08080000 "
       "(page numbers not known)\nErasing pages 0\n{flashed}Flashing done\n",
       "0",
       true},
      {"F4 of 1 MiB, its option halfword failing its complement",
       {"--part", "0x419", "--flash-size", "0x100000", "--bad-option-complement", "--boot-ms", "1"},
       image_only,
       {},
       0x4000,
       2,
       "Can't plan the pages of the F4 F427/429/437/439: its option bit DB1M at 0x1FFFC008 does "
       "not match its complement; " +
           nothing,
       "",
       true},
      {"L5: where its option bit is shown not known",
       {"--part", "0x472"},
       image_only,
       {},
       0x1800,
       2,
       "Can't plan the pages of the L5 L552/562: its layout follows its option bit DBANK, which "
       "the boot loader shows nowhere known; " +
           nothing,
       "",
       true},
      // Rows of a parts file: an ID the table lacks (its register refused:
      // the row's size stands), and one in place of a layout by DBANK.
      {"a part from a parts file",
       {"--part", "0x410", "--id", "0x4F0", "--erase-scale", "0"},
       {"--erase=image", "-v", "--parts=" + parts},
       {},
       0x1800,
       0,
       "Device has ID 000004F0\nPart Custom board: 128 KiB flash, 128 pages of 1 KiB (from " +
           parts + ":3)\nErasing pages 0-5\n{flashed}Flashing done\n",
       "0-5",
       true},
      {"larger than a parts file's flash",
       {"--part", "0x410", "--id", "0x4F1"},
       {"--parts=" + parts},
       too_big,
       0x100,
       2,
       "Image does not fit part 0x4F1: address 0x08008000 is outside its flash "
       "(0x08000000-0x08007FFF)\n",
       "",
       true},
      {"G4 from a parts file: no option bit read",
       {"--part", "0x469", "--dual-bank", "0"},
       {"--erase=image", "-v", "--parts=" + parts},
       {},
       0x2000,
       0,
       "Device has ID 00000469\nPart G4 one bank: 512 KiB flash, 128 pages of 4 KiB (from " +
           parts + ":5)\nErasing pages 0-1\n{flashed}Flashing done\n",
       "0-1",
       true},
  };
  for (const EraseCase &c : cases) check_erase_case(c);
}

// A part the table marks for the extended erase gets it directly: no 0x43
// pair is refused first, and a clean run, which met no fault of the line,
// reads nothing back. Get ID and Get are asked twice, as is an L4's option
// word, until two replies agree, before the erase.
TEST(Erase, APartOfTheExtendedEraseIsMassErasedDirectlyAndNothingIsReadBack) {
  for (const char *part : {"0x413", "0x415", "0x450"}) {
    SCOPED_TRACE(part);
    const bool l4 = std::string(part) == "0x415";
    TempDir dir;
    WiredModule m({"--part", part, "--erase-scale", "0", "--boot-ms", "1"});
    ASSERT_TRUE(m.sim.ready());
    const ProcResult r = flash(dir, m.args(), m.sysfs.path());
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(m.sim.stop(), 0);
    const auto rx = rests(of_kind(m.sim.log(), "rx"));
    std::vector<std::string> want = {"7f",    "02 fd", "02 fd",    "00 ff",
                                     "00 ff", "44 bb", "ff ff 00", "31 ce"};
    for (int i = 0; l4 && i < 2; ++i)
      want.insert(want.begin() + 3, {"11 ee", "1f ff 78 00 98", "07 f8"});
    ASSERT_GE(rx.size(), want.size());
    EXPECT_EQ(std::vector<std::string>(rx.begin(), rx.begin() + want.size()), want);
    EXPECT_EQ(std::count(rx.begin(), rx.end(), "43 bc"), 0);
    EXPECT_EQ(std::count(rx.begin(), rx.end(), "11 ee"), l4 ? 2 : 0);
    EXPECT_EQ(m.sim.dump().substr(0, 6000), sample_bin());
  }
}

}  // namespace
