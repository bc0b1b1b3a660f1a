// The boot loader's memory commands: Read Memory, Write Memory and Go, each a
// few blocks after its command pair.
#include <cstdio>

#include "bootloader.h"

namespace sim {

namespace {

constexpr uint32_t kRamBase = 0x20000000;

uint32_t be32(const std::vector<uint8_t> &b) {
  return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
         static_cast<uint32_t>(b[2]) << 8 | b[3];
}

}  // namespace

bool BootLoader::in_ram(uint32_t addr, size_t len) const {
  return addr >= kRamBase && uint64_t{addr} - kRamBase + len <= ram_.size() &&
         addr - kRamBase < ram_.size();
}

// Flash, RAM, the option bytes, and the system-memory area with the
// flash-size register; start:
// addr is where a read begins (some loaders refuse a read into that area
// that does not begin at its first address).
bool BootLoader::readable(uint32_t addr, size_t len, bool start) const {
  if (flash_.contains(addr, len) || in_ram(addr, len) || options_.contains(addr, len) ||
      halves_.contains(addr, len))
    return true;
  if (opts_.area_len == 0 || addr < opts_.area) return false;
  if (start && opts_.area_whole && addr != opts_.area) return false;
  return uint64_t{addr} - opts_.area + len <= opts_.area_len && addr - opts_.area < opts_.area_len;
}

uint8_t BootLoader::read_byte(uint32_t addr) const {
  if (flash_.contains(addr, 1)) return flash_.bytes()[addr - opts_.flash_base];
  if (in_ram(addr, 1)) return ram_[addr - kRamBase];
  if (options_.contains(addr, 1)) return options_.byte(addr);
  if (halves_.contains(addr, 1)) return halves_.byte(addr);
  uint32_t kib = opts_.flash_size / 1024;
  if (addr == opts_.size_register) return static_cast<uint8_t>(kib);
  if (addr == opts_.size_register + 1) return static_cast<uint8_t>(kib >> 8);
  return 0xFF;
}

bool BootLoader::on_read_addr(Reply &reply) {
  if (!xor_ok(block_)) return refuse(reply);
  addr_ = be32(block_);
  if (!readable(addr_, 0, true)) return refuse(reply);
  state_ = State::ReadCount;
  reply.bytes = {kAck};
  return true;
}

bool BootLoader::on_read_count(Reply &reply) {
  if (block_[1] != (block_[0] ^ 0xFF)) return refuse(reply);
  size_t n = block_[0] + 1u;
  if (!readable(addr_, n, false)) return refuse(reply);
  reply.bytes = {kAck};
  for (size_t i = 0; i < n; ++i) reply.bytes.push_back(read_byte(addr_ + static_cast<uint32_t>(i)));
  log_.event("cmd read " + hex32(addr_) + " " + std::to_string(n));
  state_ = State::Idle;
  return true;
}

// Address 0 is only an alias of the boot memory: refused like any address
// outside flash, RAM and the option area.
bool BootLoader::on_write_addr(Reply &reply) {
  if (!xor_ok(block_)) return refuse(reply);
  addr_ = be32(block_);
  if (!flash_.contains(addr_, 0) && !in_ram(addr_, 0) && !options_.contains(addr_, 0))
    return refuse(reply);
  state_ = State::WriteData;
  reply.bytes = {kAck};
  return true;
}

bool BootLoader::on_write_data(Reply &reply) {
  if (!xor_ok(block_)) return refuse(reply);
  size_t n = block_[0] + 1u;
  std::vector<uint8_t> data(block_.begin() + 1,
                            block_.begin() + 1 + static_cast<std::ptrdiff_t>(n));
  std::string where = hex32(addr_) + " " + std::to_string(n);
  if (in_ram(addr_, n)) {
    std::copy(data.begin(), data.end(), ram_.begin() + (addr_ - kRamBase));
    log_.event("cmd write " + where);
    log_.event("write " + where);
  } else if (options_.contains(addr_, 0)) {
    if (!write_options(data, reply)) return refuse(reply);
  } else if (!flash_.contains(addr_, n) || !write_flash(data)) {
    return refuse(reply);
  }
  state_ = State::Idle;
  reply.bytes = {kAck};
  reply.hang_up = faults_.hangup_after != 0 && ++writes_done_ == faults_.hangup_after;
  return true;
}

// False when the write is refused: a flash word programmed twice since its
// erase. A misaligned write, or one to protected flash, is acknowledged and
// left unprogrammed, as the real module does.
bool BootLoader::write_flash(const std::vector<uint8_t> &data) {
  std::string where = hex32(addr_) + " " + std::to_string(data.size());
  Flash::Program done = Flash::Program::Done;
  uint32_t first = 0;
  if (!write_protected_) done = flash_.program(addr_, data, first);
  if (done == Flash::Program::Twice) {
    log_.event("twice " + hex32(first));
    fprintf(stderr,
            "tarvion_module_sim: write at 0x%08x refused: the flash word at 0x%08x was "
            "programmed since its erase\n",
            addr_, first);
    return false;
  }
  log_.event("cmd write " + where);
  if (write_protected_) {
    log_.event("protected " + where);
    fprintf(stderr, "tarvion_module_sim: write at 0x%08x: flash write-protected, not programmed\n",
            addr_);
  } else if (done == Flash::Program::Unaligned) {
    log_.event("unaligned " + where);
    fprintf(stderr,
            "tarvion_module_sim: write at 0x%08x of %zu byte(s) is not whole %u-byte flash "
            "words: not programmed\n",
            addr_, data.size(), opts_.program_unit);
  } else {
    log_.event("write " + where);
  }
  return true;
}

bool BootLoader::on_go(Reply &reply) {
  if (!xor_ok(block_)) return refuse(reply);
  uint32_t addr = be32(block_);
  if (!flash_.contains(addr, 0) && !in_ram(addr, 0)) return refuse(reply);
  log_.event("cmd go " + hex32(addr));
  log_.event("go " + hex32(addr));
  fprintf(stderr, "tarvion_module_sim: go 0x%08x: the boot loader has left\n", addr);
  // The boot loader has jumped away: nothing answers until the next reset.
  restart(false);
  reply.bytes = {kAck};
  return true;
}

}  // namespace sim
