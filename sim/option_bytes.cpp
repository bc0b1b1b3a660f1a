#include "option_bytes.h"

#include <algorithm>

namespace sim {

namespace {

constexpr uint32_t kBootSelBit = 1u << 24;  // nBOOT_SEL (G0, C0)
constexpr uint32_t kSwBoot0Bit = 1u << 26;  // nSWBOOT0 (G4 and L4 class)
constexpr uint32_t kBoot0Bit = 1u << 27;    // nBOOT0

uint32_t le32(const std::vector<uint8_t> &b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

}  // namespace

int rdp_level(uint32_t option_word) {
  uint8_t rdp = static_cast<uint8_t>(option_word);
  return rdp == 0xAA ? 0 : rdp == 0xCC ? 2 : 1;
}

OptionBytes::OptionBytes(OptionArea kind, uint32_t word, const OptionPlace &place)
    : kind_(kind),
      place_(place),
      bytes_(kind == OptionArea::None ? 0 : std::max<uint32_t>(place.size, 8), 0xFF),
      loaded_(word) {
  if (!present()) return;
  put_word(0, word);
  for (size_t i = 1; i < bytes_.size() / 8; ++i) put_word(i, 0xFFFFFFFF);
}

void OptionBytes::put_word(size_t dword, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) {
    bytes_[8 * dword + i] = static_cast<uint8_t>(value >> (8 * i));
    bytes_[8 * dword + 4 + i] = static_cast<uint8_t>(~value >> (8 * i));
  }
}

// The range check of Read and Write Memory: nothing past the area's end.
bool OptionBytes::contains(uint32_t addr, size_t len) const {
  if (!present() || !place_.served || addr < place_.base) return false;
  uint64_t off = addr - place_.base;
  return off < bytes_.size() && off + len <= bytes_.size();
}

std::vector<unsigned> OptionBytes::write(const std::vector<uint8_t> &data) {
  std::fill(bytes_.begin(), bytes_.end(), 0xFF);
  std::copy_n(data.begin(), std::min<size_t>(data.size(), bytes_.size()), bytes_.begin());
  std::vector<unsigned> bad;
  for (unsigned i = 0; i < bytes_.size() / 8; ++i)
    if (le32(bytes_, 8 * i) != ~le32(bytes_, 8 * i + 4)) bad.push_back(i);
  return bad;
}

uint32_t OptionBytes::stored() const {
  return present() ? le32(bytes_, 0) : loaded_;
}

void OptionBytes::set_rdp(uint8_t rdp) {
  if (present()) put_word(0, (stored() & ~0xFFu) | rdp);
}

BootChoice OptionBytes::decide(bool pin_high, bool flash_empty) const {
  const uint32_t w = loaded_;
  const std::string pin = std::string("pin ") + (pin_high ? "1" : "0");
  switch (kind_) {
    case OptionArea::None:
      return {pin_high, ""};
    case OptionArea::BootSel:
      if (!(w & kBootSelBit)) return {pin_high, pin + ", nBOOT_SEL 0"};
      if (!(w & kBoot0Bit)) return {true, "nBOOT_SEL 1 nBOOT0 0"};
      // The empty check: a blank part still reaches its boot loader.
      return {flash_empty,
              std::string("nBOOT_SEL 1 nBOOT0 1, flash ") + (flash_empty ? "empty" : "not empty")};
    case OptionArea::SwBoot0:
      if (w & kSwBoot0Bit) return {pin_high, pin + ", nSWBOOT0 1"};
      return {!(w & kBoot0Bit), std::string("nSWBOOT0 0 nBOOT0 ") + (w & kBoot0Bit ? "1" : "0")};
  }
  return {pin_high, ""};
}

OptionHalves::OptionHalves(uint32_t base, uint32_t size, uint32_t optcr, bool bad)
    : base_(base), bytes_(size, 0xFF) {
  for (size_t row = 0; row < 2 && 8 * row + 4 <= bytes_.size(); ++row) {
    const uint16_t half = static_cast<uint16_t>(optcr >> (16 * row));
    const uint16_t complement = static_cast<uint16_t>(~half ^ (bad && row == 1 ? 1 : 0));
    bytes_[8 * row] = static_cast<uint8_t>(half);
    bytes_[8 * row + 1] = static_cast<uint8_t>(half >> 8);
    bytes_[8 * row + 2] = static_cast<uint8_t>(complement);
    bytes_[8 * row + 3] = static_cast<uint8_t>(complement >> 8);
  }
}

bool OptionHalves::contains(uint32_t addr, size_t len) const {
  if (bytes_.empty() || addr < base_) return false;
  uint64_t off = addr - base_;
  return off < bytes_.size() && off + len <= bytes_.size();
}

}  // namespace sim
