#include <cerrno>

#include "loader.h"
#include "loader_internal.h"
#include "util.h"

namespace ld_internal {

namespace {

// The outcome of one try of a command.
enum Try { TRY_DONE, TRY_AGAIN, TRY_FAILED, TRY_UNCONFIRMED };

bool is_erase(const ld_command *cmd) {
  return cmd->code == LD_CMD_ERASE || cmd->code == LD_CMD_EXT_ERASE;
}

// An erase of the whole flash (global, mass, a bank), not of listed pages.
bool erases_whole(const ld_command *cmd) {
  if (!is_erase(cmd) || cmd->nblocks < 1) return false;
  const auto *d = reinterpret_cast<const unsigned char *>(cmd->blocks[0].data);
  return cmd->code == LD_CMD_ERASE ? d[0] == LD_ERASE_GLOBAL
                                   : cmd->blocks[0].len == 2 && d[0] == 0xFF && d[1] >= 0xF0;
}

// Acknowledgements came while block `sent` (-1: the pair) was recovered:
// the boot loader accepted it late, or acted on a block we did not send
// whole. An erase of the whole flash is simply sent again; a page list may
// have erased other pages, a write may have gone to another address.
void note_stray_acts(const ld_command *cmd, int sent) {
  if (is_erase(cmd) && !erases_whole(cmd)) stray_acts |= STRAY_ERASE;
  if (cmd->code == LD_CMD_WRITE && sent + 1 < cmd->nblocks) stray_acts |= STRAY_WRITE;
}

// After a refusal the boot loader stands at command level; a probe makes
// sure a fresh pair is taken as one. A module that answers no probe is
// restarted where a reset line allows.
int realign_or_restart(int fh, int flags) {
  if (realign(fh, flags) == 0) return 0;
  if (!reentry.reenter || errno != EBUSY) return -1;
  ++irregularities;
  return reentry.reenter(fh, reentry.ctx, flags);
}

// Back to a known state after block `sent` (-1: the pair) had no clear
// answer: with a reset line the module restarts into its boot loader,
// without one recovery bytes bring it back to command level. *acks counts
// acknowledgements during the recovery.
int back_to_command_level(int fh, const ld_command *cmd, int sent, int flags, int *acks) {
  *acks = 0;
  const int err = errno;
  if (reentry.reenter && (flags & LD_WAITACK)) {
    if (reentry.reenter(fh, reentry.ctx, flags) < 0) return -1;
  } else if (recover(fh, cmd, sent, flags, acks) < 0) {
    return -1;
  }
  if (*acks > 0) note_stray_acts(cmd, sent);
  errno = err;
  return 0;
}

// Go whose answer is unclear: one probe pair at most, never a stream of
// bytes into a running application. Any answer shows the boot loader is
// still there: Go is tried again once it stands at command level.
Try go_unclear(int fh, const ld_command *cmd, int sent, int flags) {
  const int err = errno;
  Recovery r(cmd, sent, last_wire.data(), last_wire.size());
  const unsigned char probe[2] = {r.next(), r.next()};
  last_wire.assign(probe, probe + 2);
  if (write_all(fh, probe, 2) < 0) return TRY_FAILED;
  unsigned char b = 0;
  if (await_byte(fh, &b, LD_WAIT_MS) == 0) {
    if (realign_or_restart(fh, flags) < 0) return TRY_FAILED;
    errno = err;
    return TRY_AGAIN;
  }
  if (errno != EBUSY) return TRY_FAILED;
  return TRY_UNCONFIRMED;
}

// The command pair, three attempts; an attempt without a clear answer first
// brings the boot loader back to a known state.
Try send_pair(int fh, const ld_command *cmd, int flags, bool *refused) {
  const char c = static_cast<char>(cmd->code);
  int refusals = 0;
  for (int attempt = 0; attempt < LD_ATTEMPTS; ++attempt) {
    const Answer a = send_once(fh, &c, 1, flags, LD_WAIT_MS);
    if (a == ANSWER_ACK) return TRY_DONE;
    if (a == ANSWER_FAILED) return TRY_FAILED;
    if (a == ANSWER_NACK) {
      ++refusals;
      continue;
    }
    if (cmd->code == LD_CMD_GO) return go_unclear(fh, cmd, -1, flags);
    int acks = 0;
    if (back_to_command_level(fh, cmd, -1, flags, &acks) < 0) return TRY_FAILED;
  }
  // An attempt lost on the line leaves fewer refusals; one clear refusal
  // and no acceptance is the boot loader's own answer.
  *refused = refusals > 0;
  return TRY_FAILED;
}

// A reply that came out of line: the boot loader sends the rest and stands
// at command level once the line is quiet; the command is tried again.
Try reply_lost(int fh) {
  const int err = errno;
  if (err != EBUSY && err != EINVAL) return TRY_FAILED;
  ++irregularities;
  drain_quiet(fh, 50, LD_WAIT_MS);
  errno = err;
  return TRY_AGAIN;
}

// The reply bytes that follow the last acknowledgement (a count byte first
// when counted), then the closing acknowledgement.
Try read_reply(int fh, const ld_command *cmd, int flags) {
  int n = cmd->reply_len;
  unsigned char b = 0;
  if (cmd->counted) {
    if (await_byte(fh, &b, LD_WAIT_MS) < 0) return reply_lost(fh);
    n = b + 1;
    if (cmd->reply_got) *cmd->reply_got = n;
  }
  for (int i = 0; i < n; ++i) {
    if (await_byte(fh, &b, LD_WAIT_MS) < 0) return reply_lost(fh);
    if (i < cmd->reply_len) cmd->reply[i] = b;
  }
  if (cmd->closing_ms <= 0 || !(flags & LD_WAITACK)) return TRY_DONE;
  const int r = await_byte(fh, &b, cmd->closing_ms);
  if (r == 0 && b == LD_ACK) return TRY_DONE;
  if (r < 0 && errno != EBUSY) return TRY_FAILED;
  if (r == 0) errno = EINVAL;
  // A refusal, or without a reply (the unprotect commands) silence too, is
  // the command's own answer: it fails.
  if (cmd->reply_len == 0 || (r == 0 && b == LD_NACK)) {
    ++irregularities;
    return TRY_FAILED;
  }
  return reply_lost(fh);
}

// A module busy with a slow erase answers once it is done: silence after
// an erase gets a few more waits, with nothing sent, before the module
// counts as stuck inside the block. An answer then is the erase's own.
constexpr int kBusyWaits = 3;

Try late_erase_answer(int fh, int flags) {
  unsigned char b = 0;
  for (int i = 0; i < kBusyWaits; ++i) {
    if (await_byte(fh, &b, LD_WAIT_MS) < 0) {
      if (errno != EBUSY) return TRY_FAILED;
      continue;
    }
    if (b == LD_ACK && !input_pending(fh)) return TRY_DONE;
    if (b != LD_NACK) break;
    if (realign_or_restart(fh, flags) < 0) return TRY_FAILED;
    errno = EINVAL;
    return TRY_AGAIN;
  }
  errno = EBUSY;
  return TRY_AGAIN;
}

// A block whose answer was lost or damaged: back to a known state, then
// decide whether the command took effect.
Try unclear(int fh, const ld_command *cmd, int sent, int flags) {
  if (cmd->code == LD_CMD_GO) return go_unclear(fh, cmd, sent, flags);
  const int err = errno;
  // A budget beyond a second (the mass erase, a long page list) already
  // covers the erase.
  if (err == EBUSY && is_erase(cmd) && cmd->blocks[sent].wait_ms <= LD_WAIT_MS &&
      (flags & LD_WAITACK)) {
    const Try late = late_erase_answer(fh, flags);
    if (late != TRY_AGAIN || errno == EINVAL) return late;
    errno = err;
  }
  int acks = 0;
  if (back_to_command_level(fh, cmd, sent, flags, &acks) < 0) return TRY_FAILED;
  if (sent + 1 < cmd->nblocks || !cmd->settle) return TRY_AGAIN;
  const int s = cmd->settle(fh, cmd->ctx, acks > 0, flags);
  if (s < 0) return TRY_FAILED;
  errno = err;
  return s > 0 ? TRY_DONE : TRY_AGAIN;
}

// More answers than blocks: a lost or damaged count byte let the boot
// loader end a block early (even acknowledge it) and take the rest of our
// bytes as pairs. An answer that came while the block was still on its way
// out, or bytes waiting once it is out, tell so.
bool answered_early(int fh, const ld_command *cmd, bool last, int flags) {
  if (!(flags & LD_WAITACK) || (last && (cmd->reply_len > 0 || cmd->code == LD_CMD_GO)))
    return false;
  const bool ahead = answer_ahead;
  (void)wait_sent(fh, LD_WAIT_MS);
  return ahead || input_pending(fh);
}

Try try_command(int fh, const ld_command *cmd, int flags, bool *refused) {
  const Try pair = send_pair(fh, cmd, flags, refused);
  if (pair != TRY_DONE) return pair;
  for (int i = 0; i < cmd->nblocks; ++i) {
    const ld_block &b = cmd->blocks[i];
    const Answer a = send_once(fh, b.data, b.len, flags, b.wait_ms);
    const bool last = i + 1 == cmd->nblocks;
    const bool early = a == ANSWER_ACK && answered_early(fh, cmd, last, flags);
    if (early) errno = EPROTO;
    if (a == ANSWER_ACK && !early) continue;
    if (a == ANSWER_FAILED) return TRY_FAILED;
    // A refusal ends the command in the boot loader: it waits for a new
    // pair. A block cut short by a damaged count byte may have left a byte
    // of ours over, so the pair is first checked to be taken as one.
    if (a == ANSWER_NACK) {
      const int err = errno;
      if (realign_or_restart(fh, flags) < 0) return TRY_FAILED;
      errno = err;
      return TRY_AGAIN;
    }
    return unclear(fh, cmd, i, flags);
  }
  return read_reply(fh, cmd, flags);
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
    if (r == TRY_UNCONFIRMED) {
      errno = EBUSY;
      return 1;
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

int ld_restart(int fh, int addr, int flags) {
  const uint32_t a = static_cast<uint32_t>(addr);
  const char block[4] = {static_cast<char>(a >> 24), static_cast<char>(a >> 16),
                         static_cast<char>(a >> 8), static_cast<char>(a)};
  const ld_block param = {block, 4, LD_WAIT_MS};
  const ld_command cmd = {LD_CMD_GO, &param, 1, nullptr, 0, nullptr, nullptr};
  return ld_run_command(fh, &cmd, flags);
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
