#include "part_layouts.h"

#include <algorithm>
#include <cerrno>

#include "part_runs.h"

namespace {

using namespace part_runs;

// Pages numbered on over the whole flash; or bank 1's pages over
// numbered_kib, and bank 2 from bank2_kib with numbers not known.
template <size_t N>
constexpr part_layout pages(const part_run (&runs)[N], uint32_t numbered_kib = 0,
                            uint32_t bank2_kib = 0) {
  return {runs, static_cast<int>(N), numbered_kib, bank2_kib};
}
constexpr part_layout kNoLayout = {nullptr, 0, 0, 0};

// Where Read Memory shows the option register: its first word (G4, L4+),
// or the halfword that holds OPTCR[31:16] (F4, F7; the complement after it
// is inferred: the other option bytes of these lines come in such pairs).
constexpr uint32_t kG4Options = 0x1FFF7800;
constexpr uint32_t kL4PlusOptions = 0x1FF00000;
constexpr uint32_t kF4OptionsHigh = 0x1FFFC008;
constexpr uint32_t kF7OptionsHigh = 0x1FFF0008;

// Where bank 2's page numbers would differ between the boot loader's
// candidates (counted on by address, counted on by page, or the reference
// manual's numbers) and no source settles it, bank 2 is not numbered: a
// list that reaches into it is refused rather than guessed. Two banks that
// follow each other with the same pages keep the numbers counted on, as the
// table's rows have them.
constexpr part_layout_rule kRules[] = {
    // G47x/48x, DBANK: two banks of 2 KiB pages, bank 2 always at 256 KiB
    // (a hole below it on the smaller parts); clear: one bank of 4 KiB.
    {0x469, 512, PART_BIT_WORD, kG4Options, 22, "DBANK", pages(kPages2K), pages(kPages4K)},
    {0x469, 256, PART_BIT_WORD, kG4Options, 22, "DBANK", pages(kPages2K, 128, 256),
     pages(kPages4K)},
    {0x469, 128, PART_BIT_WORD, kG4Options, 22, "DBANK", pages(kPages2K, 64, 256), pages(kPages4K)},
    // L4R/L4S and L4P/L4Q: two banks of 4 KiB pages from mid-flash, or one
    // bank of 8 KiB; the bit by the flash size.
    {0x470, 2048, PART_BIT_WORD, kL4PlusOptions, 22, "DBANK", pages(kPages4K), pages(kPages8K)},
    {0x470, 1024, PART_BIT_WORD, kL4PlusOptions, 21, "DB1M", pages(kPages4K), pages(kPages8K)},
    {0x471, 1024, PART_BIT_WORD, kL4PlusOptions, 22, "DBANK", pages(kPages4K), pages(kPages8K)},
    {0x471, 512, PART_BIT_WORD, kL4PlusOptions, 21, "DB512K", pages(kPages4K), pages(kPages8K)},
    // L552/562: 2 KiB pages in two banks, or 4 KiB in one; no option area
    // that the boot loader serves is known.
    {0x472, 512, PART_BIT_UNKNOWN, 0, 22, "DBANK", pages(kPages2K), pages(kPages4K)},
    {0x472, 256, PART_BIT_UNKNOWN, 0, 21, "DB256K", pages(kPages2K), pages(kPages4K)},
    // F42x/43x and F469/479 of 1 MiB, DB1M: two banks of 4x16+1x64+3x128
    // KiB, bank 2 at 512 KiB (sectors 12-19 in the reference manual); clear
    // (as shipped): sectors 0-11 in one bank.
    {0x419, 1024, PART_BIT_HALF, kF4OptionsHigh, 14, "DB1M", pages(kSectorsHalfMiB, 512, 512),
     pages(kF4x128)},
    {0x434, 1024, PART_BIT_HALF, kF4OptionsHigh, 14, "DB1M", pages(kSectorsHalfMiB, 512, 512),
     pages(kF4x128)},
    // F76x/77x, nDBANK: one bank of 4x32+1x128+n x256 KiB; clear: two banks
    // of 16/64/128 KiB sectors, numbered on (12-23) on 2 MiB.
    {0x451, 2048, PART_BIT_HALF, kF7OptionsHigh, 13, "nDBANK", pages(kF7x256), pages(kF4Dual)},
    {0x451, 1024, PART_BIT_HALF, kF7OptionsHigh, 13, "nDBANK", pages(kF7x256),
     pages(kSectorsHalfMiB, 512, 512)},
    // H742/743/...: bank 2 always at 1 MiB, behind a hole on 1 MiB parts.
    {0x450, 1024, PART_BIT_NONE, 0, 0, "", pages(kSectors128K, 512, 1024), kNoLayout},
};

}  // namespace

// A row read from a parts file keeps its own layout: no rule holds for it.
bool part_layout_varies(const part_info *p) {
  return p && !p->origin &&
         std::any_of(std::begin(kRules), std::end(kRules),
                     [&](const part_layout_rule &r) { return r.pid == p->pid; });
}

const part_layout_rule *part_layout_rule_for(const part_info *p, uint32_t flash_bytes) {
  for (const part_layout_rule &r : kRules)
    if (part_layout_varies(p) && r.pid == p->pid &&
        (r.kib == 0 || uint64_t{r.kib} * KiB == flash_bytes))
      return &r;
  return nullptr;
}

std::string part_layout_follows(const part_info *p) {
  std::string bits, size;
  for (const part_layout_rule &r : kRules) {
    if (!part_layout_varies(p) || r.pid != p->pid) continue;
    if (r.place == PART_BIT_NONE)
      size = "its flash size";
    else if (bits.find(r.bit_name) == std::string::npos)
      bits += (bits.empty() ? "its option bit " : " or ") + std::string(r.bit_name);
  }
  return bits.empty() ? size : bits;
}

int part_layout_bit(const part_layout_rule &r, const std::vector<unsigned char> &bytes) {
  const size_t width = r.place == PART_BIT_HALF ? 2 : 4;
  if (bytes.size() < 2 * width) {
    errno = EINVAL;
    return -1;
  }
  uint32_t value = 0, complement = 0;
  for (size_t i = 0; i < width; ++i) {
    value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    complement |= static_cast<uint32_t>(bytes[width + i]) << (8 * i);
  }
  const uint32_t mask = width == 2 ? 0xFFFFu : 0xFFFFFFFFu;
  if ((value ^ complement) != mask) {
    errno = EILSEQ;
    return -1;
  }
  return (value >> r.bit) & 1u;
}

part_info part_with_layout(const part_info &row, const part_layout &l, uint32_t flash_bytes,
                           uint32_t *numbered_bytes) {
  part_info out = row;
  out.layout = l.runs;
  out.runs = l.count;
  const uint32_t numbered =
      l.numbered_kib ? std::min(l.numbered_kib * KiB, flash_bytes) : flash_bytes;
  // The page walks stop at the flash's size: here the numbered pages' end.
  out.flash_kib = numbered / KiB;
  if (numbered_bytes) *numbered_bytes = numbered;
  return out;
}

std::vector<part_flash_span> part_layout_spans(const part_info &row, const part_layout &l,
                                               uint32_t flash_bytes) {
  uint32_t numbered = 0;
  part_with_layout(row, l, flash_bytes, &numbered);
  std::vector<part_flash_span> spans = {{row.flash_start, row.flash_start + numbered}};
  if (l.numbered_kib && numbered < flash_bytes) {
    const uint32_t bank2 = row.flash_start + l.bank2_kib * KiB;
    spans.push_back({bank2, bank2 + (flash_bytes - numbered)});
  }
  return spans;
}

int part_layout_plan(const part_info &row, const part_layout &l, uint32_t flash_bytes,
                     const std::vector<part_extent> &extents, bool all,
                     std::vector<uint16_t> *pages, uint32_t *at) {
  if (!l.runs || flash_bytes == 0 || !pages) {
    errno = EINVAL;
    return -1;
  }
  const std::vector<part_flash_span> spans = part_layout_spans(row, l, flash_bytes);
  uint64_t outside = UINT64_MAX, in_bank2 = all && spans.size() > 1 ? spans[1].start : UINT64_MAX;
  std::vector<part_extent> numbered;
  for (const part_extent &x : extents) {
    if (x.len == 0) continue;
    const uint64_t a = x.addr, e = a + x.len;
    // Each part of the extent inside a span; what lies in none is outside.
    uint64_t covered_to = a;
    for (const part_flash_span &sp : spans) {
      const uint64_t from = std::max<uint64_t>(a, sp.start), to = std::min<uint64_t>(e, sp.end);
      if (from >= to) continue;
      if (from > covered_to) outside = std::min(outside, covered_to);
      covered_to = std::max(covered_to, to);
      if (&sp != &spans[0])
        in_bank2 = std::min(in_bank2, from);
      else
        numbered.push_back({static_cast<uint32_t>(from), static_cast<uint32_t>(to - from)});
    }
    if (covered_to < e) outside = std::min(outside, covered_to);
  }
  pages->clear();
  // An image that does not fit is refused as such, whatever else it touches.
  const uint64_t first = outside != UINT64_MAX ? outside : in_bank2;
  if (first != UINT64_MAX) {
    if (at) *at = static_cast<uint32_t>(first);
    errno = outside != UINT64_MAX ? ERANGE : ENOTSUP;
    return -1;
  }
  uint32_t numbered_bytes = 0;
  const part_info laid = part_with_layout(row, l, flash_bytes, &numbered_bytes);
  if (!all) return part_plan_pages(&laid, numbered_bytes, numbered, pages, at);
  const int count = part_page_count(&laid, numbered_bytes);
  for (int i = 0; i < count; ++i) pages->push_back(static_cast<uint16_t>(i));
  return 0;
}
