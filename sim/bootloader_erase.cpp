// The boot loader's erase commands: Erase 0x43 (global, or a list of byte
// page numbers) and Extended Erase 0x44 (mass, bank 1 or 2, or a list of
// 16-bit page numbers). The ACK comes once the flash is erased.
#include <string>

#include "bootloader.h"
#include "parts.h"

namespace sim {

double BootLoader::page_ms(size_t page) const {
  if (opts_.sectors.empty()) return opts_.page_erase_ms;
  return sector_erase_ms(flash_.page_size(page) / 1024);
}

// Without a part the erase time is --erase-ms whatever is erased; a part
// takes its own times, scaled, unless --erase-ms was given.
double BootLoader::erase_ms(uint32_t from, uint32_t to, bool whole) const {
  if (opts_.part == 0 || opts_.erase_ms_given) return opts_.erase_ms;
  if (whole && opts_.mass_erase_ms > 0) return opts_.mass_erase_ms * opts_.erase_scale;
  double ms = 0;
  for (size_t i = 0; i < flash_.page_count(); ++i) {
    if (flash_.page_start(i) >= from && flash_.page_start(i) < to) ms += page_ms(i);
  }
  return ms * opts_.erase_scale;
}

bool BootLoader::on_erase(Reply &reply) {
  uint32_t size = static_cast<uint32_t>(flash_.bytes().size());
  if (block_[0] == 0xFF) {
    if (block_[1] != 0x00) return refuse(reply);
    return erase_whole(0, size, "global", reply);
  }
  if (!xor_ok(block_)) return refuse(reply);
  std::vector<uint32_t> pages(block_.begin() + 1, block_.end() - 1);
  return erase_pages(pages, reply);
}

bool BootLoader::on_ext_erase(Reply &reply) {
  if (!xor_ok(block_)) return refuse(reply);
  uint32_t size = static_cast<uint32_t>(flash_.bytes().size());
  uint32_t bank2 = opts_.bank2_offset;
  unsigned n = static_cast<unsigned>(block_[0]) << 8 | block_[1];
  if (n == 0xFFFF) return erase_whole(0, size, "mass", reply);
  if ((n == 0xFFFE || n == 0xFFFD) && bank2 != 0) {
    bool first = n == 0xFFFE;
    return erase_whole(first ? 0 : bank2, first ? bank2 : size, first ? "bank 1" : "bank 2", reply);
  }
  if (n >= 0xFFF0) return refuse(reply);  // reserved, or a bank this part lacks
  std::vector<uint32_t> pages;
  for (size_t i = 2; i + 1 < block_.size(); i += 2)
    pages.push_back(static_cast<uint32_t>(block_[i]) << 8 | block_[i + 1]);
  return erase_pages(pages, reply);
}

bool BootLoader::erase_whole(uint32_t from, uint32_t to, const std::string &what, Reply &reply) {
  if (opts_.no_mass_erase || write_protected_) return refuse(reply);
  flash_.erase_range(from, to);
  log_.event("cmd erase " + what);
  uint32_t size = static_cast<uint32_t>(flash_.bytes().size());
  if (from == 0 && to == size) log_.event("erase");
  reply.delay_ms = erase_ms(from, to, from == 0 && to == size);
  reply.bytes = {kAck};
  state_ = State::Idle;
  return true;
}

// A page number the flash does not have (past its end, or a number bank 2
// skips) refuses the whole list, before anything is erased.
bool BootLoader::erase_pages(const std::vector<uint32_t> &pages, Reply &reply) {
  if (write_protected_) return refuse(reply);
  for (uint32_t p : pages)
    if (flash_.page_position(p) < 0) return refuse(reply);
  std::string words = "cmd erase pages";
  double ms = 0;
  for (uint32_t p : pages) {
    ms += page_ms(static_cast<size_t>(flash_.page_position(p)));
    flash_.erase_page(p);
    words += " " + std::to_string(p);
  }
  log_.event(words);
  reply.delay_ms =
      opts_.part == 0 || opts_.erase_ms_given ? opts_.erase_ms : ms * opts_.erase_scale;
  reply.bytes = {kAck};
  state_ = State::Idle;
  return true;
}

}  // namespace sim
