// The parts whose flash an option bit lays out: the bit in the option word
// (G4, L4+, L5) or in OPTCR (F4, F7), --dual-bank over it, and the pages,
// sectors and banks it makes. H7 of 1 MiB has its bank 2 behind a hole
// whatever its options.
#include <string>

#include "parts.h"

namespace sim {

namespace {

constexpr uint32_t kKiB = 1024;

// The bit that makes two banks: in OPTCR (F4, F7) or the first option word,
// at one flash size (0: every size). F7's nDBANK makes two banks when clear.
struct BankBit {
  unsigned id;
  uint32_t kib;
  bool in_optcr;
  uint8_t bit;
  bool clear_is_dual;
};

const BankBit kBankBits[] = {
    {0x469, 0, false, 22, false},     // DBANK
    {0x470, 2048, false, 22, false},  // DBANK
    {0x470, 1024, false, 21, false},  // DB1M
    {0x472, 512, false, 22, false},   // DBANK
    {0x472, 256, false, 21, false},   // DB256K
    {0x419, 1024, true, 30, false},   // DB1M
    {0x451, 0, true, 29, true},       // nDBANK
};

const BankBit *bank_bit(const SimOptions &opts) {
  for (const BankBit &b : kBankBits)
    if (b.id == opts.part && (b.kib == 0 || b.kib * kKiB == opts.flash_size)) return &b;
  return nullptr;
}

// count sectors of kib KiB each, appended to out.
void sectors(std::vector<uint32_t> &out, uint32_t count, uint32_t kib) {
  for (uint32_t i = 0; i < count; ++i) out.push_back(kib * kKiB);
}

// One F4/F7 bank of bytes: 4x16, 1x64, then 128 KiB sectors.
void f4_bank(std::vector<uint32_t> &out, uint32_t bytes) {
  sectors(out, 4, 16);
  sectors(out, 1, 64);
  sectors(out, (bytes - 128 * kKiB) / (128 * kKiB), 128);
}

// The flash as the part lays it out with two banks or one.
void lay_out(SimOptions &opts, bool dual) {
  const uint32_t size = opts.flash_size, half = size / 2;
  opts.bank2_offset = 0;
  opts.banks = FlashBanks{};
  switch (opts.part) {
    case 0x469:  // bank 2 always at 256 KiB, numbered by its address
      opts.page_size = dual ? 2 * kKiB : 4 * kKiB;
      if (!dual) break;
      opts.bank2_offset = 256 * kKiB;
      if (half < opts.bank2_offset) opts.banks = {opts.bank2_offset, half, 128};
      break;
    case 0x470:
    case 0x472: {
      const uint32_t page = opts.part == 0x470 ? 4 * kKiB : 2 * kKiB;
      opts.page_size = dual ? page : 2 * page;
      opts.bank2_offset = dual ? half : 0;
      break;
    }
    case 0x419:
    case 0x451:  // two banks of 16/64/128 KiB sectors: bank 2 from 12
      opts.sectors.clear();
      if (!dual) {
        if (opts.part == 0x419) f4_bank(opts.sectors, size);
        if (opts.part == 0x451) {
          sectors(opts.sectors, 4, 32);
          sectors(opts.sectors, 1, 128);
          sectors(opts.sectors, (size - 256 * kKiB) / (256 * kKiB), 256);
        }
        break;
      }
      f4_bank(opts.sectors, half);
      f4_bank(opts.sectors, half);
      opts.bank2_offset = half;
      opts.banks = {half, 0, 12};
      break;
  }
}

}  // namespace

int apply_bank_layout(SimOptions &opts, std::string &err) {
  const BankBit *b = opts.part ? bank_bit(opts) : nullptr;
  if (!b) {
    if (opts.dual_bank >= 0) {
      err =
          "--dual-bank needs a --part whose banks follow an option bit (G4 0x469, L4+ 0x470, L5 "
          "0x472, F4 0x419 of 1 MiB, F7 0x451)";
      return -1;
    }
    // H7 of 1 MiB: four sectors, a hole, four more at 1 MiB.
    if (opts.part == 0x450 && opts.flash_size == 1024 * kKiB && !opts.page_size_given) {
      opts.bank2_offset = 1024 * kKiB;
      opts.banks = {opts.bank2_offset, 512 * kKiB, 8};
      opts.sectors.assign(8, 128 * kKiB);
    }
    return 0;
  }
  uint32_t &value = b->in_optcr ? opts.optcr : opts.option_word;
  if (opts.dual_bank >= 0) {
    const bool set = (opts.dual_bank != 0) != b->clear_is_dual;
    value = set ? value | 1u << b->bit : value & ~(1u << b->bit);
  }
  const bool dual = (((value >> b->bit) & 1u) != 0) != b->clear_is_dual;
  if (!opts.page_size_given) lay_out(opts, dual);
  return 0;
}

}  // namespace sim
