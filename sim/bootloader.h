// The module's ROM boot loader as a plain state machine: fed the host's bytes
// one at a time, it cuts them into blocks and answers each complete block.
#ifndef TARVION_SIM_BOOTLOADER_H
#define TARVION_SIM_BOOTLOADER_H

#include <cstdint>
#include <vector>

#include "flash.h"
#include "log.h"
#include "options.h"

namespace sim {

constexpr uint8_t kAck = 0x79;
constexpr uint8_t kNack = 0x1F;

// The answer to one block: bytes sent to the host after delay_ms.
struct Reply {
  std::vector<uint8_t> bytes;
  uint32_t delay_ms = 0;
  bool hang_up = false;  // hang up the line once these bytes are out
};

class BootLoader {
 public:
  BootLoader(const SimOptions &opts, Flash &flash, Log &log);

  // Feeds one byte from the host. Returns true when it completed a block that
  // is answered, with the answer in reply; false otherwise (block incomplete,
  // or the module answers nothing).
  bool feed(uint8_t b, Reply &reply);

  // Restarts the module: into the boot loader (running, not yet synchronised)
  // or into something that answers nothing (held in reset, application).
  void restart(bool into_boot_loader);

  bool running() const { return running_; }

 private:
  enum class State { Unsynced, Idle, EraseParam, ExtEraseParam, WriteAddr, WriteData, GoAddr };

  size_t block_length() const;
  bool complete(Reply &reply);
  bool act(Reply &reply);
  bool on_command(uint8_t code, Reply &reply);
  bool on_erase(Reply &reply);
  bool known_command(uint8_t code, State &next) const;
  bool on_address(Reply &reply);
  bool on_data(Reply &reply);
  void get_id_reply(Reply &reply) const;
  void get_reply(Reply &reply) const;

  const SimOptions &opts_;
  Faults faults_;  // a copy: the refusal counters run down
  Flash &flash_;
  Log &log_;
  State state_ = State::Unsynced;
  bool running_ = true;
  std::vector<uint8_t> block_;
  uint64_t blocks_seen_ = 0;
  uint32_t write_addr_ = 0;
  uint32_t writes_done_ = 0;
};

}  // namespace sim

#endif
