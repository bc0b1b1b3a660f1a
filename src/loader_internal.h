// What the loader's source files share: the byte-level steps beneath the
// public operations of loader.h.
#ifndef TARVION_LOADER_INTERNAL_H
#define TARVION_LOADER_INTERNAL_H

#include <cstddef>
#include <memory>
#include <vector>

#include "loader.h"

namespace ld_internal {

// The answer to one block sent once.
enum Answer {
  ANSWER_FAILED = -1,  // the port failed or the run was aborted: errno says why
  ANSWER_ACK = 0,      // 0x79
  ANSWER_NACK = 1,     // 0x1F: the boot loader has left the command
  ANSWER_UNCLEAR = 2,  // nothing within the wait, or another byte (errno EBUSY or EINVAL)
};

// The registered re-entry (ld_set_reentry); reenter is null when none.
extern ld_reentry reentry;

// Writes all n bytes, continuing after short writes; an output that is full
// or held back (flow control) is waited for, within the wire time of the n
// bytes at 19200 Bd and a second. Returns 0, or -1 with errno from write (EIO
// when it wrote nothing without saying why, EINTR once ld_abort is set,
// ETIMEDOUT when the output stayed blocked for the whole budget).
int write_all(int fh, const unsigned char *p, size_t n);

// Waits until the port's output queue is empty (within the same budget as
// write_all for what is queued), then lets the driver send its last bytes
// (tcdrain). Returns 0, or -1 with errno (ETIMEDOUT, EINTR, that of ioctl).
int drain_output(int fh);

// Awaits one byte for at most ms and reads it; a byte that another reader
// took before the read leaves the wait going for the rest of its time.
// Returns 0, or -1 with errno EBUSY (nothing came), EIO (end of file) or
// that of the failed wait or read.
int await_byte(int fh, unsigned char *b, int ms);

// Whether the port has been hung up (its far end went away).
bool hung_up(int fh);

// Counts the answers that were not a plain acknowledgement, and the unread
// bytes found before a block, since the program started. A command that
// raised it may have met answers to an earlier command that the boot loader
// ended early (a lost count byte), so the caller that needs to know takes
// the count before and after.
extern unsigned long irregularities;

// The blocks sent without awaiting their answers (LD_WAITACK off), and the
// unread bytes discard_input found, as acknowledgements and others, since
// the program started.
struct Unawaited {
  unsigned long blocks, acks, others;
};
extern Unawaited unawaited;

// Discards the unread input (tallied in unawaited) and returns how many
// bytes that was.
size_t discard_input(int fh);

// Sends a block (1 to 257 bytes, with its checksum unless LD_NOCHKSUM) once
// after discarding unread input, and, under LD_WAITACK, awaits its answer for
// at most ms. Without LD_WAITACK the answer is ANSWER_ACK.
Answer send_once(int fh, const char *buf, int len, int flags, int ms);

// A block tried up to `attempts` times, each answer awaited for at most ms.
// Returns 0 once acknowledged (errno 0), otherwise -1 with errno from the
// last attempt; *refusals, when given, counts the attempts refused with 0x1F.
int send_block(int fh, const char *buf, int len, int flags, int attempts, int ms, int *refusals);

// The bytes of the last block sent, its checksum included.
extern std::vector<unsigned char> last_wire;
// Whether send_once's answer came while bytes of its block were still queued
// for the line: the boot loader ended the block early.
extern bool answer_ahead;

// What the module may have done on a block the flasher did not send whole
// (an acknowledgement came during a recovery): STRAY_ERASE pages, STRAY_WRITE
// flash at an address that may not be the fragment's. ld_take_stray_acts
// reads and clears it.
constexpr unsigned STRAY_ERASE = 1;
constexpr unsigned STRAY_WRITE = 2;
extern unsigned stray_acts;

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
int recover(int fh, const ld_command *cmd, int sent, int flags, int *acks);

// After a refusal: the boot loader is at command level, but a byte of the
// refused block may be left over as the first of a pair. Waits until the
// line is quiet, then a probe byte makes sure a fresh pair is taken as one.
// Returns 0, or -1 with errno EBUSY (no answer) or as the port left it.
int realign(int fh, int flags);

// Waits (at most max_ms, polling the output queue, no kernel drain) until
// the bytes written have left the port. Returns true when they have.
bool wait_sent(int fh, int max_ms);

// Whether the port holds unread bytes right now (a hang-up is none).
bool input_pending(int fh);

// Discards what the port receives until it has been quiet for quiet_ms (at
// most max_ms in all).
void drain_quiet(int fh, int quiet_ms, int max_ms);

// ld_run_command; *pair_refused tells whether it failed because no attempt
// of the command pair was accepted and at least one was refused with 0x1F
// (the boot loader does not know the command; the other attempts may have
// been lost on the line).
// Returns 1 (errno EBUSY) for a Go whose start cannot be confirmed.
int run_command(int fh, const ld_command *cmd, int flags, bool *pair_refused);

}  // namespace ld_internal

#endif
