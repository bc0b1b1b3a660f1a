// Whole commands: the pair, the blocks, the reply, each answer accounted
// for, and the way back to a known state after an unclear one.
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "loader.h"
#include "loader_internal.h"
#include "port.h"

namespace ld_internal {

namespace {

// The outcome of one try of a command.
enum Try { TRY_DONE, TRY_AGAIN, TRY_FAILED, TRY_UNCONFIRMED };

// One command's run: the refusals it met and how its tries ended, so that a
// command the boot loader refuses cleanly is told apart from a line that
// damaged it.
struct CommandRun {
  ld_session *s;
  const ld_command *cmd;
  int nacks = 0;          // refusals met, of the pair or of a block
  int tries = 0;          // tries begun
  int tries_refused = 0;  // tries that ended in a refused block
  bool pair_refused = false;
  unsigned long faults_at_start = 0;
};

bool is_erase(const ld_command *cmd) {
  return cmd->code == LD_CMD_ERASE || cmd->code == LD_CMD_EXT_ERASE;
}

// Readout and Write Unprotect: once the boot loader has taken the pair, the
// module changes its protection (Readout Unprotect erases the whole flash
// first) and answers a second time when done. A reset or a stream of bytes
// then could leave the protection half changed.
bool changes_protection(const ld_command *cmd) {
  return cmd->code == LD_CMD_READOUT_UNPROTECT || cmd->code == LD_CMD_WRITE_UNPROTECT;
}

// Whether block i of the command carries a count that sets its length (a
// write's data, an erase's parameter): damaged, it moves the block's end.
bool has_count(const ld_command *cmd, int i) {
  return (cmd->code == LD_CMD_WRITE && i == 1) || (is_erase(cmd) && i == 0);
}

// An erase of the whole flash (global, mass, a bank), not of listed pages.
bool erases_whole(const ld_command *cmd) {
  if (!is_erase(cmd) || cmd->nblocks < 1) return false;
  const auto *d = reinterpret_cast<const unsigned char *>(cmd->blocks[0].data);
  return cmd->code == LD_CMD_ERASE ? d[0] == LD_ERASE_GLOBAL
                                   : cmd->blocks[0].len == 2 && d[0] == 0xFF && d[1] >= 0xF0;
}

// Acknowledgements came after block `sent` (-1: the pair) had no clear
// answer: the boot loader accepted it late, or acted on a block we did not
// send whole. An erase of the whole flash is simply sent again; a page list
// may have erased other pages, a write's address or count may have put its
// data elsewhere. For a command without a reply, more acknowledgements than
// the one the block may still have owed (answered: it had its answer
// already) come from bytes the boot loader took as commands of their own.
void note_stray_acts(ld_session *s, const ld_command *cmd, int sent, int acks, bool answered) {
  if (acks <= 0 || erases_whole(cmd)) return;
  unsigned &stray = s->facts.stray_acts;
  if (is_erase(cmd))
    stray |= LD_STRAY_ERASE;
  else if (cmd->code == LD_CMD_WRITE && sent + 1 < cmd->nblocks)
    stray |= LD_STRAY_WRITE;
  else if (cmd->reply_len == 0 && !cmd->counted && acks > (answered ? 0 : 1))
    stray |= LD_STRAY_ERASE | LD_STRAY_WRITE;
}

// After a refusal the boot loader stands at command level; probes make
// sure a fresh pair is taken as one. A module that answers no probe is
// restarted where a reset line allows.
int realign_or_restart(ld_session *s) {
  if (realign(s) == 0) return 0;
  if (!s->reentry.reenter || errno != EBUSY) return -1;
  note_fault(s);
  return s->reentry.reenter(s, s->reentry.ctx);
}

// Back to a known state after block `sent` (-1: the pair) had no clear
// answer: with a reset line the module restarts into its boot loader (the
// answers still on their way are counted first), without one recovery
// bytes bring it back to command level. *acks counts the acknowledgements
// that came after the unclear answer.
int back_to_command_level(CommandRun &run, int sent, bool answered, int *acks) {
  ld_session *s = run.s;
  *acks = 0;
  const int err = errno;
  if (s->reentry.reenter && (s->flags & LD_WAITACK)) {
    size_t late = 0;
    (void)drain_quiet(s, quiet_wait(s), byte_wait(s), &late);
    *acks = static_cast<int>(late);
    if (s->reentry.reenter(s, s->reentry.ctx) < 0) return -1;
  } else if (recover(s, run.cmd, sent, acks) < 0) {
    return -1;
  }
  note_stray_acts(s, run.cmd, sent, *acks, answered);
  errno = err;
  return 0;
}

// Go whose answer is unclear: one probe pair at most, never a stream of
// bytes into a running application. Any answer shows the boot loader is
// still there: Go is tried again once it stands at command level.
Try go_unclear(ld_session *s, const ld_command *cmd, int sent) {
  const int err = errno;
  Recovery r(cmd, sent, s->last_wire.data(), s->last_wire.size());
  const unsigned char probe[2] = {r.next(), r.next()};
  s->last_wire.assign(probe, probe + 2);
  if (write_all(s, probe, 2) < 0) return TRY_FAILED;
  unsigned char b = 0;
  if (await_byte(s, &b, byte_wait(s)) == 0) {
    if (realign_or_restart(s) < 0) return TRY_FAILED;
    errno = err;
    return TRY_AGAIN;
  }
  if (errno != EBUSY) return TRY_FAILED;
  return TRY_UNCONFIRMED;
}

// The command pair, three attempts. A refused attempt is sent again at
// once while the boot loader is known to stand at command level, else once
// it has been realigned; an attempt without a clear answer first brings the
// boot loader back to a known state.
Try send_pair(CommandRun &run) {
  ld_session *s = run.s;
  const char c = static_cast<char>(run.cmd->code);
  int refusals = 0;
  for (int attempt = 0; attempt < LD_ATTEMPTS; ++attempt) {
    // 0x7F bytes of the sync that got no answer may wait in the boot loader
    // as the first byte of a pair, as may a byte left over from a fault.
    const bool in_doubt = s->facts.syncs_unanswered > 0 || (refusals > 0 && !s->facts.aligned);
    if (in_doubt && !settle_sync(s) && realign_or_restart(s) < 0) return TRY_FAILED;
    const Answer a = send_once(s, &c, 1, byte_wait(s), !(s->flags & LD_NOCHKSUM));
    if (a == ANSWER_ACK) return TRY_DONE;
    if (a == ANSWER_FAILED) return TRY_FAILED;
    if (a == ANSWER_NACK) {
      ++refusals;
      ++run.nacks;
      continue;
    }
    if (run.cmd->code == LD_CMD_GO) return go_unclear(s, run.cmd, -1);
    // The pair of an unprotect may have been taken: neither a restart nor
    // recovery bytes, its second answer decides (a late one, or silence,
    // is the caller's to probe for once the long budget has run out).
    if (changes_protection(run.cmd)) {
      note_fault(s);
      return TRY_DONE;
    }
    int acks = 0;
    if (back_to_command_level(run, -1, errno == EINVAL, &acks) < 0) return TRY_FAILED;
  }
  // An attempt lost on the line leaves fewer refusals; one clear refusal
  // and no acceptance is the boot loader's own answer.
  run.pair_refused = refusals > 0;
  errno = EINVAL;
  return TRY_FAILED;
}

// A reply that came out of line: the boot loader sends the rest and stands
// at command level once the line is quiet; the command is tried again.
Try reply_lost(ld_session *s) {
  const int err = errno;
  if (err != EBUSY && err != EINVAL) return TRY_FAILED;
  note_fault(s);
  (void)drain_quiet(s, quiet_wait(s), byte_wait(s));
  errno = err;
  return TRY_AGAIN;
}

// The reply bytes that follow the last acknowledgement (a count byte first
// when counted), read in bulk, then the closing acknowledgement.
Try read_reply(CommandRun &run) {
  ld_session *s = run.s;
  const ld_command *cmd = run.cmd;
  int n = cmd->reply_len;
  unsigned char b = 0;
  if (cmd->counted) {
    if (await_byte(s, &b, byte_wait(s)) < 0) return reply_lost(s);
    n = b + 1;
    if (cmd->reply_got) *cmd->reply_got = n;
  }
  if (n > 0) {
    std::vector<unsigned char> bytes(static_cast<size_t>(n));
    if (port_read_bytes(s->fh, bytes.data(), bytes.size(), byte_wait(s), s->stop, nullptr) < 0)
      return reply_lost(s);
    for (int i = 0; i < n && i < cmd->reply_len; ++i) cmd->reply[i] = bytes[static_cast<size_t>(i)];
  }
  if (cmd->closing_ms <= 0 || !(s->flags & LD_WAITACK)) return TRY_DONE;
  const int r = await_byte(s, &b, answer_wait(s, cmd->closing_ms));
  if (r == 0 && b == LD_ACK) return TRY_DONE;
  if (r < 0 && errno != EBUSY) return TRY_FAILED;
  if (r == 0) errno = EINVAL;
  // A refusal is the command's own answer: it fails. Without a reply (the
  // unprotect commands) silence fails it too.
  if (r == 0 && b == LD_NACK) {
    ++run.nacks;
    ++run.tries_refused;
    return TRY_FAILED;
  }
  if (cmd->reply_len == 0) {
    note_fault(s);
    // Silence after a long budget: the module may still be busy with it.
    if (r < 0 && cmd->closing_ms > byte_wait(s)) errno = ETIME;
    return TRY_FAILED;
  }
  return reply_lost(s);
}

// A module busy with a slow erase answers once it is done: silence after
// an erase gets a few more waits, with nothing sent, before the module
// counts as stuck inside the block. An answer then is the erase's own.
Try late_erase_answer(CommandRun &run) {
  ld_session *s = run.s;
  unsigned char b = 0;
  for (int i = 0; i < s->budgets.busy_waits; ++i) {
    if (await_byte(s, &b, byte_wait(s)) < 0) {
      if (errno != EBUSY) return TRY_FAILED;
      continue;
    }
    if (b == LD_ACK && !port_input_pending(s->fh)) return TRY_DONE;
    if (b != LD_NACK) break;
    ++run.nacks;
    if (realign_or_restart(s) < 0) return TRY_FAILED;
    errno = EINVAL;
    return TRY_AGAIN;
  }
  errno = EBUSY;
  return TRY_AGAIN;
}

// Whether block i of the command is awaited for the long budget: an erase
// of the whole flash, acknowledged once it is done.
bool waits_long(const ld_session *s, const ld_command *cmd, int i) {
  return erases_whole(cmd) && block_wait(s, cmd->blocks[i].wait_ms) > byte_wait(s);
}

// The long wait for block `sent` ran out in silence. The module may still
// be erasing, slower than its budget, or stand inside the block with a byte
// of it lost. It gets neither a recovery flood nor the command again while
// it may be busy: one recovery byte (it completes none of the blocks a lost
// or damaged byte could have left open) after each wait, for the rest of
// ld_long_wait_ms. An acknowledgement then is the erase's own, late. Any
// other answer shows the module idle at command level, the block refused at
// a probe (never taken) or its answer damaged: the command is tried again,
// as it can no longer meet a busy module. Silence fails it with ETIME.
Try long_wait_over(CommandRun &run, int sent) {
  ld_session *s = run.s;
  Recovery r(run.cmd, sent, s->last_wire.data(), s->last_wire.size());
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(ld_long_wait_ms(s) - s->budgets.long_ms);
  unsigned char b = 0;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      errno = ETIME;
      return TRY_FAILED;
    }
    const unsigned char probe = r.next();
    s->last_wire.assign(1, probe);
    if (write_all(s, &probe, 1) < 0) return TRY_FAILED;
    if (await_byte(s, &b, static_cast<int>(std::min<long long>(left, byte_wait(s)))) == 0) break;
    if (errno != EBUSY) return TRY_FAILED;
  }
  if (b != LD_ACK) ++run.nacks;
  // The probes the module took after its answer may leave a byte over.
  s->facts.aligned = false;
  if (realign_or_restart(s) < 0) return TRY_FAILED;
  errno = EINVAL;
  return b == LD_ACK ? TRY_DONE : TRY_AGAIN;
}

// A block whose answer was lost or damaged (answered: a byte came, but not
// a clear one): back to a known state, then decide whether the command took
// effect.
Try unclear(CommandRun &run, int sent, bool answered) {
  ld_session *s = run.s;
  const ld_command *cmd = run.cmd;
  if (cmd->code == LD_CMD_GO) return go_unclear(s, cmd, sent);
  const int err = errno;
  if (err == EBUSY && waits_long(s, cmd, sent) && (s->flags & LD_WAITACK))
    return long_wait_over(run, sent);
  // A budget beyond the wait (the mass erase, a long page list) already
  // covers the erase.
  if (err == EBUSY && is_erase(cmd) && block_wait(s, cmd->blocks[sent].wait_ms) <= byte_wait(s) &&
      (s->flags & LD_WAITACK)) {
    const Try late = late_erase_answer(run);
    if (late != TRY_AGAIN || errno == EINVAL) return late;
    errno = err;
  }
  int acks = 0;
  if (back_to_command_level(run, sent, answered, &acks) < 0) return TRY_FAILED;
  if (sent + 1 < cmd->nblocks || !cmd->settle) return TRY_AGAIN;
  const int settled = cmd->settle(s, cmd->ctx, acks > 0);
  if (settled < 0) return TRY_FAILED;
  errno = err;
  return settled > 0 ? TRY_DONE : TRY_AGAIN;
}

// A block acknowledged early: the answers beyond it are read and counted;
// acknowledgements among them are acts of the boot loader on bytes of ours
// that it took as commands.
Try acknowledged_early(CommandRun &run, int sent) {
  ld_session *s = run.s;
  note_fault(s);
  size_t acks = 0;
  (void)drain_quiet(s, quiet_wait(s), byte_wait(s), &acks);
  if (acks > 0 && run.cmd->reply_len == 0 && !run.cmd->counted)
    s->facts.stray_acts |= LD_STRAY_ERASE | LD_STRAY_WRITE;
  errno = EPROTO;
  return unclear(run, sent, true);
}

Try try_command(CommandRun &run) {
  ld_session *s = run.s;
  const ld_command *cmd = run.cmd;
  const Try pair = send_pair(run);
  if (pair != TRY_DONE) return pair;
  for (int i = 0; i < cmd->nblocks; ++i) {
    const ld_block &b = cmd->blocks[i];
    const Answer a =
        send_once(s, b.data, b.len, block_wait(s, b.wait_ms), !(s->flags & LD_NOCHKSUM));
    const bool last = i + 1 == cmd->nblocks;
    if (a != ANSWER_NACK && is_erase(cmd)) ++s->facts.erase_blocks;
    if (a == ANSWER_ACK && answered_early(s, cmd, last)) return acknowledged_early(run, i);
    if (a == ANSWER_ACK) continue;
    if (a == ANSWER_FAILED) return TRY_FAILED;
    // A refusal ends the command in the boot loader: it waits for a new
    // pair. A block cut short by a damaged count byte may have left a byte
    // of ours over, as may a refusal that came early, so the pair is first
    // checked to be taken as one; a block of fixed length refused in line
    // leaves nothing over.
    if (a == ANSWER_NACK) {
      ++run.nacks;
      ++run.tries_refused;
      const int err = errno;
      if ((has_count(cmd, i) || !s->facts.aligned) && realign_or_restart(s) < 0) return TRY_FAILED;
      errno = err;
      return TRY_AGAIN;
    }
    return unclear(run, i, errno == EINVAL);
  }
  return read_reply(run);
}

// The refusals a command met were faults of the line when it went through,
// or when it failed for another reason; a command refused cleanly at every
// try is the boot loader's answer.
void account(CommandRun &run, bool done) {
  ld_facts &f = run.s->facts;
  const bool clean = f.line_faults == run.faults_at_start;
  const bool refused = run.pair_refused || (run.tries > 0 && run.tries_refused == run.tries);
  if (!done && refused && clean) {
    ++f.refusals;
    return;
  }
  f.line_faults += static_cast<unsigned long>(run.nacks);
}

// A reply follows the command's acknowledgements, which must be read to
// find it, whatever the session's flags: without them, the answers still
// owed to blocks sent unawaited are read first, so that none passes for
// this command's; then its acknowledgements are awaited while it runs.
class AcksForReply {
 public:
  AcksForReply(ld_session *s, bool reply) : s_(s), flags_(s->flags) {
    if (!reply || (s->flags & LD_WAITACK)) return;
    collect_unawaited(s);
    s->flags |= LD_WAITACK;
  }
  ~AcksForReply() { s_->flags = flags_; }
  AcksForReply(const AcksForReply &) = delete;
  AcksForReply &operator=(const AcksForReply &) = delete;

 private:
  ld_session *s_;
  int flags_;
};

}  // namespace

bool answered_early(ld_session *s, const ld_command *cmd, bool last) {
  if (!(s->flags & LD_WAITACK) || (last && (cmd->reply_len > 0 || cmd->code == LD_CMD_GO)))
    return false;
  // An answer that came while bytes of the block were still queued: the
  // answers to the rest come once it is out. Otherwise the output was empty.
  if (s->answer_ahead) {
    (void)port_wait_sent(s->fh, byte_wait(s), s->stop);
    return true;
  }
  return port_input_pending(s->fh);
}

int run_command(ld_session *s, const ld_command *cmd, bool *pair_refused) {
  *pair_refused = false;
  if (!cmd || cmd->nblocks < 0 || (cmd->nblocks > 0 && !cmd->blocks) ||
      (cmd->reply_len > 0 && !cmd->reply)) {
    errno = EINVAL;
    return -1;
  }
  const AcksForReply acks(s, cmd->reply_len > 0 || cmd->counted);
  CommandRun run{s, cmd};
  run.faults_at_start = s->facts.line_faults;
  for (int t = 0; t < LD_COMMAND_TRIES; ++t) {
    ++run.tries;
    const Try r = try_command(run);
    if (r == TRY_DONE) {
      account(run, true);
      errno = 0;
      return 0;
    }
    if (r == TRY_UNCONFIRMED) {
      account(run, true);
      errno = EBUSY;
      return 1;
    }
    if (r == TRY_FAILED) break;
  }
  const int err = errno;
  *pair_refused = run.pair_refused;
  account(run, false);
  errno = err;
  return -1;
}

}  // namespace ld_internal

int ld_long_wait_ms(const ld_session *s) {
  return s->budgets.long_ms + s->budgets.long_ms / 2;
}

int ld_run_command(ld_session *s, const ld_command *cmd) {
  bool refused = false;
  return ld_internal::run_command(s, cmd, &refused);
}

int ld_restart(ld_session *s, int addr) {
  const std::array<char, 4> block = ld_address_block(static_cast<uint32_t>(addr));
  const ld_block param = {block.data(), 4, 0};
  const ld_command cmd = {LD_CMD_GO, &param, 1, nullptr, 0, nullptr, nullptr};
  const int r = ld_run_command(s, &cmd);
  // Without acknowledgements awaited, nothing tells that Go was taken.
  if (r == 0 && (s->flags & LD_WAITACK)) s->facts.app_started = true;
  return r;
}

int ld_read_memory(ld_session *s, uint32_t addr, unsigned char *buf, int len) {
  if (!buf || len < 1 || len > LD_FRAGMENT_MAX) {
    errno = EINVAL;
    return -1;
  }
  const std::array<char, 4> address = ld_address_block(addr);
  // The count goes out as a one-byte block: N-1 and its complement.
  const char count = static_cast<char>(len - 1);
  const ld_block blocks[2] = {{address.data(), 4, 0}, {&count, 1, 0}};
  const ld_command cmd = {LD_CMD_READ, blocks, 2, buf, len, nullptr, nullptr};
  return ld_run_command(s, &cmd);
}
