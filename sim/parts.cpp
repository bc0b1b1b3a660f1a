#include "parts.h"

#include <cstdint>
#include <cstdio>

namespace sim {

namespace {

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kMid = 0xFFFFFFFF;  // bank 2 begins at mid-flash

// count sectors of kib KiB each.
struct Group {
  uint16_t count, kib;
};

// The flash-size register and the system-memory area a read may take it from.
struct SizeReg {
  uint32_t addr, area, area_len;
  bool whole;  // the loader refuses a read that does not start at area
};

constexpr SizeReg kF01 = {0x1FFFF7E0, 0x1FFFF700, 256, false};
constexpr SizeReg kF03 = {0x1FFFF7CC, 0x1FFFF700, 256, false};
constexpr SizeReg kF24 = {0x1FFF7A22, 0x1FFF7A00, 256, true};
constexpr SizeReg kG4L = {0x1FFF75E0, 0x1FFF7500, 256, false};
constexpr SizeReg kL0 = {0x1FF8007C, 0x1FF80000, 128, true};
constexpr SizeReg kC0 = {0x1FFF75A0, 0x1FFF7500, 256, false};
constexpr SizeReg kF7Reg = {0x1FF0F442, 0x1FF0F400, 256, false};
constexpr SizeReg kNoReg = {0, 0, 0, false};

// One part: max flash, uniform page size in bytes (0: sectors, given per
// bank), flash word, boot loader version (below 0x30: Erase 0x43, else
// Extended Erase 0x44), mass erase, where bank 2 begins (KiB; 0: one bank),
// erase times (typical, ms): per page, mass, mass per MiB of flash.
struct Part {
  unsigned id;
  uint32_t max_kib, page;
  Group sectors[3];
  uint32_t unit;
  uint8_t version;
  bool mass;
  uint32_t bank2_kib;
  double page_ms, mass_ms, mass_ms_per_mib;
  SizeReg reg;
};

constexpr Group kF4[3] = {{4, 16}, {1, 64}, {7, 128}};
constexpr Group kF7[3] = {{4, 32}, {1, 128}, {3, 256}};
constexpr Group kF7Big[3] = {{4, 32}, {1, 128}, {7, 256}};
constexpr Group kH7[3] = {{8, 128}, {0, 0}, {0, 0}};
constexpr Group kNone[3] = {};

#define PAGES(size)              \
  size, {                        \
    kNone[0], kNone[1], kNone[2] \
  }
#define SECTORS(g)   \
  0, {               \
    g[0], g[1], g[2] \
  }

const Part kParts[] = {
    // F0
    {0x440, 64, PAGES(1024), 4, 0x31, true, 0, 40, 40, 0, kF03},
    {0x442, 256, PAGES(2048), 4, 0x31, true, 0, 40, 40, 0, kF03},
    // F1 (XL: two banks, Extended Erase)
    {0x412, 32, PAGES(1024), 4, 0x22, true, 0, 30, 30, 0, kF01},
    {0x410, 128, PAGES(1024), 4, 0x22, true, 0, 30, 30, 0, kF01},
    {0x414, 512, PAGES(2048), 4, 0x22, true, 0, 30, 30, 0, kF01},
    {0x430, 1024, PAGES(2048), 4, 0x30, true, 512, 30, 30, 0, kF01},
    // F2
    {0x411, 1024, SECTORS(kF4), 4, 0x31, true, 0, 0, 0, 8000, kF24},
    // F3
    {0x438, 64, PAGES(2048), 4, 0x31, true, 0, 40, 40, 0, kF03},
    {0x422, 256, PAGES(2048), 4, 0x31, true, 0, 40, 40, 0, kF03},
    // F4
    {0x423, 256, SECTORS(kF4), 4, 0x31, true, 0, 0, 0, 8000, kF24},
    {0x431, 512, SECTORS(kF4), 4, 0x31, true, 0, 0, 0, 8000, kF24},
    {0x413, 1024, SECTORS(kF4), 4, 0x31, true, 0, 0, 0, 8000, kF24},
    {0x419, 2048, SECTORS(kF4), 4, 0x31, true, 1024, 0, 0, 8000, kF24},
    // F7
    {0x452, 512, SECTORS(kF4), 8, 0x31, true, 0, 0, 0, 8000, {0x1FF07A22, 0x1FF07A00, 256, false}},
    {0x449, 1024, SECTORS(kF7), 8, 0x31, true, 0, 0, 0, 8000, kF7Reg},
    {0x451, 2048, SECTORS(kF7Big), 8, 0x31, true, 0, 0, 0, 8000, kF7Reg},
    // G0
    {0x466, 64, PAGES(2048), 8, 0x31, true, 0, 22, 22, 0, kG4L},
    {0x460, 128, PAGES(2048), 8, 0x31, true, 0, 22, 22, 0, kG4L},
    // C0 (erase times not known: G0's)
    {0x443, 32, PAGES(2048), 8, 0x31, true, 0, 22, 22, 0, kC0},
    {0x453, 32, PAGES(2048), 8, 0x31, true, 0, 22, 22, 0, kC0},
    {0x44C, 64, PAGES(2048), 8, 0x31, true, 0, 22, 22, 0, kC0},
    {0x493, 128, PAGES(2048), 8, 0x31, true, 0, 22, 22, 0, kC0},
    {0x44D, 256, PAGES(2048), 8, 0x31, true, 0, 22, 22, 0, kC0},
    // G4 (G47x/48x: bank 2 always at 256 KiB where DBANK makes two banks)
    {0x468, 128, PAGES(2048), 8, 0x31, true, 0, 22, 22, 0, kG4L},
    {0x469, 512, PAGES(2048), 8, 0x31, true, 256, 22, 22, 0, kG4L},
    {0x479, 512, PAGES(2048), 8, 0x31, true, 0, 22, 22, 0, kG4L},
    // H7
    {0x483,
     1024,
     SECTORS(kH7),
     32,
     0x31,
     true,
     0,
     0,
     0,
     8000,
     {0x1FF1E880, 0x1FF1E800, 256, false}},
    {0x450,
     2048,
     SECTORS(kH7),
     32,
     0x31,
     true,
     1024,
     0,
     0,
     8000,
     {0x1FF1E880, 0x1FF1E800, 256, false}},
    // L0 and L1: no mass erase
    {0x417, 64, PAGES(128), 8, 0x31, false, 0, 3.2, 0, 0, kL0},
    {0x447, 192, PAGES(128), 8, 0x31, false, kMid, 3.2, 0, 0, kL0},
    {0x416, 128, PAGES(256), 8, 0x31, false, 0, 3.2, 0, 0, {0x1FF8004C, 0x1FF80000, 256, false}},
    {0x437, 512, PAGES(256), 8, 0x31, false, 256, 3.2, 0, 0, {0x1FF800CC, 0x1FF80000, 256, false}},
    // L4
    {0x435, 256, PAGES(2048), 8, 0x31, true, 0, 22, 22, 0, kG4L},
    {0x415, 1024, PAGES(2048), 8, 0x31, true, 512, 22, 22, 0, kG4L},
    // L4+ (two banks from mid-flash as shipped)
    {0x470, 2048, PAGES(4096), 8, 0x31, true, kMid, 22, 22, 0, kG4L},
    // L5, U5
    {0x472,
     512,
     PAGES(2048),
     16,
     0x31,
     true,
     kMid,
     22,
     22,
     0,
     {0x0BFA05E0, 0x0BFA0500, 256, false}},
    {0x482,
     2048,
     PAGES(8192),
     16,
     0x31,
     true,
     kMid,
     22,
     22,
     0,
     {0x0BFA07A0, 0x0BFA0700, 256, false}},
    // WB, WL
    {0x495, 1024, PAGES(4096), 8, 0x31, true, 0, 24.5, 24.5, 0, kG4L},
    {0x497, 256, PAGES(2048), 8, 0x31, true, 0, 22, 22, 0, kG4L},
    // U0, U3, WBA (erase times not known: G0's)
    {0x459, 64, PAGES(2048), 8, 0x31, true, 0, 22, 22, 0, {0x1FFF3EA0, 0x1FFF3E00, 256, false}},
    {0x489, 256, PAGES(2048), 8, 0x31, true, 0, 22, 22, 0, {0x1FFF6EA0, 0x1FFF6E00, 256, false}},
    {0x454, 1024, PAGES(4096), 8, 0x31, true, 0, 22, 22, 0, kNoReg},
    {0x42A, 2048, PAGES(4096), 8, 0x31, true, 0, 22, 22, 0, kNoReg},
    {0x492, 1024, PAGES(8192), 16, 0x31, true, 0, 22, 22, 0, kNoReg},
    {0x4B0, 2048, PAGES(8192), 16, 0x31, true, kMid, 22, 22, 0, kNoReg},
    {0x4B2, 512, PAGES(4096), 16, 0x31, true, 0, 22, 22, 0, kNoReg},
};

// The option bytes of a part, and whether its boot loader restarts the
// module after an option write, Write Unprotect or a read-out protection
// command (AN3155 rev. 20: F0, F2, F4, F7 and the L4 lines L412/422,
// L43x/44x and L45x/46x; every other family stays synchronised). A part not
// listed has no option area here and does not restart. F4/F7 parts whose
// banks follow an option bit show their option control register (optcr).
struct OptionFacts {
  unsigned id;
  OptionArea area;
  uint32_t factory;  // first option word as shipped
  bool resets;
  OptionPlace place;
  uint32_t optcr;  // F4/F7: as shipped; 0: not shown
};

// G0x1's factory word (a G0x0 ships with 0xDFFFE1AA: --option-word); both
// ignore the pin: nBOOT_SEL and nBOOT0 set, RDP 0xAA.
constexpr uint32_t kG0Factory = 0xFFFFFEAA;
// The G4 and L4 class: the pin counts (nSWBOOT0 set), nBOOT0 set, RDP 0xAA,
// bit 20 clear, every other bit set (DBANK, bit 22, among them).
constexpr uint32_t kL4Factory = 0xFFEFF8AA;
constexpr OptionArea kNoArea = OptionArea::None;
constexpr OptionArea kSel = OptionArea::BootSel;
constexpr OptionArea kSw = OptionArea::SwBoot0;
// Areas: G0/C0 128 bytes, G4 48 and L4 40 from 0x1FFF7800; L4+ 40 from
// 0x1FF00000 (bank 1's register list, as L4's); WB 128 from 0x1FFF8000; WL
// to 0x1FFF7FFF; L5 and U5 none the boot loader serves. F4: 16 bytes from
// 0x1FFFC000; F7: 32 from 0x1FFF0000.
constexpr OptionPlace kG0Place = {0x1FFF7800, 128, true};
constexpr OptionPlace kG4Place = {0x1FFF7800, 48, true};
constexpr OptionPlace kL4Place = {0x1FFF7800, 40, true};
constexpr OptionPlace kL4PlusPlace = {0x1FF00000, 40, true};
constexpr OptionPlace kNotServed = {0, 8, false};
constexpr OptionPlace kWBPlace = {0x1FFF8000, 128, true};
constexpr OptionPlace kWLPlace = {0x1FFF7800, 2048, true};
constexpr OptionPlace kF4Place = {0x1FFFC000, 16, true};
constexpr OptionPlace kF7Place = {0x1FFF0000, 32, true};
constexpr OptionPlace kNoPlace = {0, 0, false};
// OPTCR as shipped: F4 DB1M clear (one bank on 1 MiB); F7 nDBANK set (one
// bank; the factory value is not known).
constexpr uint32_t kF4Optcr = 0x0FFFAAED;
constexpr uint32_t kF7Optcr = 0xFFFFAAFD;

const OptionFacts kOptionFacts[] = {
    {0x440, kNoArea, 0, true, kNoPlace, 0},
    {0x442, kNoArea, 0, true, kNoPlace, 0},
    {0x411, kNoArea, 0, true, kNoPlace, 0},
    {0x423, kNoArea, 0, true, kNoPlace, 0},
    {0x431, kNoArea, 0, true, kNoPlace, 0},
    {0x413, kNoArea, 0, true, kNoPlace, 0},
    {0x419, kNoArea, 0, true, kF4Place, kF4Optcr},
    {0x452, kNoArea, 0, true, kNoPlace, 0},
    {0x449, kNoArea, 0, true, kNoPlace, 0},
    {0x451, kNoArea, 0, true, kF7Place, kF7Optcr},
    {0x466, kSel, kG0Factory, false, kG0Place, 0},
    {0x460, kSel, kG0Factory, false, kG0Place, 0},
    {0x443, kSel, kG0Factory, false, kG0Place, 0},
    {0x453, kSel, kG0Factory, false, kG0Place, 0},
    {0x44C, kSel, kG0Factory, false, kG0Place, 0},
    {0x493, kSel, kG0Factory, false, kG0Place, 0},
    {0x44D, kSel, kG0Factory, false, kG0Place, 0},
    {0x468, kSw, kL4Factory, false, kG4Place, 0},
    {0x469, kSw, kL4Factory, false, kG4Place, 0},
    {0x479, kSw, kL4Factory, false, kG4Place, 0},
    {0x435, kSw, kL4Factory, true, kL4Place, 0},
    {0x415, kSw, kL4Factory, false, kL4Place, 0},
    {0x470, kSw, kL4Factory, false, kL4PlusPlace, 0},
    {0x472, kSw, kL4Factory, false, kNotServed, 0},
    {0x482, kSw, kL4Factory, false, kNotServed, 0},
    {0x495, kSw, kL4Factory, false, kWBPlace, 0},
    {0x497, kSw, kL4Factory, false, kWLPlace, 0},
};

const OptionFacts *option_facts(unsigned id) {
  for (const OptionFacts &f : kOptionFacts)
    if (f.id == id) return &f;
  return nullptr;
}

// The boot loader's start-up after reset in ms, rounded up: AN2606's
// minimum, or the field's figure where one is known and longer (sim/README.md
// names the sources).
struct StartUp {
  unsigned id;
  uint32_t ms;
};

const StartUp kStartUps[] = {
    {0x440, 2},  {0x442, 2},  {0x412, 2},  {0x410, 2},  {0x414, 2},   {0x430, 2},    {0x411, 85},
    {0x438, 1},  {0x422, 44}, {0x423, 75}, {0x431, 75}, {0x413, 100}, {0x419, 82},   {0x452, 18},
    {0x449, 17}, {0x466, 1},  {0x460, 1},  {0x468, 1},  {0x479, 1},   {0x483, 54},   {0x450, 54},
    {0x417, 1},  {0x447, 1},  {0x416, 1},  {0x437, 1},  {0x435, 1},   {0x415, 2560}, {0x472, 1},
    {0x482, 1},  {0x495, 1},  {0x497, 1},  {0x469, 1},  {0x470, 11},
};

// A part whose start-up no source gives: as long as the slowest field report
// (an F7 that needed more than a second).
constexpr uint32_t kUnknownStartUpMs = 1500;

uint32_t start_up_ms(unsigned id) {
  for (const StartUp &s : kStartUps)
    if (s.id == id) return s.ms;
  return kUnknownStartUpMs;
}

const Part *find_part(unsigned id) {
  for (const Part &p : kParts)
    if (p.id == id) return &p;
  return nullptr;
}

// The sector list of one bank, repeated for bank 2, cut at the flash size.
std::vector<uint32_t> sector_list(const Part &p, uint32_t flash_size) {
  std::vector<uint32_t> out;
  uint64_t total = 0;
  for (int bank = 0; bank < (p.bank2_kib ? 2 : 1); ++bank) {
    for (const Group &g : p.sectors) {
      for (unsigned i = 0; i < g.count && total < flash_size; ++i) {
        out.push_back(g.kib * kKiB);
        total += g.kib * kKiB;
      }
    }
  }
  return out;
}

}  // namespace

double sector_erase_ms(uint32_t kib) {
  if (kib <= 16) return 250;
  if (kib <= 32) return 400;
  if (kib <= 64) return 550;
  if (kib <= 128) return 1000;
  return 2000;
}

int apply_part(SimOptions &opts, std::string &err) {
  const Part *p = find_part(opts.part);
  if (!p) {
    char buf[64];
    snprintf(buf, sizeof buf, "unknown part 0x%x", opts.part);
    err = buf;
    return -1;
  }
  if (!opts.id_given) opts.id = p->id;
  if (!opts.boot_ms_given) opts.boot_ms = start_up_ms(p->id);
  if (!opts.flash_size_given) opts.flash_size = p->max_kib * kKiB;
  if (opts.flash_size > p->max_kib * kKiB) {
    err = "--flash-size is larger than the part's flash";
    return -1;
  }
  if (p->page && !opts.page_size_given) opts.page_size = p->page;
  if (!p->page && !opts.page_size_given) opts.sectors = sector_list(*p, opts.flash_size);
  if (!opts.program_unit_given) opts.program_unit = p->unit;
  opts.version = p->version;
  opts.extended_erase = opts.extended_erase || p->version >= 0x30;
  opts.no_mass_erase = opts.no_mass_erase || !p->mass;
  uint32_t half = opts.flash_size / 2;
  uint32_t bank2 = p->bank2_kib == kMid ? half : p->bank2_kib * kKiB;
  opts.bank2_offset = bank2 < opts.flash_size ? bank2 : 0;
  opts.page_erase_ms = p->page_ms;
  opts.mass_erase_ms = p->mass_ms + p->mass_ms_per_mib * opts.flash_size / (1024.0 * kKiB);
  opts.size_register = p->reg.addr;
  opts.area = p->reg.area;
  opts.area_len = p->reg.area_len;
  opts.area_whole = p->reg.whole;
  return 0;
}

int apply_option_bytes(SimOptions &opts, std::string &err) {
  const OptionFacts *f = option_facts(opts.part ? opts.part : opts.id);
  if (opts.reset_after_options < 0) opts.reset_after_options = f && f->resets;
  if (opts.part && f) {
    opts.option_area = f->area;
    opts.option_place = f->place;
    opts.optcr = f->optcr;
  }
  if (opts.option_area == OptionArea::None) {
    if (!opts.option_word_given && !opts.options_need_power_cycle) return 0;
    err =
        "--option-word and --options-need-power-cycle need a --part with option bytes "
        "(C0, G0, G4, L4, L4+, L5, U5, WB, WL)";
    return -1;
  }
  if (!opts.option_word_given) opts.option_word = f->factory;
  // A protected module's option word says so: RDP 0xAA would lift the
  // protection at the next option load.
  if (opts.read_protected && (opts.option_word & 0xFF) == 0xAA)
    opts.option_word = (opts.option_word & ~0xFFu) | 0xBB;
  return 0;
}

}  // namespace sim
