#include "simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "clock.h"

namespace sim {

namespace {

// Time a line change waits, while the boot loader runs, for host bytes that
// were written before it but are still on their way through the terminal.
constexpr double kLineSettle = 0.005;
constexpr double kLongSleep = 300e-6;
constexpr double kEarlyWake = 200e-6;
constexpr double kNever = std::numeric_limits<double>::infinity();

int g_signal_fd = -1;

void on_signal(int) {
  int saved = errno;
  char c = 1;
  ssize_t ignored = write(g_signal_fd, &c, 1);
  (void)ignored;
  errno = saved;
}

}  // namespace

Simulator::Simulator(const SimOptions &opts)
    : opts_(opts),
      start_(now_s()),
      byte_time_(opts.baud ? 11.0 / opts.baud : 0.0),
      log_(start_),
      flash_(opts.flash_base, opts.flash_size, opts.page_size, opts.sectors, opts.program_unit,
             opts.banks),
      loader_(opts_, flash_, log_),
      noise_(opts_.line, log_) {
  boot_start_ = start_;
}

Simulator::~Simulator() {
  for (int fd : sig_pipe_) {
    if (fd >= 0) close(fd);
  }
}

int Simulator::setup(std::string &err) {
  if (!opts_.log.empty() && log_.open(opts_.log) != 0) {
    err = "cannot open log " + opts_.log + ": " + strerror(errno);
    return -1;
  }
  if (!opts_.flash_init.empty() && flash_.load(opts_.flash_init) != 0) {
    err = "cannot load " + opts_.flash_init + ": " +
          (errno == EFBIG ? std::string("larger than the flash") : strerror(errno));
    return -1;
  }
  if (pipe2(sig_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    err = std::string("pipe: ") + strerror(errno);
    return -1;
  }
  g_signal_fd = sig_pipe_[1];
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  // A parent may have left them blocked; SIGTERM must always end the run.
  sigset_t stops;
  sigemptyset(&stops);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) {
    sigaction(s, &sa, nullptr);
    sigaddset(&stops, s);
  }
  sigprocmask(SIG_UNBLOCK, &stops, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // Pacing wants wake-ups on time, not up to 50 us late.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  if (term_.open(opts_.link, err) != 0) return -1;
  if (!opts_.sysfs.empty()) {
    sysfs_.reset(new SysfsStandIn);
    if (sysfs_->open(opts_.sysfs, opts_.reset_gpio, opts_.boot_gpio, err) != 0) return -1;
    // As if powered with reset high and boot-select low: the application
    // runs, unless the boot loader was left listening by an earlier run.
    if (!opts_.already_synced) loader_.restart(false);
  }
  return 0;
}

int Simulator::run() {
  while (!stop_) {
    double now = now_s();
    step(now);
    if (finishing_ && input_.empty() && lines_.empty()) break;
    poll_once(now);
  }
  shutdown();
  if (!opts_.dump.empty() && flash_.dump(opts_.dump) != 0) {
    fprintf(stderr, "tarvion_module_sim: cannot write %s: %s\n", opts_.dump.c_str(),
            strerror(errno));
    return 1;
  }
  return 0;
}

void Simulator::step(double now) {
  while (take_line(now) || take_byte(now)) {
  }
  send(now);
}

// The next line change, once its time has come and every byte read before it
// has been taken in.
bool Simulator::take_line(double now) {
  if (lines_.empty()) return false;
  const LineChange &c = lines_.front();
  if (c.key > now || (!input_.empty() && input_.front().read < c.key)) return false;
  LineWrite w = c.write;
  lines_.pop_front();
  apply(w);
  return true;
}

// A byte is taken in as soon as it has been read: only the answer to a block
// is visible to the host, and that is scheduled for when the block's last
// byte has fully arrived on the (paced) line.
bool Simulator::take_byte(double now) {
  if (input_.empty() || busy_until_ > now) return false;
  const InByte &b = input_.front();
  if (!lines_.empty() && b.read >= lines_.front().key) return false;
  double end = std::max(b.read, rx_end_) + byte_time_;
  uint8_t value = b.value;
  input_.pop_front();
  rx_end_ = end;
  if (end < lost_until_) {
    log_.event("starting lost " + hex_bytes({value}));
    return true;
  }
  // A 0x7F on the line while the boot loader begins to measure it.
  const double window = opts_.autobaud_window_us / 1e6;
  if (window > 0 && value == 0x7F && loader_.running() && !loader_.synced() &&
      end - byte_time_ < boot_start_ + window)
    loader_.take_wrong_speed();
  Reply reply;
  if (loader_.feed(value, reply)) queue_reply(reply, end);
  return true;
}

// The answer goes out once its block has arrived (end), its late part after
// the delay; the module is busy (erasing, or slow to answer) until its last
// part starts.
void Simulator::queue_reply(Reply &reply, double end) {
  noise_.to_host(reply.bytes);
  size_t split = std::min(reply.late_from, reply.bytes.size());
  TxUnit early, late;
  early.bytes.assign(reply.bytes.begin(), reply.bytes.begin() + static_cast<std::ptrdiff_t>(split));
  early.start = end + reply.early_ms / 1000.0;
  late.bytes.assign(reply.bytes.begin() + static_cast<std::ptrdiff_t>(split), reply.bytes.end());
  late.start = end + reply.delay_ms / 1000.0;
  late.hang_up = reply.hang_up;
  busy_until_ = late.start;
  if (term_.host() != Terminal::Host::HungUp) {
    if (!early.bytes.empty()) tx_.push_back(early);
    if (!late.bytes.empty()) tx_.push_back(late);
  }
  if (!reply.restart) return;
  // The module restarts once its answer is out, as its reset does.
  double out = late.start + static_cast<double>(reply.bytes.size()) * byte_time_;
  restart_module(!sysfs_ || boot_level_ == 1, out);
}

void Simulator::restart_module(bool pin_high, double at) {
  const bool boot = loader_.reset(pin_high);
  log_.event(boot ? "restart boot" : "restart app");
  if (!boot) fprintf(stderr, "module restarted into its application\n");
  lost_until_ = opts_.boot_ms ? at + opts_.boot_ms / 1000.0 : 0;
  boot_start_ = at + opts_.boot_ms / 1000.0;
  if (opts_.zero_on_reset && term_.host() != Terminal::Host::HungUp) {
    TxUnit zero;
    zero.bytes = {0x00};
    zero.start = boot_start_;
    tx_.push_back(zero);
  }
}

// Without pacing, every answer that is due goes out in one write, back to
// back as a line carries them: a host that reads one of them finds the
// others waiting.
void Simulator::send(double now) {
  if (byte_time_ <= 0) send_due_together(now);
  while (!tx_.empty() && !tx_blocked_) {
    TxUnit &u = tx_.front();
    size_t want = u.bytes.size() - u.sent;
    double end = u.start;
    if (byte_time_ > 0) {
      end = std::max(u.start, tx_end_) + byte_time_;
      want = 1;
    }
    if (end > now) return;
    ssize_t n = write(term_.master(), u.bytes.data() + u.sent, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      tx_blocked_ = true;
      return;
    }
    if (n <= 0) {  // nobody to send to any more
      tx_.pop_front();
      continue;
    }
    u.sent += static_cast<size_t>(n);
    tx_end_ = end;
    if (u.sent < u.bytes.size()) continue;
    log_.tx(u.bytes);
    bool hang = u.hang_up;
    tx_.pop_front();
    if (hang) hang_up();
  }
}

void Simulator::send_due_together(double now) {
  std::vector<uint8_t> out;
  size_t units = 0;
  for (const TxUnit &u : tx_) {
    if (u.start > now || u.hang_up) break;
    out.insert(out.end(), u.bytes.begin() + static_cast<std::ptrdiff_t>(u.sent), u.bytes.end());
    ++units;
  }
  if (units < 2 || tx_blocked_) return;
  ssize_t n = 0;
  do {
    n = write(term_.master(), out.data(), out.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno == EAGAIN) tx_blocked_ = true;
  if (n <= 0) return;
  // What went out is taken off the units in order; a unit sent whole is
  // logged and done.
  size_t left = static_cast<size_t>(n);
  while (left > 0 && !tx_.empty()) {
    TxUnit &u = tx_.front();
    const size_t take = std::min(left, u.bytes.size() - u.sent);
    u.sent += take;
    left -= take;
    if (u.sent < u.bytes.size()) break;
    log_.tx(u.bytes);
    tx_.pop_front();
  }
}

double Simulator::next_wake(double now) const {
  double wake = kNever;
  bool line_first =
      !lines_.empty() && (input_.empty() || input_.front().read >= lines_.front().key);
  if (line_first) {
    wake = lines_.front().key;
  } else if (!input_.empty()) {
    wake = busy_until_;
  }
  if (!tx_.empty() && !tx_blocked_) {
    const TxUnit &u = tx_.front();
    wake = std::min(wake, byte_time_ > 0 ? std::max(u.start, tx_end_) + byte_time_ : u.start);
  }
  return std::max(wake, now);
}

void Simulator::poll_once(double now) {
  std::vector<struct pollfd> fds;
  fds.push_back({sig_pipe_[0], POLLIN, 0});
  bool hung = term_.host() == Terminal::Host::HungUp;
  size_t nfifo = sysfs_ ? 1 : 0;
  if (sysfs_) fds.push_back({sysfs_->fd(), POLLIN, 0});
  if (!hung) {
    fds.push_back({term_.notify(), POLLIN, 0});
    short ev = POLLIN;
    if (tx_blocked_) ev |= POLLOUT;
    fds.push_back({term_.master(), ev, 0});
  }
  double wake = next_wake(now);
  struct timespec ts;
  struct timespec *tsp = nullptr;
  if (wake != kNever) {
    double d = wake - now;
    // A long sleep ends late (the processor may have gone idle); wake shortly
    // before the time and take the rest as a short, punctual sleep.
    if (d > kLongSleep) d -= kEarlyWake;
    ts.tv_sec = static_cast<time_t>(d);
    ts.tv_nsec = static_cast<long>((d - static_cast<double>(ts.tv_sec)) * 1e9);
    tsp = &ts;
  }
  int rc = ppoll(fds.data(), fds.size(), tsp, nullptr);
  if (rc <= 0) return;  // time-out, or EINTR: the self-pipe tells about signals
  if (fds[0].revents) stop_ = true;
  // Line changes first: see the class comment for the order of changes and bytes.
  if (sysfs_ && fds[1].revents) read_fifos();
  if (hung) return;
  const struct pollfd &notify = fds[1 + nfifo];
  const struct pollfd &master = fds[2 + nfifo];
  if (notify.revents) term_.host_opened();
  if (master.revents & POLLOUT) tx_blocked_ = false;
  if (master.revents & (POLLIN | POLLHUP | POLLERR)) read_terminal();
}

void Simulator::read_terminal() {
  // Bytes from the host mean that it has the port open, whatever the watch
  // has told so far.
  if (term_.host() == Terminal::Host::Absent) term_.host_opened();
  uint8_t buf[4096];
  for (;;) {
    ssize_t n = read(term_.master(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {  // EIO: no slave descriptor is open any more
      host_closed();
      return;
    }
    term_.host_seen();
    double t = now_s();
    for (ssize_t i = 0; i < n; ++i) {
      uint8_t b = buf[i];
      if (noise_.from_host(b)) input_.push_back({b, t});
    }
  }
}

void Simulator::read_fifos() {
  std::vector<LineWrite> writes;
  sysfs_->read_all(now_s(), writes);
  for (const LineWrite &w : writes) {
    log_.gpio(w.words(), w.seen);
    double key = w.seen + (loader_.running() ? kLineSettle : 0.0);
    last_key_ = std::max(last_key_, key);
    lines_.push_back({w, last_key_});
  }
}

void Simulator::apply(const LineWrite &w) {
  if (w.kind != LineWrite::Value) return;
  log_.acted(w.words());
  int level = w.text == "1" ? 1 : 0;
  if (w.line == Line::Boot) {
    boot_level_ = level;
    return;
  }
  int before = reset_level_;
  reset_level_ = level;
  if (before == 1 && level == 0) {
    // Held in reset: whatever the module was doing or sending stops.
    loader_.restart(false);
    tx_.clear();
    busy_until_ = 0;
  } else if (before == 0 && level == 1) {
    restart_module(boot_level_ == 1, w.seen);
  }
}

void Simulator::host_closed() {
  term_.host_closed();
  tx_.clear();
  tx_blocked_ = false;
  if (opts_.exit_on_close) finishing_ = true;
}

void Simulator::hang_up() {
  term_.hang_up();
  tx_.clear();
  tx_blocked_ = false;
  input_.clear();
  log_.event("hangup");
  fprintf(stderr, "tarvion_module_sim: hung up the line\n");
  if (opts_.exit_on_close) finishing_ = true;
}

// Line changes the host made before we stop are still logged and acted on.
void Simulator::shutdown() {
  if (sysfs_) read_fifos();
  while (!lines_.empty()) {
    LineWrite w = lines_.front().write;
    lines_.pop_front();
    apply(w);
  }
}

}  // namespace sim
