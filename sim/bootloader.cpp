#include "bootloader.h"

#include <cstddef>
#include <cstdio>
#include <iterator>

namespace sim {

namespace {

constexpr uint8_t kSync = 0x7F;
constexpr uint8_t kGetId = 0x02;
constexpr uint8_t kGet = 0x00;
constexpr uint8_t kErase = 0x43;
constexpr uint8_t kExtendedErase = 0x44;
constexpr uint8_t kWrite = 0x31;
constexpr uint8_t kGo = 0x21;

// A block of two or more bytes ends with the XOR of the bytes before it.
bool xor_ok(const std::vector<uint8_t> &block) {
  uint8_t x = 0;
  for (size_t i = 0; i + 1 < block.size(); ++i) x ^= block[i];
  return x == block.back();
}

uint32_t be32(const std::vector<uint8_t> &b) {
  return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
         static_cast<uint32_t>(b[2]) << 8 | b[3];
}

bool refuse(Reply &reply) {
  reply.bytes = {kNack};
  return false;
}

bool accept(Reply &reply) {
  reply.bytes = {kAck};
  return true;
}

}  // namespace

BootLoader::BootLoader(const SimOptions &opts, Flash &flash, Log &log)
    : opts_(opts), faults_(opts.faults), flash_(flash), log_(log) {}

size_t BootLoader::block_length() const {
  switch (state_) {
    case State::Unsynced:
      return 1;
    // A sync byte after synchronisation is a block of its own (and refused).
    case State::Idle:
      return block_.size() == 1 && block_[0] == kSync ? 1 : 2;
    case State::EraseParam:
      return 2;
    case State::ExtEraseParam:
      return 3;  // the mass-erase code 0xFFFF and its XOR
    case State::WriteAddr:
    case State::GoAddr:
      return 5;
    // Count N-1, N data bytes, checksum; before the count at least three.
    case State::WriteData:
      return block_.empty() ? 3 : block_[0] + 3u;
  }
  return 1;
}

bool BootLoader::feed(uint8_t b, Reply &reply) {
  block_.push_back(b);
  if (block_.size() < block_length()) return false;
  bool answered = complete(reply);
  block_.clear();
  return answered;
}

void BootLoader::restart(bool into_boot_loader) {
  running_ = into_boot_loader;
  state_ = State::Unsynced;
  block_.clear();
}

bool BootLoader::complete(Reply &reply) {
  log_.rx(block_);
  if (!running_) return false;
  ++blocks_seen_;
  if (faults_.silent) return false;
  reply = Reply();
  auto wrong = faults_.wrong_bytes.find(blocks_seen_);
  if (faults_.nack_blocks.count(blocks_seen_)) {
    reply.bytes = {kNack};
  } else if (wrong != faults_.wrong_bytes.end()) {
    reply.bytes = {static_cast<uint8_t>(wrong->second)};
  } else {
    act(reply);
  }
  reply.delay_ms += faults_.ack_delay_ms;
  return true;
}

// Each handler either moves on and acknowledges, or refuses and stays in its
// state, so that the host's repeat of the block finds the same state.
bool BootLoader::act(Reply &reply) {
  switch (state_) {
    case State::Unsynced: {
      if (block_[0] != kSync) return refuse(reply);
      auto it = faults_.nack_cmds.find(kSync);
      if (it != faults_.nack_cmds.end() && it->second > 0) {
        --it->second;
        return refuse(reply);
      }
      state_ = State::Idle;
      log_.event("sync");
      return accept(reply);
    }
    case State::Idle:
      if (block_.size() == 1) return refuse(reply);
      return on_command(block_[0], reply);
    case State::EraseParam:
    case State::ExtEraseParam:
      return on_erase(reply);
    case State::WriteAddr:
    case State::GoAddr:
      return on_address(reply);
    case State::WriteData:
      return on_data(reply);
  }
  return refuse(reply);
}

bool BootLoader::on_command(uint8_t code, Reply &reply) {
  if (block_[1] != (code ^ 0xFF)) return refuse(reply);
  State next;
  if (!known_command(code, next)) return refuse(reply);
  auto it = faults_.nack_cmds.find(code);
  if (it != faults_.nack_cmds.end() && it->second > 0) {
    --it->second;
    return refuse(reply);
  }
  state_ = next;
  if (code == kGetId) {
    get_id_reply(reply);
    return true;
  }
  if (code == kGet) {
    get_reply(reply);
    return true;
  }
  return accept(reply);
}

// The older boot loader knows the global erase; the newer one (with
// --extended-erase) knows Get and the extended erase instead.
bool BootLoader::known_command(uint8_t code, State &next) const {
  static const struct {
    uint8_t code;
    State next;
    bool older, newer;
  } kCommands[] = {
      {kGetId, State::Idle, true, true}, {kWrite, State::WriteAddr, true, true},
      {kGo, State::GoAddr, true, true},  {kErase, State::EraseParam, true, false},
      {kGet, State::Idle, false, true},  {kExtendedErase, State::ExtEraseParam, false, true},
  };
  for (const auto &c : kCommands) {
    if (c.code == code && (opts_.extended_erase ? c.newer : c.older)) {
      next = c.next;
      return true;
    }
  }
  return false;
}

// The command list: count N, the version and N command codes, ACK; or, as a
// fault, the bytes given with --get-reply.
void BootLoader::get_reply(Reply &reply) const {
  static const uint8_t kVersion = 0x31;
  static const uint8_t kCodes[] = {kGet, kGetId, kGo, kWrite, kExtendedErase};
  reply.bytes = {kAck};
  if (faults_.get_reply_given) {
    reply.bytes.insert(reply.bytes.end(), faults_.get_reply.begin(), faults_.get_reply.end());
    return;
  }
  reply.bytes.push_back(sizeof kCodes);
  reply.bytes.push_back(kVersion);
  reply.bytes.insert(reply.bytes.end(), std::begin(kCodes), std::end(kCodes));
  reply.bytes.push_back(kAck);
}

void BootLoader::get_id_reply(Reply &reply) const {
  size_t n = opts_.id > 0xFFFF ? 4 : 2;
  reply.bytes = {kAck, static_cast<uint8_t>(n - 1)};
  size_t sent = n;
  if (faults_.id_short >= 0 && static_cast<size_t>(faults_.id_short) < n) {
    sent = static_cast<size_t>(faults_.id_short);
  }
  for (size_t i = 0; i < sent; ++i) {
    reply.bytes.push_back(static_cast<uint8_t>(opts_.id >> (8 * (n - 1 - i))));
  }
  if (sent == n) reply.bytes.push_back(kAck);
}

// Only the whole flash: the global erase takes 0xFF 0x00, the extended one
// the mass-erase code 0xFFFF and its XOR, 0x00.
bool BootLoader::on_erase(Reply &reply) {
  for (size_t i = 0; i + 1 < block_.size(); ++i)
    if (block_[i] != 0xFF) return refuse(reply);
  if (block_.back() != 0x00) return refuse(reply);
  flash_.erase();
  log_.event("erase");
  state_ = State::Idle;
  reply.delay_ms = opts_.erase_ms;
  return accept(reply);
}

bool BootLoader::on_address(Reply &reply) {
  if (!xor_ok(block_)) return refuse(reply);
  uint32_t addr = be32(block_);
  if (state_ == State::GoAddr) {
    log_.event("go " + hex32(addr));
    fprintf(stderr, "tarvion_module_sim: go 0x%08x: the boot loader has left\n", addr);
    // The boot loader has jumped away: nothing answers until the next reset.
    restart(false);
    return accept(reply);
  }
  if (!flash_.contains(addr, 0)) return refuse(reply);
  write_addr_ = addr;
  state_ = State::WriteData;
  return accept(reply);
}

bool BootLoader::on_data(Reply &reply) {
  if (!xor_ok(block_)) return refuse(reply);
  size_t n = block_[0] + 1u;
  if (!flash_.contains(write_addr_, n)) return refuse(reply);
  std::vector<uint8_t> data(block_.begin() + 1,
                            block_.begin() + 1 + static_cast<std::ptrdiff_t>(n));
  uint32_t first = 0;
  size_t dirty = flash_.program(write_addr_, data, first);
  log_.event("write " + hex32(write_addr_) + " " + std::to_string(n));
  if (dirty > 0) {
    log_.event("overwrite " + hex32(first));
    fprintf(stderr,
            "tarvion_module_sim: write at 0x%08x went over %zu byte(s) not erased, "
            "the first at 0x%08x\n",
            write_addr_, dirty, first);
  }
  state_ = State::Idle;
  reply.hang_up = faults_.hangup_after != 0 && ++writes_done_ == faults_.hangup_after;
  return accept(reply);
}

}  // namespace sim
