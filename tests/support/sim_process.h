// Runs the simulated module (tarvion_module_sim) for a test: starts it with a
// dump file and a log in a fresh temporary directory, waits for its readiness
// line, and reads back what it logged.
#ifndef TARVION_SIM_PROCESS_H
#define TARVION_SIM_PROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "testsupport.h"

namespace testsupport {

// One line of the simulator's log: "<t> <kind> <rest>".
struct SimLogRecord {
  double t = 0;      // seconds since the simulator started
  std::string kind;  // "rx", "tx", "event" or "gpio"
  std::string rest;  // the words after the kind, e.g. "02 fd" or "write 08000000 256"
};

// Parses log text; lines that do not have the form are skipped.
std::vector<SimLogRecord> parse_sim_log(const std::string &text);

// "02 fd" -> {0x02, 0xfd}.
std::vector<uint8_t> parse_hex_bytes(const std::string &text);

// The records of one kind, and the words after the kind of each record.
std::vector<SimLogRecord> of_kind(const std::vector<SimLogRecord> &log, const std::string &kind);
std::vector<std::string> rests(const std::vector<SimLogRecord> &records);

// Path of the built simulator.
std::string sim_path();

class SimProcess {
 public:
  // Starts the simulator with "--dump <dir>/flash.bin --log <dir>/sim.log" and
  // the given arguments, and waits up to ready_timeout_ms for the terminal's
  // path on its standard output. On failure ready() is false, the process is
  // gone, and a test failure has been recorded with the simulator's stderr.
  explicit SimProcess(const std::vector<std::string> &args = {}, int ready_timeout_ms = 20000);
  ~SimProcess();  // stop() when still running
  SimProcess(const SimProcess &) = delete;
  SimProcess &operator=(const SimProcess &) = delete;

  bool ready() const { return !tty_.empty(); }
  pid_t pid() const { return pid_; }
  const std::string &tty_path() const { return tty_; }
  const std::string &dir() const { return dir_.path(); }
  std::string file(const std::string &name) const { return dir_.file(name); }
  std::string dump_path() const { return dir_.file("flash.bin"); }
  std::string log_path() const { return dir_.file("sim.log"); }
  std::string stderr_path() const { return dir_.file("sim.err"); }

  // SIGTERM, then waits for the exit (SIGKILL after 10 s). Returns the exit
  // status, or 128 + signal number; once exited, the same status again.
  int stop();

  // Waits up to timeout_ms for the simulator to end by itself. Returns its
  // status as stop() does, or -1 when it is still running.
  int wait_exit(int timeout_ms);

  std::vector<SimLogRecord> log() const { return parse_sim_log(read_file(log_path())); }
  std::vector<std::vector<uint8_t>> rx_blocks() const;  // every "rx" record's bytes
  std::vector<std::string> events() const;              // every "event" record's words
  std::string dump() const { return read_file(dump_path()); }
  std::string stderr_text() const { return read_file(stderr_path()); }

 private:
  bool spawn(const std::vector<std::string> &argv);  // false when it could not start
  std::string read_line(int timeout_ms);             // first line of its stdout, or ""
  bool reap(int flags);

  TempDir dir_;
  pid_t pid_ = -1;
  int out_ = -1;  // its standard output, kept open for as long as it runs
  bool exited_ = false;
  int status_ = -1;
  std::string tty_;
};

// Whether the module logged an event starting with prefix.
bool has_event(const SimProcess &sim, const std::string &prefix);

using LogPredicate = std::function<bool(const std::vector<SimLogRecord> &)>;

// Reads the module's log every millisecond until done holds for it, or
// timeout_ms have passed. Returns whether it held.
bool wait_for_log(const SimProcess &sim, const LogPredicate &done, int timeout_ms = 10000);

// Waits up to 10 s until the log holds count records of this kind and words.
bool wait_for_record(const SimProcess &sim, const std::string &kind, const std::string &rest,
                     int count = 1);

// The blocks the module received, once there are at least n of them (it logs
// a block as soon as it has taken it in) or 5 s have passed.
std::vector<std::vector<uint8_t>> blocks_received(const SimProcess &sim, size_t n);

}  // namespace testsupport

#endif
