#include "bootloader.h"

#include <cstdio>

namespace sim {

namespace {

constexpr uint8_t kSync = 0x7F;
constexpr uint8_t kGet = 0x00;
constexpr uint8_t kGetVersion = 0x01;
constexpr uint8_t kGetId = 0x02;
constexpr uint8_t kWriteUnprotect = 0x73;
constexpr uint8_t kReadoutProtect = 0x82;
constexpr uint8_t kReadoutUnprotect = 0x92;
constexpr uint32_t kRamSize = 64 * 1024;

}  // namespace

bool xor_ok(const std::vector<uint8_t> &block) {
  uint8_t x = 0;
  for (size_t i = 0; i + 1 < block.size(); ++i) x ^= block[i];
  return x == block.back();
}

const BootLoader::Command BootLoader::kCommands[] = {
    {0x00, "get", State::Idle, true, true, true},
    {0x01, "get-version", State::Idle, true, true, true},
    {0x02, "get-id", State::Idle, true, true, true},
    {0x11, "read", State::ReadAddr, true, true, false},
    {0x21, "go", State::GoAddr, true, true, false},
    {0x31, "write", State::WriteAddr, true, true, false},
    {0x43, "erase", State::Erase, true, false, false},
    {0x44, "erase", State::ExtErase, false, true, false},
    {0x73, "write-unprotect", State::Idle, true, true, false},
    {0x82, "readout-protect", State::Idle, true, true, false},
    {0x92, "readout-unprotect", State::Idle, true, true, true},
};

BootLoader::BootLoader(const SimOptions &opts, Flash &flash, Log &log)
    : opts_(opts),
      faults_(opts.faults),
      flash_(flash),
      log_(log),
      ram_(kRamSize, 0),
      state_(opts.already_synced ? State::Idle : State::Unsynced),
      read_protected_(opts.read_protected ||
                      (opts.option_area != OptionArea::None && rdp_level(opts.option_word) != 0)),
      write_protected_(opts.write_protected),
      options_(opts.option_area, opts.option_word, opts.option_place),
      halves_(opts.optcr ? opts.option_place.base : 0, opts.optcr ? opts.option_place.size : 0,
              opts.optcr, opts.bad_option_complement) {
  if (opts.bad_option_complement && !opts.optcr) options_.damage_complement();
}

size_t BootLoader::block_length() const {
  switch (state_) {
    case State::Unsynced:
      return 1;
    case State::Idle:
    case State::ReadCount:
      return 2;
    case State::ReadAddr:
    case State::WriteAddr:
    case State::GoAddr:
      return 5;
    // Count N-1, N data bytes, checksum; before the count at least three.
    case State::WriteData:
      return block_.empty() ? 3 : block_[0] + 3u;
    // 0xFF 0x00, or count N-1, N page bytes, checksum.
    case State::Erase:
      return block_.empty() || block_[0] == 0xFF ? 2 : block_[0] + 3u;
    // A special code (0xFFF0 and up) and its checksum, or a 16-bit count
    // N-1, N 16-bit page numbers, checksum.
    case State::ExtErase: {
      if (block_.size() < 2) return 3;
      unsigned n = static_cast<unsigned>(block_[0]) << 8 | block_[1];
      return n >= 0xFFF0 ? 3 : 2 * n + 5;
    }
  }
  return 1;
}

bool BootLoader::feed(uint8_t b, Reply &reply) {
  if (wrong_speed_ && running_) {
    log_.rx({b});
    reply = Reply();
    reply.bytes = {kGarbage};
    return true;
  }
  block_.push_back(b);
  if (block_.size() < block_length()) return false;
  bool answered = complete(reply);
  block_.clear();
  return answered;
}

void BootLoader::take_wrong_speed() {
  wrong_speed_ = true;
  log_.event("autobaud wrong");
}

void BootLoader::restart(bool into_boot_loader) {
  running_ = into_boot_loader;
  wrong_speed_ = false;
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
    refuse(reply);
  } else if (wrong != faults_.wrong_bytes.end()) {
    refuse(reply);
    reply.bytes = {static_cast<uint8_t>(wrong->second)};
  } else {
    act(reply);
  }
  reply.early_ms = faults_.ack_delay_ms;
  reply.delay_ms += faults_.ack_delay_ms;
  return true;
}

// A refusal ends the command: the next block is a command pair.
bool BootLoader::refuse(Reply &reply) {
  reply.bytes = {kNack};
  reply.late_from = 0;
  if (state_ != State::Unsynced) state_ = State::Idle;
  return false;
}

bool BootLoader::act(Reply &reply) {
  switch (state_) {
    case State::Unsynced:
      return on_sync(reply);
    case State::Idle:
      return on_command(reply);
    case State::ReadAddr:
      return on_read_addr(reply);
    case State::ReadCount:
      return on_read_count(reply);
    case State::WriteAddr:
      return on_write_addr(reply);
    case State::WriteData:
      return on_write_data(reply);
    case State::GoAddr:
      return on_go(reply);
    case State::Erase:
      return on_erase(reply);
    case State::ExtErase:
      return on_ext_erase(reply);
  }
  return refuse(reply);
}

bool BootLoader::on_sync(Reply &reply) {
  if (block_[0] != kSync || nack_cmd_fault(kSync)) return refuse(reply);
  state_ = State::Idle;
  log_.event("sync");
  reply.bytes = {kAck};
  // Some adapters put a stray byte on the line as the module starts.
  if (faults_.garbage_before_ack) {
    faults_.garbage_before_ack = false;
    reply.bytes.insert(reply.bytes.begin(), kGarbage);
  }
  return true;
}

bool BootLoader::nack_cmd_fault(uint8_t code) {
  auto it = faults_.nack_cmds.find(code);
  if (it == faults_.nack_cmds.end() || it->second == 0) return false;
  --it->second;
  return true;
}

// The older boot loader (below 3.0) offers the Erase 0x43, the newer one the
// Extended Erase 0x44 instead.
const BootLoader::Command *BootLoader::find_command(uint8_t code) const {
  for (const Command &c : kCommands)
    if (c.code == code && (opts_.extended_erase ? c.newer : c.older)) return &c;
  return nullptr;
}

bool BootLoader::on_command(Reply &reply) {
  uint8_t code = block_[0];
  if (block_[1] != (code ^ 0xFF)) return refuse(reply);
  const Command *c = find_command(code);
  if (!c || (read_protected_ && !c->when_protected) || nack_cmd_fault(code)) return refuse(reply);
  state_ = c->next;
  reply.bytes = {kAck};
  if (c->next != State::Idle) return true;
  log_.event(std::string("cmd ") + c->name);
  if (code == kGet) get_reply(reply);
  if (code == kGetVersion) reply.bytes.insert(reply.bytes.end(), {opts_.version, 0, 0, kAck});
  if (code == kGetId) get_id_reply(reply);
  if (code == kWriteUnprotect || code == kReadoutProtect || code == kReadoutUnprotect)
    return on_protection(code, reply);
  return true;
}

// The command list: count N, the version and N command codes, ACK; or, as a
// fault, the bytes given with --get-reply.
void BootLoader::get_reply(Reply &reply) const {
  if (faults_.get_reply_given) {
    reply.bytes.insert(reply.bytes.end(), faults_.get_reply.begin(), faults_.get_reply.end());
    return;
  }
  std::vector<uint8_t> codes;
  for (const Command &c : kCommands)
    if (opts_.extended_erase ? c.newer : c.older) codes.push_back(c.code);
  reply.bytes.push_back(static_cast<uint8_t>(codes.size()));
  reply.bytes.push_back(opts_.version);
  reply.bytes.insert(reply.bytes.end(), codes.begin(), codes.end());
  reply.bytes.push_back(kAck);
}

void BootLoader::get_id_reply(Reply &reply) const {
  size_t n = opts_.id > 0xFFFF ? 4 : 2;
  reply.bytes.push_back(static_cast<uint8_t>(n - 1));
  size_t sent = n;
  if (faults_.id_short >= 0 && static_cast<size_t>(faults_.id_short) < n) {
    sent = static_cast<size_t>(faults_.id_short);
  }
  for (size_t i = 0; i < sent; ++i) {
    reply.bytes.push_back(static_cast<uint8_t>(opts_.id >> (8 * (n - 1 - i))));
  }
  if (sent == n) reply.bytes.push_back(kAck);
}

// ACK, then (after the erase a lifted read-out protection takes) ACK; then
// the module restarts with its new option bytes where its family does so,
// else it stays synchronised. The protection changes at once either way.
bool BootLoader::on_protection(uint8_t code, Reply &reply) {
  reply.bytes.push_back(kAck);
  reply.late_from = 1;
  reply.restart = opts_.reset_after_options == 1;
  if (code == kWriteUnprotect) write_protected_ = false;
  if (code == kReadoutProtect) {
    read_protected_ = true;
    options_.set_rdp(0xBB);
  }
  if (code == kReadoutUnprotect) {
    flash_.erase();
    log_.event("erase");
    read_protected_ = false;
    options_.set_rdp(0xAA);
    reply.delay_ms = erase_ms(0, static_cast<uint32_t>(flash_.bytes().size()), true);
  }
  fprintf(stderr, "tarvion_module_sim: %s: the module %s\n",
          code == kWriteUnprotect   ? "write protection lifted"
          : code == kReadoutProtect ? "read-out protection set"
                                    : "read-out protection lifted, flash erased",
          reply.restart ? "restarts" : "stays synchronised");
  return true;
}

}  // namespace sim
