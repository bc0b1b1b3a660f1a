// The write plan: fragments of whole program units, merged where image runs
// share one, padded with 0xFF, at most 256 bytes; and the image's faults.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "image_layout.h"
#include "images.h"

using namespace testsupport;

namespace {

constexpr uint32_t kBase = IMG_FLASH_BASE;

std::vector<Chunk> fragments(const write_plan &plan) {
  std::vector<Chunk> out;
  for (const auto &f : plan.fragments) out.push_back({f.addr, Bytes(f.data.begin(), f.data.end())});
  return out;
}

}  // namespace

TEST(ImageLayout, CutsWholeUnitsMergedAndPaddedIntoFragmentsOfAtMost256Bytes) {
  const Bytes full = counting(512);
  const struct {
    const char *what;
    std::vector<Chunk> chunks;
    int unit;
    std::vector<Chunk> want;
  } rows[] = {
      {"aligned runs: as the image hands them out",
       {{kBase, full}, {kBase + 0x1000, counting(8)}},
       8,
       {{kBase, counting(256)}, {kBase + 256, counting(256, 0)}, {kBase + 0x1000, counting(8)}}},
      {"odd length padded",
       {{kBase, counting(5, 1)}},
       8,
       {{kBase, Bytes{1, 2, 3, 4, 5, 0xFF, 0xFF, 0xFF}}}},
      {"start inside a word",
       {{kBase + 3, {0xAA}}},
       8,
       {{kBase, {0xFF, 0xFF, 0xFF, 0xAA, 0xFF, 0xFF, 0xFF, 0xFF}}}},
      {"runs sharing a word, in any order",
       {{kBase + 5, {0xBB}}, {kBase + 1, {0xAA}}},
       8,
       {{kBase, {0xFF, 0xAA, 0xFF, 0xFF, 0xFF, 0xBB, 0xFF, 0xFF}}}},
      {"the same value twice",
       {{kBase, counting(8)}, {kBase + 2, {2, 3}}},
       8,
       {{kBase, counting(8)}}},
      {"a 16-byte unit",
       {{kBase + 8, counting(8)}},
       16,
       {{kBase, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 1, 2, 3, 4, 5, 6, 7}}}},
      {"nothing", {}, 8, {}},
  };
  for (const auto &r : rows) {
    HandImage img("fw.hex", r.chunks);
    write_plan plan;
    plan_fault fault = PLAN_BAD_UNIT;
    errno = -1;
    ASSERT_EQ(img_plan(img.get(), kBase, r.unit, &plan, &fault, nullptr), 0) << r.what;
    EXPECT_EQ(errno, 0) << r.what;
    EXPECT_EQ(fault, PLAN_OK) << r.what;
    EXPECT_EQ(fragments(plan), r.want) << r.what;
  }
}

TEST(ImageLayout, NamesTheFirstAddressAtFault) {
  const struct {
    const char *what;
    std::vector<Chunk> chunks;
    int unit;
    plan_fault fault;
    uint32_t where;
  } rows[] = {
      {"below the flash", {{kBase, {1}}, {0x100, {1, 2}}}, 8, PLAN_BELOW_FLASH, 0x100},
      {"set twice differently",
       {{kBase, counting(8)}, {kBase + 6, {6, 0x77}}},
       8,
       PLAN_CONFLICT,
       kBase + 7},
      {"past the address space", {{0xFFFFFFFE, {1, 2, 3}}}, 8, PLAN_PAST_END, 0xFFFFFFFE},
      {"unit no power of two", {{kBase, {1}}}, 12, PLAN_BAD_UNIT, 0},
  };
  for (const auto &r : rows) {
    HandImage img("fw.hex", r.chunks);
    write_plan plan;
    plan_fault fault = PLAN_OK;
    uint32_t where = 1;
    errno = 0;
    EXPECT_EQ(img_plan(img.get(), kBase, r.unit, &plan, &fault, &where), -1) << r.what;
    EXPECT_EQ(errno, EINVAL) << r.what;
    EXPECT_EQ(fault, r.fault) << r.what;
    EXPECT_EQ(where, r.where) << r.what;
    EXPECT_TRUE(plan.fragments.empty()) << r.what;
  }
}
