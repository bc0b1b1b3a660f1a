// The table of parts and the erase plans built from it.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "parts.h"

namespace {

constexpr uint32_t kBase = 0x08000000;
constexpr uint32_t KiB = 1024;

TEST(Parts, EveryRowIsWhole) {
  int n = 0;
  const part_info *t = part_table(&n);
  ASSERT_GT(n, 60);
  std::set<uint16_t> seen;
  for (int i = 0; i < n; ++i) {
    const part_info &p = t[i];
    SCOPED_TRACE(p.line);
    EXPECT_TRUE(seen.insert(p.pid).second);
    EXPECT_EQ(part_lookup(p.pid), &p);
    EXPECT_TRUE(p.program_unit == 4 || p.program_unit == 8 || p.program_unit == 16 ||
                p.program_unit == 32);
    EXPECT_TRUE(p.erase_cmd == 0x43 || p.erase_cmd == 0x44);
    if (!p.layout) continue;
    // The layout ends on a page boundary exactly at the largest flash.
    const uint32_t bytes = part_flash_bytes(&p, 0);
    const int pages = part_page_count(&p, bytes);
    uint32_t addr = 0, size = 0;
    ASSERT_EQ(part_page_span(&p, pages - 1, &addr, &size), 0);
    EXPECT_EQ(addr + size, kBase + bytes);
    EXPECT_EQ(part_page_span(&p, pages, &addr, &size), -1);
    // The global erase's page numbers are single bytes.
    EXPECT_TRUE(p.erase_cmd != 0x43 || pages <= 256);
  }
}

TEST(Parts, ImagesArePlannedIntoThePagesTheyTouch) {
  struct Row {
    uint32_t id;
    uint32_t kib_read;  // the flash-size register, 0: not read
    std::vector<part_extent> image;
    std::string pages;  // the plan as ranges; or the first address outside
    uint32_t outside;   // 0: the image fits
    size_t batches;
  };
  const std::vector<Row> rows = {
      {0x410, 0, {{kBase, 6000}}, "0-5", 0, 1},
      {0x410, 64, {{kBase + 1023, 2}, {kBase + 10 * KiB, 1}}, "0-1, 10", 0, 1},
      {0x410, 0, {{kBase + 127 * KiB, 1024}}, "127", 0, 1},
      {0x410, 0, {{kBase + 127 * KiB, 1025}}, "", kBase + 128 * KiB, 0},
      {0x410, 64, {{kBase + 64 * KiB, 1}}, "", kBase + 64 * KiB, 0},
      {0x410, 0xFFFF, {{kBase + 100 * KiB, 1}}, "100", 0, 1},  // erased register
      {0x410, 0, {{0, 16}, {kBase, 16}}, "", 0, 0},            // raw file at 0
      {0x410, 0, {{0x20000000, 16}}, "", 0x20000000, 0},
      {0x410, 0, {{0xFFFFFF00, 0x200}}, "", 0xFFFFFF00, 0},  // wraps
      {0x413, 1024, {{kBase, 64 * KiB}}, "0-3", 0, 1},
      {0x413, 0, {{kBase + 64 * KiB, 1}, {kBase + 128 * KiB, 1}}, "4-5", 0, 1},
      {0x413, 512, {{kBase + 0x7FFFF, 1}}, "7", 0, 1},
      {0x413, 512, {{kBase + 0x80000, 1}}, "", kBase + 0x80000, 0},
      {0x413, 320, {{kBase + 0x50000, 1}}, "6", 0, 1},    // no whole sectors: the table's
      {0x460, 63, {{kBase + 100 * KiB, 1}}, "50", 0, 1},  // no whole 2 KiB pages
      {0x419, 0, {{kBase + 0x100000, 16 * KiB + 1}}, "12-13", 0, 1},  // bank 2
      {0x419, 1024, {{kBase + 0xF0000, 1}}, "11", 0, 1},
      {0x450, 0, {{kBase + 0x100000, 32}}, "8", 0, 1},
      {0x417, 0, {{kBase, 64 * KiB}}, "0-511", 0, 1},
      {0x447, 0, {{kBase, 192 * KiB}}, "0-1535", 0, 3},
      {0x414, 0, {{kBase, 512 * KiB}}, "0-255", 0, 2},  // 0x43: 255 to a list
  };
  for (const Row &r : rows) {
    const part_info *p = part_lookup(r.id);
    ASSERT_NE(p, nullptr) << std::hex << r.id;
    std::vector<uint16_t> pages;
    uint32_t outside = 0;
    const int rc = part_plan_pages(p, part_flash_bytes(p, r.kib_read), r.image, &pages, &outside);
    SCOPED_TRACE(testing::Message() << std::hex << r.id << " " << r.image[0].addr);
    if (r.outside || r.pages.empty()) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(errno, ERANGE);
      EXPECT_EQ(outside, r.outside);
      continue;
    }
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(part_ranges_text(pages), r.pages);
    EXPECT_EQ(part_erase_batches(p->erase_cmd, pages).size(), r.batches);
  }
}

TEST(Parts, LookupDescribeAndWaitFollowTheTable) {
  EXPECT_EQ(part_lookup(0x999), nullptr);
  EXPECT_EQ(part_lookup(0x80000410), nullptr);
  const part_info *f4 = part_lookup(0x413);
  EXPECT_EQ(part_describe(f4, 1024 * KiB),
            "F4 F405/407/415/417: 1024 KiB flash, sectors 4x16+1x64+7x128 KiB");
  EXPECT_EQ(part_describe(part_lookup(0x410), 64 * KiB),
            "F1 medium-density: 64 KiB flash, 64 pages of 1 KiB");
  EXPECT_EQ(part_describe(part_lookup(0x417), 64 * KiB),
            "L0 L05x/L06x: 64 KiB flash, 512 pages of 128 B");
  EXPECT_EQ(part_describe(part_lookup(0x474), 0),
            "H5 H503: flash size not known, erase layout not known");
  // Four 16 KiB sectors may take 800 ms each; a 128 KiB one 4 s and more.
  EXPECT_GE(part_erase_ms(f4, {0, 1, 2, 3}), 4 * 800);
  EXPECT_GE(part_erase_ms(f4, {5}), 4000);
  EXPECT_LT(part_erase_ms(f4, {5}), 9000);
  // The whole flash: 1 MiB of F4 byte by byte in up to 32 s, 64 G0 pages
  // of 40 ms; no figure for L5.
  EXPECT_GE(part_mass_erase_ms(f4, 1024 * KiB), 32000);
  EXPECT_EQ(part_mass_erase_ms(part_lookup(0x460), 128 * KiB), 2560);
  EXPECT_EQ(part_mass_erase_ms(part_lookup(0x472), 512 * KiB), 0);
  // The register is read directly, or inside a larger block.
  const unsigned char two[] = {0x00, 0x04};
  EXPECT_EQ(part_fsize_value(part_lookup(0x410), 0x1FFFF7E0, two, 2), 1024u);
  std::vector<unsigned char> block(256, 0);
  block[0x22] = 0x00;
  block[0x23] = 0x02;
  EXPECT_EQ(part_fsize_value(f4, 0x1FFF7A00, block.data(), 256), 512u);
  EXPECT_EQ(part_fsize_value(f4, 0x1FFF7A00, block.data(), 0x23), 0u);
  EXPECT_EQ(part_fsize_value(part_lookup(0x450), 0x1FF1E880, two, 2), 0u);
}

}  // namespace
