// The module's ROM boot loader as a plain state machine: fed the host's bytes
// one at a time, it cuts them into blocks and answers each complete block.
// A command is a byte and its complement; a refusal (0x1F) anywhere inside a
// command ends it, and the boot loader waits for a new command pair. It has
// no inactivity time-out: an incomplete block takes the next bytes as its
// rest.
#ifndef TARVION_SIM_BOOTLOADER_H
#define TARVION_SIM_BOOTLOADER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "flash.h"
#include "log.h"
#include "option_bytes.h"
#include "options.h"

namespace sim {

constexpr uint8_t kAck = 0x79;
constexpr uint8_t kNack = 0x1F;
// What the host receives of an answer sent at a wrong line speed.
constexpr uint8_t kGarbage = 0xE0;

// The answer to one block: bytes sent to the host after early_ms, those from
// late_from on only after delay_ms.
struct Reply {
  std::vector<uint8_t> bytes;
  double early_ms = 0;
  double delay_ms = 0;
  size_t late_from = 0;
  bool hang_up = false;  // hang up the line once these bytes are out
  bool restart = false;  // the module restarts once these bytes are out
};

// True when the last byte of block (two bytes or more) is the XOR of the
// bytes before it.
bool xor_ok(const std::vector<uint8_t> &block);

class BootLoader {
 public:
  BootLoader(const SimOptions &opts, Flash &flash, Log &log);

  // Feeds one byte from the host. Returns true when it completed a block that
  // is answered, with the answer in reply; false otherwise (block incomplete,
  // or the module answers nothing).
  bool feed(uint8_t b, Reply &reply);

  // A reset (the reset line rising, or the module restarting itself): the
  // option load, unless a written area waits for a power cycle, then the
  // boot decision with the boot-select pin high or low, logged as "boot
  // loader|app by <bits>" where option bytes take part; then restart().
  // Returns true when the boot loader starts.
  bool reset(bool pin_high);

  // Restarts the module: into the boot loader (running, not yet synchronised)
  // or into something that answers nothing (held in reset, application).
  // Protection and flash survive.
  void restart(bool into_boot_loader);

  bool running() const { return running_; }
  const OptionBytes &option_bytes() const { return options_; }
  bool synced() const { return state_ != State::Unsynced; }

  // A 0x7F timed wrong as the boot loader started: it has fixed a wrong line
  // speed, and answers every byte with a garbage byte until its next restart.
  void take_wrong_speed();

 private:
  enum class State {
    Unsynced,
    Idle,
    ReadAddr,
    ReadCount,
    WriteAddr,
    WriteData,
    GoAddr,
    Erase,
    ExtErase
  };
  // A command the boot loader offers: the state its next block is read in
  // (Idle: answered at once), which loaders offer it (older: Erase 0x43,
  // newer: Extended Erase 0x44), and whether read-out protection lets it by.
  struct Command {
    uint8_t code;
    const char *name;
    State next;
    bool older, newer, when_protected;
  };
  static const Command kCommands[];

  size_t block_length() const;
  bool complete(Reply &reply);
  bool act(Reply &reply);
  bool refuse(Reply &reply);
  bool on_sync(Reply &reply);
  bool on_command(Reply &reply);
  const Command *find_command(uint8_t code) const;
  bool nack_cmd_fault(uint8_t code);
  void get_reply(Reply &reply) const;
  void get_id_reply(Reply &reply) const;
  bool on_protection(uint8_t code, Reply &reply);

  // Memory commands (bootloader_memory.cpp).
  bool readable(uint32_t addr, size_t len, bool start) const;
  bool in_ram(uint32_t addr, size_t len) const;
  uint8_t read_byte(uint32_t addr) const;
  bool on_read_addr(Reply &reply);
  bool on_read_count(Reply &reply);
  bool on_write_addr(Reply &reply);
  bool on_write_data(Reply &reply);
  bool write_flash(const std::vector<uint8_t> &data);
  bool on_go(Reply &reply);

  // The option area (bootloader_options.cpp).
  bool write_options(const std::vector<uint8_t> &data, Reply &reply);
  void log_rdp(uint32_t word) const;

  // Erase commands (bootloader_erase.cpp).
  bool on_erase(Reply &reply);
  bool on_ext_erase(Reply &reply);
  bool erase_pages(const std::vector<uint32_t> &pages, Reply &reply);
  bool erase_whole(uint32_t from, uint32_t to, const std::string &what, Reply &reply);
  double page_ms(size_t page) const;
  double erase_ms(uint32_t from, uint32_t to, bool whole) const;

  const SimOptions &opts_;
  Faults faults_;  // a copy: the refusal counters run down
  Flash &flash_;
  Log &log_;
  std::vector<uint8_t> ram_;
  State state_ = State::Unsynced;
  bool running_ = true;
  bool wrong_speed_ = false;
  bool read_protected_;
  bool write_protected_;
  OptionBytes options_;
  OptionHalves halves_;  // F4/F7
  std::vector<uint8_t> block_;
  uint64_t blocks_seen_ = 0;
  uint32_t addr_ = 0;  // of the read or write under way
  uint32_t writes_done_ = 0;
};

}  // namespace sim

#endif
