#include "loader.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "loader_internal.h"
#include "util.h"

volatile sig_atomic_t ld_abort = 0;

namespace ld_internal {

ld_reentry reentry = {nullptr, nullptr};
std::vector<unsigned char> last_wire;
bool answer_ahead = false;
unsigned stray_acts = 0;

namespace {

// The port is non-blocking: another process (root is not kept out by the
// exclusive mode) may read the bytes a wait saw arrive, change the line's
// settings or hold its output back by flow control, and no call may then
// block for good. Every wait on the port has a deadline instead.

// Budgets of the output: the wire time of the bytes at the slowest speed
// the port is set to (11 bits a byte), and a second of slack.
constexpr long long kSlowestBaud = 19200;
constexpr int kBitsPerByte = 11;
constexpr int kOutputSlackMs = 1000;
constexpr auto kOutqPoll = std::chrono::microseconds(200);

int output_budget_ms(size_t n) {
  const long long wire = static_cast<long long>(n) * kBitsPerByte * 1000 / kSlowestBaud;
  return static_cast<int>(std::min(wire, 600000LL)) + kOutputSlackMs;
}

using Clock = std::chrono::steady_clock;

// Rounded up: a wait cut short by the rounding would end its budget early.
int ms_left(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<long long>(left.count(), 0));
}

}  // namespace

int write_all(int fh, const unsigned char *p, size_t n) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(output_budget_ms(n));
  while (n > 0) {
    const ssize_t w = write(fh, p, n);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
      // A write that a signal cut short must not block again once aborted.
      if (n > 0 && ld_abort) {
        errno = EINTR;
        return -1;
      }
      continue;
    }
    if (w < 0 && errno == EINTR && !ld_abort) continue;
    if (w == 0) errno = EIO;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    // The output is full or held back: it is given the rest of the budget.
    const int r = wait_fh_writable_rest(fh, ms_left(deadline), &ld_abort);
    if (r < 0) return -1;
    if (r == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
  }
  return 0;
}

int drain_output(int fh) {
  int queued = 0;
  if (ioctl(fh, TIOCOUTQ, &queued) < 0) return -1;
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(output_budget_ms(static_cast<size_t>(queued)));
  while (queued > 0) {
    if (ld_abort) {
      errno = EINTR;
      return -1;
    }
    if (Clock::now() >= deadline) {
      errno = ETIMEDOUT;
      return -1;
    }
    std::this_thread::sleep_for(kOutqPoll);
    if (ioctl(fh, TIOCOUTQ, &queued) < 0) return -1;
  }
  // The queue is empty: what is left is the transmitter's own few bytes,
  // whose wait the serial drivers bound themselves.
  return tcdrain(fh);
}

// A failed wait never leads into a read: a byte the wait saw may be gone
// (another reader took it), and the read then finds nothing and the wait
// goes on for the rest of its time.
int await_byte(int fh, unsigned char *b, int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
  for (;;) {
    const int r = wait_fh_rest(fh, ms_left(deadline), &ld_abort);
    if (r < 0) return -1;
    if (r == 0) {
      errno = EBUSY;
      return -1;
    }
    const ssize_t n = read(fh, b, 1);
    if (n == 1) return 0;
    // Nothing read although the wait said there was: the end of the file
    // (a hang-up, or no terminal), or nothing after all (another reader took
    // the byte, or settings that let a read return at once).
    if (n == 0 && (!isatty(fh) || hung_up(fh))) {
      errno = EIO;
      return -1;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    if (Clock::now() >= deadline) {
      errno = EBUSY;
      return -1;
    }
  }
}

unsigned long irregularities = 0;
Unawaited unawaited = {0, 0, 0};

// Reads what is waiting rather than flushing it, so that every byte is
// counted: one that arrives during a flush would be lost uncounted. A read
// that finds nothing (another reader took the bytes) ends it.
size_t discard_input(int fh) {
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
    for (ssize_t i = 0; i < r; ++i) ++(sink[i] == LD_ACK ? unawaited.acks : unawaited.others);
    if (ioctl(fh, FIONREAD, &n) != 0) break;
  }
  return total;
}

Answer send_once(int fh, const char *buf, int len, int flags, int ms) {
  if (!buf || len < 1 || len > LD_LIST_BLOCK_MAX) {
    errno = EINVAL;
    return ANSWER_FAILED;
  }
  if (ld_abort) {
    errno = EINTR;
    return ANSWER_FAILED;
  }
  // A page list of the extended erase is the longest block.
  std::array<unsigned char, LD_LIST_BLOCK_MAX + 1> frame;
  std::memcpy(frame.data(), buf, static_cast<size_t>(len));
  unsigned char sum = 0;
  for (int i = 0; i < len; ++i) sum ^= frame[i];
  // The checksum of a one-byte block is its complement.
  if (len == 1) sum = frame[0] ^ 0xFF;
  size_t n = static_cast<size_t>(len);
  if (!(flags & LD_NOCHKSUM)) frame[n++] = sum;
  // A late answer to an earlier attempt must not answer this one. Without
  // acknowledgements awaited, what waits are the answers to the blocks
  // before, tallied for the check after the writes.
  if (discard_input(fh) > 0 && (flags & LD_WAITACK)) ++irregularities;
  last_wire.assign(frame.begin(), frame.begin() + static_cast<long>(n));
  if (write_all(fh, frame.data(), n) < 0) return ANSWER_FAILED;
  if (!(flags & LD_WAITACK)) {
    ++unawaited.blocks;
    return ANSWER_ACK;
  }
  // The answer can only follow the block's last byte: no drain before it is
  // awaited (a serial driver's drain sleeps whole clock ticks).
  unsigned char got = 0;
  answer_ahead = false;
  if (await_byte(fh, &got, ms) < 0) {
    ++irregularities;
    return errno == EBUSY ? ANSWER_UNCLEAR : ANSWER_FAILED;
  }
  // Bytes of the block still queued: the answer came ahead of its end.
  int queued = 0;
  answer_ahead = ioctl(fh, TIOCOUTQ, &queued) == 0 && queued > 0;
  if (got == LD_ACK) return ANSWER_ACK;
  ++irregularities;
  errno = EINVAL;
  return got == LD_NACK ? ANSWER_NACK : ANSWER_UNCLEAR;
}

int send_block(int fh, const char *buf, int len, int flags, int attempts, int ms, int *refusals) {
  if (refusals) *refusals = 0;
  if (!buf || len < 1 || len > LD_BLOCK_MAX) {
    errno = EINVAL;
    return -1;
  }
  for (int attempt = 0; attempt < attempts; ++attempt) {
    const Answer a = send_once(fh, buf, len, flags, ms);
    if (a == ANSWER_ACK) {
      errno = 0;
      return 0;
    }
    // A write that failed is tried again, as any attempt; an abort is not.
    if (a == ANSWER_FAILED && errno == EINTR) return -1;
    if (a == ANSWER_NACK && refusals) ++*refusals;
  }
  return -1;
}

bool wait_sent(int fh, int max_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms);
  for (;;) {
    int n = 0;
    if (ioctl(fh, TIOCOUTQ, &n) != 0 || n <= 0) return true;
    if (std::chrono::steady_clock::now() >= end || ld_abort) return false;
    // A tenth of a millisecond: a byte's time at 115200 baud.
    const timespec pause = {0, 100000};
    nanosleep(&pause, nullptr);
  }
}

// Bytes, not a hang-up: a port whose far end went away is readable too.
bool input_pending(int fh) {
  int n = 0;
  return ioctl(fh, FIONREAD, &n) == 0 && n > 0;
}

bool hung_up(int fh) {
  struct pollfd p = {fh, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace ld_internal

using namespace ld_internal;

void ld_set_reentry(const ld_reentry *r) {
  reentry = r && r->reenter ? *r : ld_reentry{nullptr, nullptr};
}

namespace {

// Awaits the answer to a block for at most ms: 0 for the acknowledgement,
// otherwise -1 with errno EINVAL (another byte) or as await_byte leaves it.
int await_ack(int fh, int ms) {
  unsigned char got = 0;
  if (await_byte(fh, &got, ms) < 0) return -1;
  if (got != LD_ACK) {
    errno = EINVAL;
    return -1;
  }
  return 0;
}

}  // namespace

int _ld_waitack(int fh, int flags) {
  if (!(flags & LD_WAITACK)) return 0;
  return await_ack(fh, LD_WAIT_MS);
}

int _ld_send(int fh, const char *buf, int len, int flags) {
  return send_block(fh, buf, len, flags, LD_ATTEMPTS, LD_WAIT_MS, nullptr);
}

int _ld_send_cmd(int fh, char cmd, int flags) {
  return _ld_send(fh, &cmd, 1, flags);
}

int _ld_send_long(int fh, uint32_t data, int flags) {
  const char block[4] = {
      static_cast<char>((data >> 24) & 0xFF),
      static_cast<char>((data >> 16) & 0xFF),
      static_cast<char>((data >> 8) & 0xFF),
      static_cast<char>(data & 0xFF),
  };
  return _ld_send(fh, block, 4, flags);
}

int _ld_read(int fh, char *data, int maxlen, int flags) {
  (void)flags;  // the reply is awaited with or without acknowledgements
  if (!data) maxlen = 0;
  errno = 0;
  unsigned char len = 0;
  if (await_byte(fh, &len, LD_WAIT_MS) < 0) return -1;
  const int count = len + 1;
  for (int i = 0; i < count; ++i) {
    unsigned char b = 0;
    if (await_byte(fh, &b, LD_WAIT_MS) < 0) return -1;
    if (i < maxlen) data[i] = static_cast<char>(b);
  }
  return count;
}

namespace {

int ms_since(const struct timespec &t0) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  // Whole nanoseconds first: a negative difference of the nanoseconds must
  // not round the milliseconds up.
  const long long ns =
      (static_cast<long long>(now.tv_sec) - t0.tv_sec) * 1000000000LL + (now.tv_nsec - t0.tv_nsec);
  return static_cast<int>(ns / 1000000);
}

// The answer to a 0x7F within ms: the byte, or -1 with errno EBUSY (silence)
// or as the port left it. A module that puts 0x00 on the line as it starts
// has it passed over once (*zero_left).
int await_sync_answer(int fh, int ms, bool *zero_left) {
  struct timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  for (;;) {
    const int left = ms - ms_since(t0);
    if (left <= 0) {
      errno = EBUSY;
      return -1;
    }
    unsigned char b = 0;
    if (await_byte(fh, &b, left) < 0) return -1;
    if (b != 0x00 || !*zero_left) return b;
    *zero_left = false;
  }
}

}  // namespace

int ld_sync(int fh, int flags, int *answered_ms) {
  if (answered_ms) *answered_ms = -1;
  const char sync = LD_SYNC;
  flags |= LD_NOCHKSUM;
  if (!(flags & LD_WAITACK)) return _ld_send(fh, &sync, 1, flags);
  // Whatever the module sent while it started (or an earlier run left) is
  // no answer to this 0x7F.
  if (discard_input(fh) > 0) ++irregularities;
  struct timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  bool zero_left = true;
  for (int sent_at = 0; sent_at < LD_SYNC_BUDGET_MS; sent_at = ms_since(t0)) {
    if (ld_abort) {
      errno = EINTR;
      return -1;
    }
    const unsigned char b = LD_SYNC;
    if (write_all(fh, &b, 1) < 0) return -1;
    const int got = await_sync_answer(fh, LD_SYNC_INTERVAL_MS, &zero_left);
    if (got < 0 && errno == EBUSY) continue;
    if (got < 0) return -1;
    if (answered_ms) *answered_ms = sent_at;
    if (got != LD_ACK && got != LD_NACK) {
      ++irregularities;
      errno = EINVAL;
      return -1;
    }
    // Only a synchronised boot loader refuses: it took the 0x7F as the
    // first or second byte of a command pair, and stands at command level.
    if (got == LD_NACK && (flags & LD_VERBOSE))
      std::fprintf(stderr, "Boot loader already synchronised (left so by an earlier run)\n");
    errno = 0;
    return 0;
  }
  errno = EBUSY;
  return -1;
}

int ld_init_device(int fh, int flags) {
  return ld_sync(fh, flags, nullptr);
}

namespace {

// A command whose reply is a count byte N and N+1 bytes (at most 256), then
// the closing acknowledgement: Get and Get ID. Stores the bytes in *reply
// and their number in *n. Returns as ld_run_command.
int counted_command(int fh, unsigned char code, std::array<unsigned char, 256> *reply, int *n,
                    int flags) {
  ld_command cmd = {code, nullptr, 0, reply->data(), 256, nullptr, nullptr};
  cmd.counted = true;
  cmd.reply_got = n;
  cmd.closing_ms = LD_WAIT_MS;
  return ld_run_command(fh, &cmd, flags);
}

}  // namespace

unsigned int ld_getid(int fh, int flags) {
  std::array<unsigned char, 256> reply;
  int n = 0;
  if (counted_command(fh, LD_CMD_GET_ID, &reply, &n, flags) < 0) return LD_ID_FAILED;
  unsigned int id = 0;
  for (int i = 0; i < n && i < LD_ID_BYTES; ++i) id = (id << 8) | reply[static_cast<size_t>(i)];
  errno = 0;
  return id;
}

int ld_get_version(int fh, unsigned char *reply, int flags) {
  std::array<unsigned char, 3> r;
  ld_command cmd = {LD_CMD_GET_VERSION, nullptr, 0, r.data(), 3, nullptr, nullptr};
  cmd.closing_ms = LD_WAIT_MS;
  if (ld_run_command(fh, &cmd, flags) < 0) return -1;
  if (reply) std::memcpy(reply, r.data(), r.size());
  return 0;
}

unsigned ld_take_stray_acts(void) {
  const unsigned s = stray_acts;
  stray_acts = 0;
  return s;
}

namespace {

// Newer boot loaders refuse the global erase 0x43 and offer the extended
// erase 0x44 instead, whose mass erase is the two-byte code 0xFFFF.
// The mass erase is acknowledged only once the whole flash is erased. The
// slowest parts of 1 to 2 MiB erase sector by sector, up to 2 s for each
// 128 KiB sector at the lowest supply voltage: 32 s for 2 MiB. A minute
// covers them with margin, and a module that died during the erase still
// fails the run within a minute.

// Get: the boot loader's command list, a count N, then N+1 bytes (its
// version and the command codes), then 0x79, each byte awaited at most
// 1000 ms. Returns 1 when code is listed, 0 when not, -1 with errno as
// ld_run_command left it.
int offers_command(int fh, unsigned char code, int flags) {
  std::array<unsigned char, 256> reply;
  int n = 0;
  if (counted_command(fh, LD_CMD_GET, &reply, &n, flags) < 0) return -1;
  for (int i = 1; i < n && i < 256; ++i)
    if (reply[static_cast<size_t>(i)] == code) return 1;
  return 0;
}

// Mass erase through the extended erase command, when the boot loader lists
// it. The block 0xFFFF (with its XOR checksum 0x00) is awaited as one wait:
// sent again while the erase runs, it would meet a busy module.
int erase_extended(int fh, int flags) {
  const int offered = offers_command(fh, LD_CMD_EXT_ERASE, flags);
  if (offered <= 0) {
    if (offered == 0) errno = EINVAL;
    return -1;
  }
  if (flags & LD_VERBOSE)
    std::fprintf(stderr, "Erasing with the extended erase command (may take up to %d s)\n",
                 LD_MASS_ERASE_MS / 1000);
  else
    std::fputs("Mass erase: this can take up to a minute\n", stderr);
  const char mass[2] = {static_cast<char>(0xFF), static_cast<char>(0xFF)};
  const ld_block param = {mass, 2, LD_MASS_ERASE_MS};
  const ld_command cmd = {LD_CMD_EXT_ERASE, &param, 1, nullptr, 0, nullptr, nullptr};
  bool pair_refused = false;
  if (run_command(fh, &cmd, flags, &pair_refused) == 0) return 0;
  // The command accepted, its mass-erase code refused: a part without a mass
  // erase, whose pages can still be erased by list.
  if (!pair_refused && errno == EINVAL) errno = EPERM;
  return -1;
}

}  // namespace

int ld_erase_all(int fh, int flags) {
  const char global = static_cast<char>(LD_ERASE_GLOBAL);
  const ld_block param = {&global, 1, LD_WAIT_MS};
  const ld_command cmd = {LD_CMD_ERASE, &param, 1, nullptr, 0, nullptr, nullptr};
  bool refused = false;
  if (run_command(fh, &cmd, flags, &refused) == 0) return 0;
  return refused ? erase_extended(fh, flags) : -1;
}

namespace {

// The boot loader's start-up after it reset itself: the paced sync meets it
// once it listens again. One that does not answer is entered again where a
// reset line allows.
int poll_restart(int fh, int flags) {
  if (!(flags & LD_WAITACK)) {
    const char sync = LD_SYNC;
    wait_fh_rest(-1, LD_SYNC_BUDGET_MS / 6, &ld_abort);
    return _ld_send(fh, &sync, 1, flags | LD_NOCHKSUM);
  }
  if (ld_sync(fh, flags, nullptr) == 0) return 0;
  if (!reentry.reenter || errno == EINTR) return -1;
  return reentry.reenter(fh, reentry.ctx, flags);
}

// Silence while the module restarts is expected, not a fault of the line.
int resync_after_restart(int fh, int flags) {
  const unsigned long faults = irregularities;
  const int r = poll_restart(fh, flags);
  const int err = errno;
  if (r == 0) irregularities = faults;
  errno = err;
  return r;
}

// An unprotect command: its pair, then a second acknowledgement once the
// module has done it (read-out unprotect erases the whole flash first), then
// the module's restart.
int unprotect(int fh, unsigned char code, int flags) {
  ld_command cmd = {code, nullptr, 0, nullptr, 0, nullptr, nullptr};
  cmd.closing_ms = LD_MASS_ERASE_MS;
  if (ld_run_command(fh, &cmd, flags) < 0) return -1;
  return resync_after_restart(fh, flags);
}

}  // namespace

int ld_readout_unprotect(int fh, int flags) {
  return unprotect(fh, LD_CMD_READOUT_UNPROTECT, flags);
}

int ld_write_unprotect(int fh, int flags) {
  return unprotect(fh, LD_CMD_WRITE_UNPROTECT, flags);
}

int ld_unprotect(int fh, int flags) {
  if (ld_readout_unprotect(fh, flags) < 0) return -1;
  return ld_write_unprotect(fh, flags);
}

unsigned long ld_line_faults() {
  return irregularities;
}
