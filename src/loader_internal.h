// What the loader's source files share: the byte-level steps beneath the
// public operations of loader.h, each in the session's context.
#ifndef TARVION_LOADER_INTERNAL_H
#define TARVION_LOADER_INTERNAL_H

#include <cstddef>
#include <memory>
#include <vector>

#include "loader.h"

namespace ld_internal {

// The answer to one block sent once.
enum Answer {
  ANSWER_FAILED = -1,  // the port failed or the run was stopped: errno says why
  ANSWER_ACK = 0,      // 0x79
  ANSWER_NACK = 1,     // 0x1F: the boot loader has left the command
  ANSWER_UNCLEAR = 2,  // nothing within the wait (errno EBUSY), or another byte (EINVAL)
};

// A wait that tells no answer from a late one: ms, and never less than
// twice the latency seen (seen_latency_ms).
int answer_wait(const ld_session *s, int ms);
// The session's budgets that way: a byte awaited (wait_ms), and the quiet
// that shows no answer is on its way (answer_ms).
int byte_wait(const ld_session *s);
int quiet_wait(const ld_session *s);

// A block's budget: ms, or the session's byte_wait when ms is 0.
int block_wait(const ld_session *s, int ms);

// The latency an answer that needed no work of the module showed (a
// command pair's): the first such after a sync replaces the sync's bound,
// later ones can only raise it.
void note_latency(ld_session *s, int ms);

// The wire time of n bytes at the session's line rate (the slowest rate a
// boot loader measures, 1200 Bd, when it is not known), 11 bits a byte, in
// whole milliseconds rounded up.
int wire_ms(const ld_session *s, size_t n);

// A fault of the line: counted, and the boot loader's alignment in doubt.
void note_fault(ld_session *s);

// The port's I/O with the session's stop flag (port.h).
int write_all(ld_session *s, const unsigned char *p, size_t n);
int await_byte(ld_session *s, unsigned char *b, int ms);

// Reads and drops the unread input, tallying it as answers of blocks sent
// without awaiting them (facts.unawaited_*). Returns how many bytes that was;
// *acks (when given) receives how many were acknowledgements.
size_t discard_input(ld_session *s, size_t *acks = nullptr);

// Reads what the port receives until it has been quiet for quiet_ms (at
// most max_ms in all). Returns the number of bytes; *acks (when given)
// receives how many were acknowledgements.
size_t drain_quiet(ld_session *s, int quiet_ms, int max_ms, size_t *acks = nullptr);

// Sends a block (1 to 1026 bytes, with its checksum when checksum) once after
// discarding unread input, and, under LD_WAITACK, awaits its answer for at
// most ms. Without LD_WAITACK the answer is ANSWER_ACK.
Answer send_once(ld_session *s, const char *buf, int len, int ms, bool checksum);

// A block tried up to `attempts` times, each answer awaited for at most ms.
// Returns 0 once acknowledged (errno 0), otherwise -1 with errno from the
// last attempt; *refusals, when given, counts the attempts refused with 0x1F.
int send_block(ld_session *s, const char *buf, int len, int attempts, int ms, int *refusals);

// Recovery bytes for a boot loader that may be inside a block: each byte is
// chosen so that it completes, with a fitting checksum, none of the blocks
// that a single lost or damaged byte of the block just sent could have left
// open (wire: that block with its checksum; sent: its index in cmd, -1 for
// the command pair), and never forms a byte-and-complement pair with the
// byte before it.
class Recovery {
 public:
  Recovery(const ld_command *cmd, int sent, const unsigned char *wire, size_t len);
  ~Recovery();
  Recovery(const Recovery &) = delete;
  Recovery &operator=(const Recovery &) = delete;
  // The next recovery byte.
  unsigned char next();
  // Every block listed has ended, and a pair followed.
  bool exhausted() const;
  // A byte had to be sent that completes one of the listed blocks (a
  // fragment that holds every byte value).
  bool uncovered() const { return uncovered_; }

 private:
  struct Model;
  void tidy(bool merge);
  std::unique_ptr<Model> model_;
  unsigned char prev_;
  long made_ = 0;
  int extra_ = 0;
  bool uncovered_ = false;
};

// A probe byte that cannot pair with prev into a command.
unsigned char probe_after(unsigned char prev);

// Brings a boot loader that may be inside block `sent` of cmd (-1: its pair)
// back to its command level without a reset: Recovery bytes, one at a time
// for the short cases, then in doubling bursts as far as the longest block
// the command allows, until the boot loader refuses one; then realign.
// *acks counts the acknowledgements that came on the way: the boot loader
// accepted a block late, or acted on one the flasher did not send whole.
// Returns 0, or -1 with errno EBUSY (no answer) or as the port left it.
int recover(ld_session *s, const ld_command *cmd, int sent, int *acks);

// Makes sure the boot loader takes the next byte as the first of a command
// pair: waits until the line is quiet, then sends probe bytes (each unable
// to pair with the one before into a command) until one is answered, up to
// four. A leftover byte is completed by the first probe; else the second
// completes the pair the first began. Returns 0 (facts.aligned set, no sync
// byte unaccounted for), or -1 with errno EBUSY (no probe answered) or as
// the port left it.
int realign(ld_session *s);

// Settles the 0x7F bytes a sync left unanswered (facts.syncs_unanswered):
// waits until the answers the boot loader may still send to them are in,
// then sends Get Version's pair, which it answers either way, so that no
// silence must be waited out: with its reply when nothing was left over,
// with a refusal when a 0x7F was, whose pair the second byte then begins
// (one probe completes it). Returns true once the boot loader stands at
// command level (facts.aligned), false when nothing was left to settle or
// an answer was unclear (the caller realigns).
bool settle_sync(ld_session *s);

// Whether send_once's answer came while bytes of its block were still
// queued, or bytes wait once the block is out: the boot loader ended the
// block early (a lost or damaged count byte) and may have taken the rest as
// commands. Not asked of a last block followed by a reply or of Go.
bool answered_early(ld_session *s, const ld_command *cmd, bool last);

// ld_run_command; *pair_refused tells whether it failed because no attempt
// of the command pair was accepted and at least one was refused with 0x1F
// (the boot loader does not know the command; the other attempts may have
// been lost on the line).
// Returns 1 (errno EBUSY) for a Go whose start cannot be confirmed.
int run_command(ld_session *s, const ld_command *cmd, bool *pair_refused);

}  // namespace ld_internal

#endif
