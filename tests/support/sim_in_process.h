// The simulated module's boot loader fed in-process, and the answers and
// blocks its tests share.
#ifndef TARVION_SIM_IN_PROCESS_H
#define TARVION_SIM_IN_PROCESS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bootloader.h"
#include "bytes.h"
#include "sim_process.h"
#include "testsupport.h"

namespace testsupport {

inline const std::vector<std::string> kSizing = {"--part", "--flash-size"};

// The boot loader alone, in-process: its options from a command line as the
// simulator takes it, a flash and a log of its own.
class InProcess {
 public:
  explicit InProcess(std::vector<std::string> args = {}) {
    // The rows without a part were written for a module of 128 KiB.
    const bool sized =
        std::find_first_of(args.begin(), args.end(), kSizing.begin(), kSizing.end()) != args.end();
    if (!sized) args.insert(args.begin(), {"--flash-size", "131072"});
    args.insert(args.begin(), {"tarvion_module_sim", "--log", dir_.file("sim.log")});
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    std::string err;
    EXPECT_EQ(sim::parse_sim_options(int(argv.size()), argv.data(), opts_, err), 0) << err;
    flash_ = std::make_unique<sim::Flash>(opts_.flash_base, opts_.flash_size, opts_.page_size,
                                          opts_.sectors, opts_.program_unit, opts_.banks);
    if (!opts_.flash_init.empty()) {
      EXPECT_EQ(flash_->load(opts_.flash_init), 0);
    }
    EXPECT_EQ(log_.open(opts_.log), 0);
    loader_ = std::make_unique<sim::BootLoader>(opts_, *flash_, log_);
  }

  // Feeds a block byte by byte and returns every byte answered to it.
  Bytes ask(const Bytes &block) {
    Bytes out;
    for (uint8_t b : block) {
      sim::Reply reply;
      if (!loader_->feed(b, reply)) continue;
      out = cat(out, reply.bytes);
      delay_ms = reply.delay_ms;
      restarts = reply.restart;
    }
    return out;
  }

  double delay_ms = 0;    // of the last answer
  bool restarts = false;  // the last answer restarts the module

  const sim::SimOptions &opts() const { return opts_; }
  void take_wrong_speed() { loader_->take_wrong_speed(); }
  void restart() { loader_->restart(true); }
  bool reset(bool pin_high) { return loader_->reset(pin_high); }

  std::vector<SimLogRecord> log() const { return parse_sim_log(read_file(dir_.file("sim.log"))); }
  std::vector<std::string> events() const { return rests(of_kind(log(), "event")); }
  std::string flash() const { return std::string(flash_->bytes().begin(), flash_->bytes().end()); }

 private:
  TempDir dir_;
  sim::SimOptions opts_;
  sim::Log log_{0};
  std::unique_ptr<sim::Flash> flash_;
  std::unique_ptr<sim::BootLoader> loader_;
};

// The command list after the count and version: the older boot loader offers
// Erase 0x43, the newer one Extended Erase 0x44.
inline Bytes get_answer(uint8_t version, uint8_t erase) {
  return {ACK, 10, version, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, erase, 0x73, 0x82, 0x92, ACK};
}

inline const Bytes kRead = {0x11, 0xEE};

inline Bytes count_block(size_t n) {
  return {uint8_t(n - 1), uint8_t(~(n - 1))};
}

inline constexpr uint32_t kOptions = 0x1FFF7800;

// The first n double words of an option area, little-endian: word and its
// complement, then rest and its complement.
inline Bytes option_area(uint32_t word, uint32_t rest = 0xFFFFFFFF, size_t n = 16) {
  Bytes b;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t v = i == 0 ? word : rest;
    for (uint32_t x : {v, ~v})
      for (int k = 0; k < 4; ++k) b.push_back(uint8_t(x >> (8 * k)));
  }
  return b;
}

}  // namespace testsupport

#endif
