#include "port.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <ctime>

#include "util.h"

namespace {

constexpr long long kSlowestBaud = 19200;
constexpr int kBitsPerByte = 11;  // start bit, 8 data bits, parity, stop bit
constexpr int kOutputSlackMs = 1000;
// A tenth of a millisecond: a byte's time at 115200 Bd.
constexpr long kOutqPollNs = 100000;

using Clock = std::chrono::steady_clock;

// Rounded up: a wait cut short by the rounding would end its budget early.
int ms_left(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<long long>(left.count(), 0));
}

Clock::time_point after_ms(int ms) {
  return Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
}

int queued_output(int fh, int *queued) {
  *queued = 0;
  return ioctl(fh, TIOCOUTQ, queued);
}

void pause_poll() {
  const timespec pause = {0, kOutqPollNs};
  nanosleep(&pause, nullptr);
}

// Nothing read although a wait said there was: the end of the file (a
// hang-up, or no terminal), or nothing after all (another reader took the
// bytes, or settings that let a read return at once). Returns true when the
// wait is to go on, false with errno set when the read failed.
bool nothing_read(int fh, ssize_t n) {
  if (n == 0 && (!isatty(fh) || port_hung_up(fh))) {
    errno = EIO;
    return false;
  }
  return !(n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

}  // namespace

int port_output_budget_ms(size_t n) {
  const long long wire = static_cast<long long>(n) * kBitsPerByte * 1000 / kSlowestBaud;
  return static_cast<int>(std::min(wire, 600000LL)) + kOutputSlackMs;
}

int port_write_all(int fh, const unsigned char *p, size_t n, const volatile sig_atomic_t *stop) {
  const auto deadline = after_ms(port_output_budget_ms(n));
  while (n > 0) {
    const ssize_t w = write(fh, p, n);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
      // A write that a signal cut short must not block again once stopped.
      if (n > 0 && stop && *stop) {
        errno = EINTR;
        return -1;
      }
      continue;
    }
    if (w < 0 && errno == EINTR && !(stop && *stop)) continue;
    if (w == 0) errno = EIO;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    // The output is full or held back: it is given the rest of the budget.
    const int r = wait_fh_writable_rest(fh, ms_left(deadline), stop);
    if (r < 0) return -1;
    if (r == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
  }
  return 0;
}

int port_drain(int fh, const volatile sig_atomic_t *stop) {
  int queued = 0;
  if (queued_output(fh, &queued) < 0) return -1;
  // A line held up by flow control, or a peer that does not read, must not
  // hang the flasher: the wait is bounded by the wire time of the queue.
  const auto deadline = after_ms(port_output_budget_ms(static_cast<size_t>(queued)));
  while (queued > 0) {
    if (stop && *stop) {
      errno = EINTR;
      return -1;
    }
    if (Clock::now() >= deadline) {
      (void)tcflush(fh, TCOFLUSH);
      errno = ETIMEDOUT;
      return -1;
    }
    pause_poll();
    if (queued_output(fh, &queued) < 0) return -1;
  }
  // The queue is empty: what is left is the transmitter's own few bytes,
  // whose wait the serial drivers bound themselves.
  return tcdrain(fh);
}

bool port_wait_sent(int fh, int max_ms, const volatile sig_atomic_t *stop) {
  const auto end = after_ms(max_ms);
  for (;;) {
    int n = 0;
    if (queued_output(fh, &n) != 0 || n <= 0) return true;
    if (Clock::now() >= end || (stop && *stop)) return false;
    pause_poll();
  }
}

bool port_output_queued(int fh) {
  int n = 0;
  return queued_output(fh, &n) == 0 && n > 0;
}

// A failed wait never leads into a read: a byte the wait saw may be gone
// (another reader took it), and the read then finds nothing and the wait
// goes on for the rest of its time.
int port_await_byte(int fh, unsigned char *b, int ms, const volatile sig_atomic_t *stop) {
  size_t got = 0;
  return port_read_bytes(fh, b, 1, ms, stop, &got) == 1 ? 0 : -1;
}

int port_read_bytes(int fh, unsigned char *buf, size_t n, int ms, const volatile sig_atomic_t *stop,
                    size_t *got) {
  size_t have = 0;
  if (got) *got = 0;
  auto deadline = after_ms(ms);
  while (have < n) {
    const int r = wait_fh_rest(fh, ms_left(deadline), stop);
    if (r == 0) errno = EBUSY;
    if (r <= 0) return -1;
    const ssize_t k = read(fh, buf + have, n - have);
    if (k > 0) {
      have += static_cast<size_t>(k);
      if (got) *got = have;
      // Each arrival earns the next bytes a whole wait.
      deadline = after_ms(ms);
      continue;
    }
    if (!nothing_read(fh, k)) return -1;
    if (Clock::now() >= deadline) {
      errno = EBUSY;
      return -1;
    }
  }
  return static_cast<int>(have);
}

bool port_hung_up(int fh) {
  struct pollfd p = {fh, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Bytes, not a hang-up: a port whose far end went away is readable too.
bool port_input_pending(int fh) {
  int n = 0;
  return ioctl(fh, FIONREAD, &n) == 0 && n > 0;
}

// Reads what is waiting rather than flushing it, so that every byte is
// counted: one that arrives during a flush would be lost uncounted. A read
// that finds nothing (another reader took the bytes) ends it.
size_t port_take_input(int fh, std::vector<unsigned char> *out) {
  size_t total = 0;
  int n = 0;
  if (ioctl(fh, FIONREAD, &n) != 0) {
    (void)tcflush(fh, TCIFLUSH);
    return 0;
  }
  std::array<unsigned char, 256> sink;
  while (n > 0) {
    const ssize_t r = read(fh, sink.data(), std::min(sink.size(), static_cast<size_t>(n)));
    if (r <= 0) break;
    total += static_cast<size_t>(r);
    out->insert(out->end(), sink.begin(), sink.begin() + r);
    if (ioctl(fh, FIONREAD, &n) != 0) break;
  }
  return total;
}
