#include "parts.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "loader_codes.h"
#include "part_runs.h"

namespace {

using namespace part_runs;

constexpr uint32_t kFlash = 0x08000000;

// How the flash-size register is read.
struct fsize_how {
  part_fsize_read read;
  uint32_t addr, block;
  uint16_t block_len;
};
constexpr fsize_how kNoRead = {PART_FSIZE_NONE, 0, 0, 0};
constexpr fsize_how direct(uint32_t addr) {
  return {PART_FSIZE_DIRECT, addr, addr, 2};
}
constexpr fsize_how refusable(uint32_t addr) {
  return {PART_FSIZE_REFUSABLE, addr, addr, 2};
}
// F0 and F3, F1, G0/G4/L4/WL: inside the system memory the loader reads.
constexpr fsize_how kF0F3 = direct(0x1FFFF7CC);
constexpr fsize_how kF1 = direct(0x1FFFF7E0);
constexpr fsize_how kG0L4 = direct(0x1FFF75E0);
// F2/F4 refuse a two-byte read there; a 256-byte read around it works.
constexpr fsize_how kF2F4 = {PART_FSIZE_BLOCK, 0x1FFF7A22, 0x1FFF7A00, 256};
// L0 refuses the direct read; a 128-byte read from 0x1FF80000 works.
constexpr fsize_how kL0 = {PART_FSIZE_BLOCK, 0x1FF8007C, 0x1FF80000, 128};
// Outside the system memory the boot loader is known to serve: read where
// it lets them be read.
constexpr fsize_how kF7 = refusable(0x1FF0F442);
constexpr fsize_how kF72x = refusable(0x1FF07A22);
constexpr fsize_how kH74x = refusable(0x1FF1E880);
constexpr fsize_how kH7Ax = refusable(0x08FFF80C);
constexpr fsize_how kL1Cat1 = refusable(0x1FF8004C);
constexpr fsize_how kL1Cat3 = refusable(0x1FF800CC);
constexpr fsize_how kU5 = refusable(0x0BFA07A0);
constexpr fsize_how kWB = refusable(0x1FFF75E0);
// C0 and U0: whether the boot loader serves their registers is not known.
constexpr fsize_how kC0 = refusable(0x1FFF75A0);

template <size_t N>
constexpr part_info row(uint16_t pid, const char *family, const char *line, uint32_t kib,
                        fsize_how fs, const part_run (&layout)[N], uint8_t unit, uint8_t cmd,
                        bool refused = false) {
  return {pid,
          family,
          line,
          kFlash,
          kib,
          fs.read,
          fs.addr,
          fs.block,
          fs.block_len,
          layout,
          static_cast<int>(N),
          unit,
          cmd,
          refused};
}
// A row whose erase layout is not known: only its name and program unit.
constexpr part_info named(uint16_t pid, const char *family, const char *line, uint8_t unit) {
  return {pid, family, line, kFlash, 0, PART_FSIZE_NONE, 0, 0, 0, nullptr, 0, unit, 0x44, false};
}

// One row per product ID. The program unit is the larger of the flash word
// the controller programs and the boot loader's write alignment (F2/F4: 4,
// as the boot loader programs them at the default supply range). Where a
// fact is not confirmed the row takes the safe default: the largest flash,
// the mass erase offered, the flash-size register not read (or read where
// the boot loader may refuse it), bank 2 numbered straight on after bank 1,
// and the layout of the factory option (one bank where DBANK/nDBANK
// chooses; two banks of small pages on G4/L4R/L5). Where an option bit or
// the flash size changes the layout, part_layouts.h holds the rest.
constexpr part_info kParts[] = {
    row(0x444, "F0", "F030x4/x6, F031, F038", 32, kF0F3, kPages1K, 4, 0x44),
    row(0x440, "F0", "F05x, F030x8", 64, kF0F3, kPages1K, 4, 0x44),
    row(0x445, "F0", "F04x, F070x6", 32, kF0F3, kPages1K, 4, 0x44),
    row(0x448, "F0", "F071/072, F070xB", 128, kF0F3, kPages2K, 4, 0x44),
    row(0x442, "F0", "F09x, F030xC", 256, kF0F3, kPages2K, 4, 0x44),
    row(0x412, "F1", "low-density", 32, kF1, kPages1K, 4, 0x43),
    row(0x410, "F1", "medium-density", 128, kF1, kPages1K, 4, 0x43),
    row(0x414, "F1", "high-density", 512, kF1, kPages2K, 4, 0x43),
    row(0x420, "F1", "value line low/medium-density", 128, kF1, kPages1K, 4, 0x43),
    row(0x428, "F1", "value line high-density", 512, kF1, kPages2K, 4, 0x43),
    row(0x418, "F1", "connectivity line F105/107", 256, kF1, kPages2K, 4, 0x43),
    row(0x430, "F1", "XL-density", 1024, kF1, kPages2K, 4, 0x44),
    row(0x411, "F2", "F20x/F21x", 1024, kF2F4, kF4x128, 4, 0x44),
    row(0x432, "F3", "F373, F378", 256, kF0F3, kPages2K, 4, 0x44),
    row(0x422, "F3", "F302xB/C, F303xB/C, F358", 256, kF0F3, kPages2K, 4, 0x44),
    row(0x439, "F3", "F301, F302x4/6/8, F318", 64, kF0F3, kPages2K, 4, 0x44),
    row(0x438, "F3", "F303x4/6/8, F334, F328", 64, kF0F3, kPages2K, 4, 0x44),
    row(0x446, "F3", "F302xD/E, F303xD/E, F398", 512, kF0F3, kPages2K, 4, 0x44),
    row(0x413, "F4", "F405/407/415/417", 1024, kF2F4, kF4x128, 4, 0x44),
    row(0x419, "F4", "F427/429/437/439", 2048, kF2F4, kF4Dual, 4, 0x44),
    row(0x423, "F4", "F401xB/C", 256, kF2F4, kF4x128, 4, 0x44),
    row(0x433, "F4", "F401xD/E", 512, kF2F4, kF4x128, 4, 0x44),
    row(0x458, "F4", "F410", 128, kF2F4, kF410, 4, 0x44),
    row(0x431, "F4", "F411", 512, kF2F4, kF4x128, 4, 0x44),
    row(0x441, "F4", "F412", 1024, kF2F4, kF4x128, 4, 0x44),
    row(0x421, "F4", "F446", 512, kF2F4, kF4x128, 4, 0x44),
    row(0x434, "F4", "F469/479", 2048, kF2F4, kF4Dual, 4, 0x44),
    row(0x463, "F4", "F413/423", 1536, kF2F4, kF4x128, 4, 0x44),
    row(0x452, "F7", "F722/723/732/733", 512, kF72x, kF4x128, 8, 0x44),
    row(0x449, "F7", "F745/746/756", 1024, kF7, kF7x256, 8, 0x44),
    row(0x451, "F7", "F765/767/769/777/779", 2048, kF7, kF7x256, 8, 0x44),
    row(0x466, "G0", "G030/031/041", 64, kG0L4, kPages2K, 8, 0x44),
    row(0x456, "G0", "G050/051/061", 64, kG0L4, kPages2K, 8, 0x44),
    row(0x460, "G0", "G070/071/081", 128, kG0L4, kPages2K, 8, 0x44),
    row(0x467, "G0", "G0B0, G0B1, G0C1", 512, kG0L4, kPages2K, 8, 0x44),
    row(0x468, "G4", "G431/441", 128, kG0L4, kPages2K, 8, 0x44),
    row(0x469, "G4", "G471/473/474/483/484", 512, kG0L4, kPages2K, 8, 0x44),
    row(0x479, "G4", "G491/4A1", 512, kG0L4, kPages2K, 8, 0x44),
    row(0x450, "H7", "H742/743/745/747/750/753/755/757", 2048, kH74x, kSectors128K, 32, 0x44),
    row(0x483, "H7", "H723/725/730/733/735", 1024, kH74x, kSectors128K, 32, 0x44),
    row(0x480, "H7", "H7A3/7B3/7B0", 2048, kH7Ax, kPages8K, 16, 0x44),
    row(0x485, "H7", "H7R3/R7/S3/S7", 64, kH7Ax, kPages8K, 16, 0x44),
    row(0x457, "L0", "L01x/L02x", 16, kL0, kPages128, 8, 0x44, true),
    row(0x425, "L0", "L031/041", 32, kL0, kPages128, 8, 0x44, true),
    row(0x417, "L0", "L05x/L06x", 64, kL0, kPages128, 8, 0x44, true),
    row(0x447, "L0", "L07x/L08x", 192, kL0, kPages128, 8, 0x44, true),
    row(0x416, "L1", "L1 cat. 1", 128, kL1Cat1, kPages256, 8, 0x44, true),
    // 0x429: only the register's low byte holds the size; 0x436: a code
    // (0: 384 KiB, 1: 256 KiB), no size. Neither is read.
    row(0x429, "L1", "L1 cat. 2", 128, kNoRead, kPages256, 8, 0x44, true),
    row(0x427, "L1", "L1 cat. 3", 256, kL1Cat3, kPages256, 8, 0x44, true),
    row(0x436, "L1", "L1 cat. 4/cat. 3 (D)", 384, kNoRead, kPages256, 8, 0x44, true),
    row(0x437, "L1", "L1 cat. 5/6", 512, kL1Cat3, kPages256, 8, 0x44, true),
    row(0x464, "L4", "L412/422", 128, kG0L4, kPages2K, 8, 0x44),
    row(0x435, "L4", "L431/432/433/442/443", 256, kG0L4, kPages2K, 8, 0x44),
    row(0x462, "L4", "L451/452/462", 512, kG0L4, kPages2K, 8, 0x44),
    row(0x415, "L4", "L471/475/476/486", 1024, kG0L4, kPages2K, 8, 0x44),
    row(0x461, "L4", "L496/4A6", 1024, kG0L4, kPages2K, 8, 0x44),
    row(0x470, "L4", "L4R5/R7/R9/S5/S7/S9", 2048, kG0L4, kPages4K, 8, 0x44),
    row(0x471, "L4", "L4P5/Q5", 1024, kG0L4, kPages4K, 8, 0x44),
    row(0x472, "L5", "L552/562", 512, refusable(0x0BFA05E0), kPages2K, 16, 0x44),
    row(0x455, "U5", "U535/545", 512, kU5, kPages8K, 16, 0x44),
    row(0x482, "U5", "U575/585", 2048, kU5, kPages8K, 16, 0x44),
    row(0x481, "U5", "U595/599/5A5/5A9", 4096, kU5, kPages8K, 16, 0x44),
    row(0x476, "U5", "U5F7/F9/G7/G9", 4096, kU5, kPages8K, 16, 0x44),
    row(0x494, "WB", "WB10/15", 320, kWB, kPages2K, 8, 0x44),
    row(0x495, "WB", "WB30/35/50/55", 1024, kWB, kPages4K, 8, 0x44),
    row(0x497, "WL", "WLE5/WL55", 256, kG0L4, kPages2K, 8, 0x44),
    row(0x443, "C0", "C011", 32, kC0, kPages2K, 8, 0x44),
    row(0x453, "C0", "C031", 32, kC0, kPages2K, 8, 0x44),
    row(0x44C, "C0", "C051", 64, kC0, kPages2K, 8, 0x44),
    row(0x493, "C0", "C071", 128, kC0, kPages2K, 8, 0x44),
    row(0x44D, "C0", "C091/092", 256, kC0, kPages2K, 8, 0x44),
    row(0x459, "U0", "U031", 64, refusable(0x1FFF3EA0), kPages2K, 8, 0x44),
    row(0x489, "U0", "U073/083", 256, refusable(0x1FFF6EA0), kPages2K, 8, 0x44),
    row(0x454, "U3", "U375/385", 1024, kNoRead, kPages4K, 8, 0x44),
    row(0x42A, "U3", "U3B5/3C5", 2048, kNoRead, kPages4K, 8, 0x44),
    row(0x492, "WBA", "WBA5x", 1024, kNoRead, kPages8K, 16, 0x44),
    row(0x4B0, "WBA", "WBA6x", 2048, kNoRead, kPages8K, 16, 0x44),
    row(0x4B2, "WBA", "WBA2x", 512, kNoRead, kPages4K, 16, 0x44),
    // Named only: no source gives their layout.
    named(0x474, "H5", "H503", 16),
    named(0x478, "H5", "H523/533", 16),
    named(0x484, "H5", "H562/563/573", 16),
    named(0x47A, "H5", "H5Ex/5Fx", 16),
    named(0x44E, "C5", "C5", 16),
    named(0x44F, "C5", "C5", 16),
    named(0x45A, "C5", "C5", 16),
};

}  // namespace

const part_info *part_table(int *count) {
  if (count) *count = static_cast<int>(std::size(kParts));
  return kParts;
}

const part_info *part_lookup(uint32_t id) {
  for (const part_info &p : kParts)
    if (p.pid == id) return &p;
  return nullptr;
}

uint32_t part_fsize_value(const part_info *p, uint32_t from, const unsigned char *data, int len) {
  if (!p || !data || p->fsize_read == PART_FSIZE_NONE || p->fsize_addr < from) return 0;
  const uint32_t at = p->fsize_addr - from;
  if (len < 2 || at > static_cast<uint32_t>(len - 2)) return 0;
  return data[at] | static_cast<uint32_t>(data[at + 1]) << 8;
}

namespace {

// Past any flash of the table: bounds every walk over a repeating layout.
constexpr uint64_t kMaxPages = 0x10000;

// Calls f(index, addr, bytes) for each page from the flash start, as long as
// f returns true and the layout (or the page count's bound) lasts.
template <class F>
void each_page(const part_info *p, F f) {
  if (!p || !p->layout) return;
  uint64_t addr = p->flash_start;
  uint64_t index = 0;
  for (int r = 0; r < p->runs; ++r) {
    const part_run &run = p->layout[r];
    for (uint32_t k = 0; (run.count == 0 || k < run.count) && index < kMaxPages; ++k, ++index) {
      if (!f(static_cast<int>(index), addr, run.bytes)) return;
      addr += run.bytes;
    }
  }
}

struct page_span {
  uint64_t addr;
  uint32_t bytes;
};

// The pages that begin below end.
std::vector<page_span> pages_below(const part_info *p, uint64_t end) {
  std::vector<page_span> spans;
  each_page(p, [&](int, uint64_t addr, uint32_t bytes) {
    if (addr >= end) return false;
    spans.push_back({addr, bytes});
    return true;
  });
  return spans;
}

}  // namespace

bool part_size_allowed(const part_info *p, uint32_t kib) {
  if (!p || kib == 0 || kib > p->flash_kib) return false;
  if (!p->layout) return true;
  // An erased register (0xFFFF) is above every flash; a damaged one may end
  // inside a sector.
  const uint64_t end = uint64_t{p->flash_start} + uint64_t{kib} * KiB;
  const std::vector<page_span> spans = pages_below(p, end);
  return !spans.empty() && spans.back().addr + spans.back().bytes == end;
}

uint32_t part_flash_bytes(const part_info *p, uint32_t kib_read) {
  if (!p) return 0;
  return (part_size_allowed(p, kib_read) ? kib_read : p->flash_kib) * KiB;
}

int part_page_count(const part_info *p, uint32_t flash_bytes) {
  if (!p) return 0;
  return static_cast<int>(pages_below(p, uint64_t{p->flash_start} + flash_bytes).size());
}

int part_page_span(const part_info *p, int index, uint32_t *addr, uint32_t *bytes) {
  bool found = false;
  const uint64_t end = p ? uint64_t{p->flash_start} + uint64_t{p->flash_kib} * KiB : 0;
  each_page(p, [&](int i, uint64_t a, uint32_t n) {
    if (a >= end) return false;
    if (i < index) return true;
    found = i == index;
    if (found) {
      if (addr) *addr = static_cast<uint32_t>(a);
      if (bytes) *bytes = n;
    }
    return false;
  });
  if (!found) errno = EINVAL;
  return found ? 0 : -1;
}

int part_plan_pages(const part_info *p, uint32_t flash_bytes,
                    const std::vector<part_extent> &extents, std::vector<uint16_t> *pages,
                    uint32_t *outside_at) {
  if (!p || !p->layout || flash_bytes == 0 || !pages) {
    errno = EINVAL;
    return -1;
  }
  const uint64_t start = p->flash_start, end = start + flash_bytes;
  const std::vector<page_span> spans = pages_below(p, end);
  std::vector<bool> touched(spans.size(), false);
  uint64_t outside = UINT64_MAX;
  for (const part_extent &x : extents) {
    if (x.len == 0) continue;
    const uint64_t a = x.addr, e = a + x.len;
    if (a < start || a >= end) outside = std::min(outside, a);
    if (a < end && e > end) outside = std::min(outside, end);
    // The first page that ends after a, then every page that begins before e.
    auto it = std::upper_bound(spans.begin(), spans.end(), a,
                               [](uint64_t v, const page_span &s) { return v < s.addr + s.bytes; });
    for (; it != spans.end() && it->addr < e; ++it) touched[it - spans.begin()] = true;
  }
  pages->clear();
  if (outside != UINT64_MAX) {
    if (outside_at) *outside_at = static_cast<uint32_t>(outside);
    errno = ERANGE;
    return -1;
  }
  for (size_t i = 0; i < touched.size(); ++i)
    if (touched[i]) pages->push_back(static_cast<uint16_t>(i));
  return 0;
}

std::vector<std::vector<uint16_t>> part_erase_batches(unsigned char erase_cmd,
                                                      const std::vector<uint16_t> &pages) {
  const size_t most = erase_cmd == LD_CMD_ERASE ? LD_ERASE43_MAX : LD_ERASE44_MAX;
  std::vector<std::vector<uint16_t>> batches;
  for (size_t i = 0; i < pages.size(); i += most)
    batches.emplace_back(pages.begin() + static_cast<long>(i),
                         pages.begin() + static_cast<long>(std::min(pages.size(), i + most)));
  return batches;
}

namespace {

// The slowest erase in the datasheets is about 31 ms per KiB (a 128 KiB
// sector in 4 s at the lowest supply range); small pages take up to 40 ms
// each whatever their size.
constexpr int kEraseMsPerKiB = 50;
constexpr int kEraseMsPerPage = 40;

}  // namespace

int part_erase_ms(const part_info *p, const std::vector<uint16_t> &pages) {
  int64_t ms = 0;
  for (uint16_t page : pages) {
    uint32_t bytes = 0;
    if (part_page_span(p, page, nullptr, &bytes) < 0) bytes = 0;
    ms += std::max<int64_t>(kEraseMsPerPage, int64_t{bytes} * kEraseMsPerKiB / KiB);
  }
  return static_cast<int>(std::min<int64_t>(ms, INT32_MAX));
}

namespace {

// The slowest erase of a family's datasheets: per page of the part's layout
// whatever its size, or per KiB of flash, or for the whole flash at once.
struct family_erase {
  const char *family;
  int page_us, kib_us, whole_ms;
};
constexpr family_erase kFamilyErase[] = {
    {"F0", 40000, 0, 0},  // up to 40 ms a page
    {"F1", 0, 0, 40},     // mass erase 20 to 40 ms
    // The boot loader erases F2/F4 byte by byte: 128 KiB in up to 4 s, and
    // 1 MiB in up to 32 s.
    {"F2", 0, 32000, 0},
    {"F3", 40000, 0, 0},
    {"F4", 0, 32000, 0},
    // Up to 4 s for 256 KiB, at a parallelism not given: taken as F4's.
    {"F7", 0, 32000, 0},
    {"G0", 0, 20000, 0},  // 40 ms for 2 KiB
    {"G4", 0, 12235, 0},  // 24.47 ms for 2 KiB
    {"H7", 0, 15625, 0},  // 2 s for 128 KiB
    {"L0", 0, 25000, 0},  // 3.2 ms for 128 bytes
    {"L4", 0, 12235, 0},  // 24.47 ms for 2 KiB
    {"WB", 0, 6125, 0},   // 24.5 ms for 4 KiB
};

}  // namespace

int part_mass_erase_ms(const part_info *p, uint32_t flash_bytes) {
  if (!p) return 0;
  for (const family_erase &f : kFamilyErase) {
    if (std::strcmp(f.family, p->family) != 0) continue;
    const int64_t us = int64_t{f.page_us} * part_page_count(p, flash_bytes) +
                       int64_t{f.kib_us} * (flash_bytes / KiB) + int64_t{f.whole_ms} * 1000;
    return static_cast<int>(std::min<int64_t>((us + 999) / 1000, INT32_MAX));
  }
  return 0;
}

std::string part_id_text(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%03X", static_cast<unsigned>(id));
  return text;
}

std::string part_address_text(uint32_t addr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(addr));
  return text;
}

std::string part_ranges_text(const std::vector<uint16_t> &pages) {
  std::string text;
  for (size_t i = 0; i < pages.size();) {
    size_t j = i;
    while (j + 1 < pages.size() && pages[j + 1] == pages[j] + 1) ++j;
    if (!text.empty()) text += ", ";
    text += std::to_string(pages[i]);
    if (j > i) text += "-" + std::to_string(pages[j]);
    i = j + 1;
  }
  return text;
}

namespace {

std::string size_text(uint32_t bytes) {
  return bytes % KiB ? std::to_string(bytes) + " B" : std::to_string(bytes / KiB) + " KiB";
}

}  // namespace

std::vector<part_run> part_layout_runs(const part_info *p, uint32_t flash_bytes) {
  std::vector<part_run> runs;
  if (!p) return runs;
  for (const page_span &s : pages_below(p, uint64_t{p->flash_start} + flash_bytes)) {
    if (runs.empty() || runs.back().bytes != s.bytes || runs.back().count == UINT16_MAX)
      runs.push_back({s.bytes, 0});
    ++runs.back().count;
  }
  return runs;
}

// "4x16+1x64+7x128 KiB" for sectors; "64 pages of 1 KiB" for pages.
std::string part_layout_text(const part_info *p, uint32_t flash_bytes) {
  if (!p) return "";
  const std::vector<part_run> runs = part_layout_runs(p, flash_bytes);
  if (runs.empty()) return "erase layout not known";
  const bool sectors = runs.size() > 1 || runs[0].bytes >= 16 * KiB;
  if (runs.size() == 1)
    return std::to_string(runs[0].count) + (sectors ? " sectors of " : " pages of ") +
           size_text(runs[0].bytes);
  std::string text = "sectors ";
  for (size_t i = 0; i < runs.size(); ++i)
    text +=
        (i ? "+" : "") + std::to_string(runs[i].count) + "x" + std::to_string(runs[i].bytes / KiB);
  return text + " KiB";
}

std::string part_name(const part_info *p) {
  if (!p) return "";
  return *p->line ? std::string(p->family) + " " + p->line : p->family;
}

std::string part_describe(const part_info *p, uint32_t flash_bytes) {
  if (!p) return "";
  const std::string flash =
      flash_bytes ? size_text(flash_bytes) + " flash" : "flash size not known";
  return part_name(p) + ": " + flash + ", " + part_layout_text(p, flash_bytes);
}
