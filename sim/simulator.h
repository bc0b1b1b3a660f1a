// The simulated module's run: one poll loop over the pseudo-terminal, the
// sysfs stand-in, the timers of pacing, erase and acknowledgement delay, and
// a self-pipe for signals.
//
// Timing model. A byte the host writes has fully arrived 11/baud seconds after
// the later of its reading from the terminal and the arrival of the byte
// before it; an answer byte is handed to the host 11/baud seconds after the
// later of its start time and the end of the previous one. Without pacing both
// take no time. A block's answer starts when its last byte has arrived, plus
// the erase time or the acknowledgement delay; until then nothing further is
// taken in.
//
// A line change and the host's bytes are taken in the order the host made
// them: while the boot loader runs, the host's bytes were written before it
// pulls a line, so a change waits a few milliseconds for bytes still on their
// way through the terminal and is acted on after them; while the module is
// not in its boot loader, a change seen together with bytes comes first.
#ifndef TARVION_SIM_SIMULATOR_H
#define TARVION_SIM_SIMULATOR_H

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "bootloader.h"
#include "flash.h"
#include "gpio_model.h"
#include "line_noise.h"
#include "log.h"
#include "options.h"
#include "terminal.h"

namespace sim {

class Simulator {
 public:
  explicit Simulator(const SimOptions &opts);
  ~Simulator();
  Simulator(const Simulator &) = delete;
  Simulator &operator=(const Simulator &) = delete;

  // Opens the log, the terminal (and its link) and the sysfs stand-in, and
  // installs the signal handlers. Returns 0, or -1 with a message in err.
  int setup(std::string &err);

  const std::string &slave_path() const { return term_.slave_path(); }

  // Runs until SIGTERM/SIGINT/SIGHUP, or with --exit-on-close until the host
  // has closed the port; then writes the dump. Returns the exit status: 0, or 1
  // when the dump cannot be written.
  int run();

 private:
  struct InByte {
    uint8_t value;
    double read;  // when the simulator read it from the terminal
  };
  struct LineChange {
    LineWrite write;
    double key;  // not acted on before this time, nor before bytes read earlier
  };
  struct TxUnit {
    std::vector<uint8_t> bytes;
    size_t sent = 0;
    double start = 0;  // not before this time
    bool hang_up = false;
  };

  void step(double now);
  bool take_line(double now);
  bool take_byte(double now);
  void send_due_together(double now);
  void send(double now);
  double next_wake(double now) const;
  void poll_once(double now);
  void read_terminal();
  void read_fifos();
  void apply(const LineWrite &w);
  void queue_reply(Reply &reply, double end);
  // A reset or restart at time at, with the boot-select pin high or low.
  void restart_module(bool pin_high, double at);
  void host_closed();
  void hang_up();
  void shutdown();

  SimOptions opts_;
  double start_;
  double byte_time_;
  Log log_;
  Flash flash_;
  BootLoader loader_;
  LineNoise noise_;
  Terminal term_;
  std::unique_ptr<SysfsStandIn> sysfs_;
  int sig_pipe_[2] = {-1, -1};

  std::deque<InByte> input_;
  double rx_end_ = 0;
  double busy_until_ = 0;
  double lost_until_ = 0;  // the module is starting: bytes arriving before are lost
  double boot_start_ = 0;  // when the boot loader last began to listen
  std::deque<LineChange> lines_;
  double last_key_ = 0;
  std::deque<TxUnit> tx_;
  double tx_end_ = 0;
  bool tx_blocked_ = false;  // the terminal's buffer is full: wait for POLLOUT

  int reset_level_ = 1;  // powered with reset high and boot-select low
  int boot_level_ = 0;
  bool finishing_ = false;  // exit once the queued input has been taken in
  bool stop_ = false;
};

}  // namespace sim

#endif
