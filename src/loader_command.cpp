#include <cerrno>
#include <chrono>
#include <vector>

#include "loader.h"
#include "loader_internal.h"
#include "util.h"

namespace ld_internal {

namespace {

// How long a filler byte is given for an answer. The boot loader answers a
// completed block at once; the margin is for USB adapters, whose latency
// timers hold received bytes back for up to 16 ms.
constexpr int kFillerWaitMs = 50;
// Enough filler to complete the longest block (a count byte, 256 data bytes
// and a checksum) after an address block it completed by chance.
constexpr int kFillerMax = 300;
constexpr int kBusyWaits = 3;

// Sends n filler bytes and waits a moment for the answers. Returns the
// number of answer bytes (ACK and NACK seen are noted), or -1 with errno.
int filler_bytes(int fh, int n, int ms, bool *acked, bool *nacked) {
  const std::vector<unsigned char> f(static_cast<size_t>(n), LD_FILLER);
  if (write_all(fh, f.data(), f.size()) < 0 || drain_output(fh) < 0) return -1;
  int got = 0;
  unsigned char b = 0;
  for (int wait = ms; await_byte(fh, &b, wait) == 0; wait = 1) {
    ++got;
    if (b == LD_ACK) *acked = true;
    if (b == LD_NACK) *nacked = true;
  }
  if (errno != EBUSY) return -1;
  return got;
}

int filler_byte(int fh, int ms, bool *acked, bool *nacked) {
  return filler_bytes(fh, 1, ms, acked, nacked);
}

}  // namespace

void drain_quiet(int fh, int quiet_ms, int max_ms) {
  // The time is what counts, not the bytes: a boot loader refusing a long
  // run of our bytes as pairs sends dozens of answers within a millisecond.
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms);
  unsigned char b = 0;
  while (std::chrono::steady_clock::now() < end && await_byte(fh, &b, quiet_ms) == 0) {
  }
  (void)discard_input(fh);
}

int realign(int fh, int flags) {
  if (!(flags & LD_WAITACK)) return 0;
  drain_quiet(fh, kFillerWaitMs, LD_WAIT_MS);
  // A lone filler byte that is answered completed a pair whose first byte
  // was left over; else it waits for a second one, which must be refused.
  // Either way the boot loader then stands at command level.
  bool ack = false, nack = false;
  const int got = filler_byte(fh, kFillerWaitMs, &ack, &nack);
  if (got < 0) return -1;
  if (got == 0 && filler_byte(fh, LD_WAIT_MS, &ack, &nack) <= 0) {
    if (errno == 0 || errno == EBUSY) errno = EBUSY;
    return -1;
  }
  drain_quiet(fh, kFillerWaitMs, LD_WAIT_MS);
  errno = 0;
  return 0;
}

int recover(int fh, int flags, bool *accepted) {
  *accepted = false;
  if (!(flags & LD_WAITACK)) return 0;
  // One byte at a time first: a block short of a byte or two is completed
  // without filler left over. Then in doubling bursts, so that a block that
  // waits for hundreds of bytes costs a few waits; what a burst sends past
  // the block's end makes pairs of equal bytes, refused, and realign
  // settles the parity.
  bool nacked = false;
  for (int sent = 0, n = 1; sent < kFillerMax && !nacked; sent += n, n = sent < 2 ? 1 : n * 2)
    if (filler_bytes(fh, n, kFillerWaitMs, accepted, &nacked) < 0) return -1;
  // A module still busy (a slow erase) answers once it is done: it gets a
  // few more waits before it counts as gone.
  for (int i = 0; i < kBusyWaits && !nacked; ++i)
    if (filler_bytes(fh, 1, LD_WAIT_MS, accepted, &nacked) < 0) return -1;
  if (!nacked) {
    errno = EBUSY;
    return -1;
  }
  return realign(fh, flags);
}

namespace {

// The outcome of one try of a command.
enum Try { TRY_DONE, TRY_AGAIN, TRY_FAILED };

// The command pair, three attempts; an attempt without a clear answer first
// brings the boot loader back to command level.
Try send_pair(int fh, unsigned char code, int flags, bool *refused) {
  const char c = static_cast<char>(code);
  int refusals = 0;
  for (int attempt = 0; attempt < LD_ATTEMPTS; ++attempt) {
    const Answer a = send_once(fh, &c, 1, flags, LD_WAIT_MS);
    if (a == ANSWER_ACK) return TRY_DONE;
    if (a == ANSWER_FAILED) return TRY_FAILED;
    if (a == ANSWER_NACK) {
      ++refusals;
      continue;
    }
    const int err = errno;
    bool accepted = false;
    if (recover(fh, flags, &accepted) < 0) return TRY_FAILED;
    errno = err;
  }
  *refused = refusals == LD_ATTEMPTS;
  return TRY_FAILED;
}

// The reply bytes that follow the last acknowledgement; a lost one leaves
// the boot loader at command level once it has sent the rest.
Try read_reply(int fh, const ld_command *cmd) {
  for (int i = 0; i < cmd->reply_len; ++i) {
    if (await_byte(fh, &cmd->reply[i], LD_WAIT_MS) == 0) continue;
    if (errno != EBUSY) return TRY_FAILED;
    ++irregularities;
    drain_quiet(fh, 50, LD_WAIT_MS);
    errno = EBUSY;
    return TRY_AGAIN;
  }
  return TRY_DONE;
}

// A block whose answer was lost or damaged: back to command level, then
// decide whether the command took effect.
Try unclear(int fh, const ld_command *cmd, bool last, int flags) {
  const int err = errno;
  bool accepted = false;
  if (recover(fh, flags, &accepted) < 0) return TRY_FAILED;
  errno = err;
  if (!last) return TRY_AGAIN;
  if (!cmd->settle) return accepted && cmd->reply_len == 0 ? TRY_DONE : TRY_AGAIN;
  const int s = cmd->settle(fh, cmd->ctx, accepted, flags);
  if (s < 0) return TRY_FAILED;
  errno = err;
  return s > 0 ? TRY_DONE : TRY_AGAIN;
}

Try try_command(int fh, const ld_command *cmd, int flags, bool *refused) {
  const Try pair = send_pair(fh, cmd->code, flags, refused);
  if (pair != TRY_DONE) return pair;
  for (int i = 0; i < cmd->nblocks; ++i) {
    const ld_block &b = cmd->blocks[i];
    const Answer a = send_once(fh, b.data, b.len, flags, b.wait_ms);
    const bool last = i + 1 == cmd->nblocks;
    // More answers than blocks: a lost or damaged count byte let the boot
    // loader end a block early (even acknowledge it) and take the rest of
    // our bytes as pairs. The command's effect is then in doubt.
    const bool early = a == ANSWER_ACK && (flags & LD_WAITACK) && !(last && cmd->reply_len > 0) &&
                       input_pending(fh);
    if (early) {
      ++irregularities;
      errno = EPROTO;
    }
    if (a == ANSWER_ACK && !early) continue;
    if (a == ANSWER_FAILED) return TRY_FAILED;
    // A refusal ends the command in the boot loader: it waits for a new
    // pair. A block cut short by a damaged count byte may have left a byte
    // of ours over, so the pair is first checked to be taken as one.
    if (a == ANSWER_NACK) {
      const int err = errno;
      if (realign(fh, flags) < 0) return TRY_FAILED;
      errno = err;
      return TRY_AGAIN;
    }
    return unclear(fh, cmd, last, flags);
  }
  return read_reply(fh, cmd);
}

}  // namespace

int run_command(int fh, const ld_command *cmd, int flags, bool *pair_refused) {
  *pair_refused = false;
  if (!cmd || cmd->nblocks < 0 || (cmd->nblocks > 0 && !cmd->blocks) ||
      (cmd->reply_len > 0 && !cmd->reply)) {
    errno = EINVAL;
    return -1;
  }
  for (int t = 0; t < LD_COMMAND_TRIES; ++t) {
    const Try r = try_command(fh, cmd, flags, pair_refused);
    if (r == TRY_DONE) {
      errno = 0;
      return 0;
    }
    if (r == TRY_FAILED) return -1;
  }
  return -1;
}

}  // namespace ld_internal

int ld_run_command(int fh, const ld_command *cmd, int flags) {
  bool refused = false;
  return ld_internal::run_command(fh, cmd, flags, &refused);
}

int ld_read_memory(int fh, uint32_t addr, unsigned char *buf, int len, int flags) {
  if (!buf || len < 1 || len > LD_FRAGMENT_MAX) {
    errno = EINVAL;
    return -1;
  }
  const char address[4] = {static_cast<char>(addr >> 24), static_cast<char>(addr >> 16),
                           static_cast<char>(addr >> 8), static_cast<char>(addr)};
  // The count goes out as a one-byte block: N-1 and its complement.
  const char count = static_cast<char>(len - 1);
  const ld_block blocks[2] = {{address, 4, LD_WAIT_MS}, {&count, 1, LD_WAIT_MS}};
  const ld_command cmd = {LD_CMD_READ, blocks, 2, buf, len, nullptr, nullptr};
  // The bytes follow acknowledgements, which must be read to find them.
  return ld_run_command(fh, &cmd, flags | LD_WAITACK);
}
