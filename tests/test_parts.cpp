// The table of parts and the erase plans built from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "flasher.h"
#include "part_layouts.h"
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
    int bit = -1;        // the option bit's value; -1: the table's layout
    bool bank2 = false;  // outside: the first address in a bank 2 not numbered
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
      // Layouts by an option bit: G4 DBANK, L4+ DBANK, F4 DB1M, F7 nDBANK;
      // H7 of 1 MiB by its size.
      {0x469, 512, {{kBase, 6000}}, "0-2", 0, 1, 1},
      {0x469, 512, {{kBase, 6000}}, "0-1", 0, 1, 0},
      {0x469, 512, {{kBase + 0x40000, 1}}, "128", 0, 1, 1},
      {0x469, 256, {{kBase + 0x3F000, 1}}, "63", 0, 1, 0},
      {0x469, 256, {{kBase + 0x1F000, 0x2000}}, "", kBase + 0x20000, 0, 1},  // the hole
      {0x469, 256, {{kBase + 0x40000, 1}}, "", kBase + 0x40000, 0, 1, true},
      {0x469, 128, {{kBase + 0x4FFFF, 1}}, "", kBase + 0x4FFFF, 0, 1, true},
      {0x470, 2048, {{kBase + 0x100000, 1}}, "256", 0, 1, 1},
      {0x470, 2048, {{kBase + 0x100000, 1}}, "128", 0, 1, 0},
      {0x471, 512, {{kBase + 0x7E000, 1}}, "63", 0, 1, 0},
      {0x419, 1024, {{kBase + 0x80000, 1}}, "8", 0, 1, 0},
      {0x419, 1024, {{kBase + 0x60000, 1}}, "7", 0, 1, 1},
      {0x434, 1024, {{kBase + 0x7FFFF, 2}}, "", kBase + 0x80000, 0, 1, true},
      {0x451, 2048, {{kBase + 0x100000, 1}}, "8", 0, 1, 1},
      {0x451, 2048, {{kBase + 0x100000, 1}}, "12", 0, 1, 0},
      {0x451, 1024, {{kBase + 0x60000, 1}}, "7", 0, 1, 0},
      {0x451, 1024, {{kBase + 0x80000, 1}}, "", kBase + 0x80000, 0, 0, true},
      {0x450, 1024, {{kBase + 0x7FFFF, 1}}, "3", 0, 1, 1},
      {0x450, 1024, {{kBase + 0x80000, 1}}, "", kBase + 0x80000, 0, 1},
      {0x450, 1024, {{kBase + 0x100000, 1}}, "", kBase + 0x100000, 0, 1, true},
  };
  for (const Row &r : rows) {
    const part_info *p = part_lookup(r.id);
    ASSERT_NE(p, nullptr) << std::hex << r.id;
    const uint32_t bytes = part_flash_bytes(p, r.kib_read);
    const part_layout_rule *rule = part_layout_rule_for(p, bytes);
    part_layout l = {p->layout, p->runs, 0, 0};
    if (r.bit >= 0) {
      ASSERT_NE(rule, nullptr) << std::hex << r.id;
      l = r.bit || rule->place == PART_BIT_NONE ? rule->set : rule->clear;
    }
    std::vector<uint16_t> pages;
    uint32_t outside = 0;
    const int rc = part_layout_plan(*p, l, bytes, r.image, false, &pages, &outside);
    SCOPED_TRACE(testing::Message() << std::hex << r.id << " " << r.image[0].addr);
    if (r.outside || r.pages.empty()) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(errno, r.bank2 ? ENOTSUP : ERANGE);
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
  // Each part at its largest flash unless a size is given (C0, U0, U3, WBA:
  // the largest flash and page size per ID that the peers' tables give).
  const struct {
    uint32_t id, kib;
    const char *text;
  } described[] = {
      {0x413, 1024, "F4 F405/407/415/417: 1024 KiB flash, sectors 4x16+1x64+7x128 KiB"},
      {0x410, 64, "F1 medium-density: 64 KiB flash, 64 pages of 1 KiB"},
      {0x417, 64, "L0 L05x/L06x: 64 KiB flash, 512 pages of 128 B"},
      {0x474, 0, "H5 H503: flash size not known, erase layout not known"},
      {0x443, 0, "C0 C011: 32 KiB flash, 16 pages of 2 KiB"},
      {0x453, 0, "C0 C031: 32 KiB flash, 16 pages of 2 KiB"},
      {0x44C, 0, "C0 C051: 64 KiB flash, 32 pages of 2 KiB"},
      {0x493, 0, "C0 C071: 128 KiB flash, 64 pages of 2 KiB"},
      {0x44D, 0, "C0 C091/092: 256 KiB flash, 128 pages of 2 KiB"},
      {0x459, 0, "U0 U031: 64 KiB flash, 32 pages of 2 KiB"},
      {0x489, 0, "U0 U073/083: 256 KiB flash, 128 pages of 2 KiB"},
      {0x454, 0, "U3 U375/385: 1024 KiB flash, 256 pages of 4 KiB"},
      {0x42A, 0, "U3 U3B5/3C5: 2048 KiB flash, 512 pages of 4 KiB"},
      {0x492, 0, "WBA WBA5x: 1024 KiB flash, 128 pages of 8 KiB"},
      {0x4B0, 0, "WBA WBA6x: 2048 KiB flash, 256 pages of 8 KiB"},
      {0x4B2, 0, "WBA WBA2x: 512 KiB flash, 128 pages of 4 KiB"},
  };
  for (const auto &d : described) {
    const part_info *p = part_lookup(d.id);
    EXPECT_EQ(part_describe(p, d.kib || !p->layout ? d.kib * KiB : part_flash_bytes(p, 0)), d.text);
  }
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
  EXPECT_EQ(part_fsize_value(part_lookup(0x474), 0x08FFF80C, two, 2), 0u);
  // Registers read directly, and where the boot loader may refuse (C0, U0).
  const struct {
    uint32_t id, addr;
    part_fsize_read how;
  } registers[] = {
      {0x460, 0x1FFF75E0, PART_FSIZE_DIRECT},
      {0x443, 0x1FFF75A0, PART_FSIZE_REFUSABLE},
      {0x459, 0x1FFF3EA0, PART_FSIZE_REFUSABLE},
      {0x489, 0x1FFF6EA0, PART_FSIZE_REFUSABLE},
      {0x449, 0x1FF0F442, PART_FSIZE_REFUSABLE},
      {0x452, 0x1FF07A22, PART_FSIZE_REFUSABLE},
      {0x450, 0x1FF1E880, PART_FSIZE_REFUSABLE},
      {0x480, 0x08FFF80C, PART_FSIZE_REFUSABLE},
      {0x416, 0x1FF8004C, PART_FSIZE_REFUSABLE},
      {0x437, 0x1FF800CC, PART_FSIZE_REFUSABLE},
      {0x472, 0x0BFA05E0, PART_FSIZE_REFUSABLE},
      {0x482, 0x0BFA07A0, PART_FSIZE_REFUSABLE},
      {0x495, 0x1FFF75E0, PART_FSIZE_REFUSABLE},
      {0x436, 0, PART_FSIZE_NONE},
      {0x454, 0, PART_FSIZE_NONE},
  };
  for (const auto &r : registers) {
    const part_info *p = part_lookup(r.id);
    EXPECT_EQ(p->fsize_read, r.how) << std::hex << r.id;
    EXPECT_EQ(part_fsize_value(p, r.addr, two, 2), r.addr ? 1024u : 0u) << std::hex << r.id;
  }
  // The option bit, checked against its complement: G4's DBANK as shipped,
  // F4's DB1M set in the halfword, and a complement off by one bit.
  const part_layout_rule *g4 = part_layout_rule_for(part_lookup(0x469), 512 * KiB);
  const part_layout_rule *db1m = part_layout_rule_for(part_lookup(0x419), 1024 * KiB);
  ASSERT_TRUE(g4 && db1m);
  EXPECT_EQ(part_layout_bit(*g4, {0xAA, 0xF8, 0xEF, 0xFF, 0x55, 0x07, 0x10, 0x00}), 1);
  EXPECT_EQ(part_layout_bit(*db1m, {0xFF, 0x4F, 0x00, 0xB0}), 1);
  EXPECT_EQ(part_layout_bit(*db1m, {0xFF, 0x0F, 0x00, 0xF1}), -1);
  EXPECT_EQ(errno, EILSEQ);
  EXPECT_EQ(part_layout_rule_for(part_lookup(0x419), 2048 * KiB), nullptr);
}

// Only the rows of a listing, its comments left out.
std::string rows_of(const std::string &listing) {
  std::string rows;
  for (size_t at = 0, end; at < listing.size(); at = end + 1) {
    end = listing.find('\n', at);
    if (listing[at] != '#') rows += listing.substr(at, end + 1 - at);
  }
  return rows;
}

// --list-parts read back as a parts file gives the same table: the table's
// own rows and a file's, in place or added. No port is opened.
TEST(Parts, TheListingReadBackAsAPartsFileGivesTheSameTable) {
  testsupport::TempDir dir;
  const std::string fixture = testsupport::source_dir() + "/tests/fixtures/parts/test.parts";
  const auto listed = [&](const std::string &parts) {
    const auto r =
        testsupport::flash(dir, {"-d", "/nonexistent", "--list-parts", "--parts", parts});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
  };
  const std::string merged = listed(fixture);
  EXPECT_NE(merged.find("# 0x469: from " + fixture + ":5\n0x469  \"G4 one bank\"  "),
            std::string::npos);
  EXPECT_NE(merged.find("\n0x4F0  \"Custom board\" "), std::string::npos);
  testsupport::write_file(dir.file("listed.parts"), merged);
  const std::string rows = rows_of(merged);
  EXPECT_EQ(rows_of(listed(dir.file("listed.parts"))), rows);
  int n = 0;
  part_table(&n);
  EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), n + 2);  // one per ID
}

}  // namespace
