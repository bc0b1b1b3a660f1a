// End-to-end tests of the requests around an image: --compare, the
// read-back (--verify), the start (--go), a boot loader already listening,
// and the unprotect of read-out and write protection. The real flasher
// against the simulated module.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flasher.h"
#include "image_runs.h"
#include "images.h"

namespace {

using namespace testsupport;

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
      // The budget shortened to 600 ms: the unprotect and the mass erase after
      // it are each waited for 800 ms.
      {"read-protected, --unprotect, its erase longer than the budget",
       {"--read-protected", "--extended-erase", "--erase-ms", "800", "--reset-after-options"},
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
       {"cmd readout-unprotect", "restart boot", "cmd erase mass"},
       "wait=" + std::to_string(kRunWaitMs) + ",long=600"},
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
