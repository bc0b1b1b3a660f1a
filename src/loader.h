// The module's ROM boot-loader protocol over an open serial port.
//
// Every operation works in a session (ld_session), a record the caller
// creates and passes to each of them: the port, the flags, the budgets of
// the waits, how to restart the module, the stop flag, and what has happened
// so far. The loader prints nothing; it reports through the session.
//
// Every operation returns 0 on success with errno 0, and -1 on failure with
// errno telling why:
//   EBUSY   an awaited byte did not come within its budget;
//   EINVAL  a byte other than the acknowledgement 0x79 came, or the request
//           itself was out of range (nothing is sent then);
//   EIO     the port delivered no byte (end of file: the device went away);
//   EINTR   the session's stop flag was set;
//   EBADMSG a reply that carries no checksum was read again and again, and
//           no two of the reads agreed;
//   ETIME   a long command (a mass erase, an unprotect command) got no answer
//           within ld_long_wait_ms, nor did the module to the probes after
//           its budget: it may still be busy with it;
//   otherwise as the failed read, write or wait left it.
#ifndef TARVION_LOADER_H
#define TARVION_LOADER_H

#include <array>
#include <csignal>
#include <cstdint>
#include <vector>

#include "image.h"
#include "image_layout.h"
#include "loader_codes.h"

constexpr int LD_NOCHKSUM = 1;  // send blocks without their checksum byte (the sync alone)
constexpr int LD_WAITACK = 2;   // await and examine the acknowledgement of each block
constexpr int LD_VERBOSE = 4;   // verbose operation (carried along for the driver)
constexpr int LD_PROGRESS = 8;  // the driver shows the progress of a write (carried along)

constexpr int LD_ATTEMPTS = 3;       // tries of a command pair
constexpr int LD_COMMAND_TRIES = 3;  // tries of a whole command
constexpr int LD_ID_BYTES = 4;       // identifier bytes that make up its value
constexpr int LD_REPLY_READS = 3;    // reads of a reply, two of which must agree

// The budgets of a session's waits, in milliseconds. The defaults are the
// real module's; tests shorten them.
struct ld_budgets {
  int wait_ms = 1000;  // each byte awaited from the module
  // A mass erase; an unprotect command's second answer. The driver sets it
  // from the part's erase time once the part is known, unless long_fixed.
  int long_ms = 60000;
  bool long_fixed = false;
  int sync_ms = 3000;   // the synchronisation in all (covers the slowest start-up)
  int latency_ms = 20;  // what the line may add to an answer (a USB adapter's timer)
  int answer_ms = 50;   // an answer that needs no work of the module (a refusal)
  int busy_waits = 3;   // more waits for an erase that answers late
};

// What has happened during the session, each kind of fact apart.
struct ld_facts {
  // Faults of the line: an answer lost, damaged or unexpected, unread bytes
  // before a block, a recovery, a pair refused and then accepted. A caller
  // compares it before and after a step to learn whether the step met any.
  unsigned long line_faults = 0;
  // Commands the boot loader refused at every try, cleanly (a command it
  // does not offer, or one its protection forbids): no fault of the line.
  unsigned long refusals = 0;
  // Acts the flasher did not mean (LD_STRAY_ERASE, LD_STRAY_WRITE): the
  // module acted on a block the flasher did not send whole, or answered
  // more acknowledgements than blocks were sent. Kept across restarts.
  unsigned stray_acts = 0;
  // Answers not yet accounted for: 0x7F bytes of the sync that no answer
  // matched (the boot loader may hold one as the first byte of a pair). The
  // next command first realigns; a restart through the reset line clears it.
  int syncs_unanswered = 0;
  // Whether the boot loader is known to take the next byte as the first of a
  // command pair: its last answer came to the last byte sent, and nothing
  // unaccounted for came since.
  bool aligned = false;
  // Whether a sync of the session has been answered.
  bool heard = false;
  // Without acknowledgements awaited: the blocks sent, and the answers found
  // since (acknowledgements and others).
  unsigned long unawaited_blocks = 0, unawaited_acks = 0, unawaited_others = 0;
  // The check of those answers after a write: refusals and answers missing.
  unsigned long check_refused = 0, check_missing = 0;
  // Erase blocks (the mass erase's or a page list) that went out and were not
  // refused: acknowledged, unanswered or cut short. Each may have erased flash.
  unsigned long erase_blocks = 0;
  // Go was acknowledged: the module runs the code it was sent to.
  bool app_started = false;
};
constexpr unsigned LD_STRAY_ERASE = 1;  // pages outside the image may have been erased
constexpr unsigned LD_STRAY_WRITE = 2;  // flash may have been written outside the fragment

// What a session reports to its caller as it goes.
enum ld_event {
  LD_EVENT_ALREADY_SYNCED,  // the sync met a boot loader that already listened
  LD_EVENT_EXTENDED_ERASE,  // a mass erase by 0x44 begins; value: its budget in ms
  LD_EVENT_BLOCK,           // a fragment of a write or verify begins; value: its bytes
};

struct ld_session;

// How the run restarts the module into its boot loader: the entry sequence
// through the reset line and a new synchronisation. reenter returns 0 once
// the boot loader answers again, -1 with errno otherwise. Without a reset
// line (reenter null) nothing can restart the module, and the loader brings
// the boot loader back to command level with recovery bytes instead.
struct ld_reentry {
  int (*reenter)(ld_session *s, void *ctx) = nullptr;
  void *ctx = nullptr;
};

// One conversation with the boot loader. The caller fills fh, flags, baud,
// and what it needs of the rest, and passes the record to every operation.
struct ld_session {
  int fh = -1;
  int flags = 0;  // LD_WAITACK, LD_VERBOSE
  int baud = 0;   // the line's rate in baud; 0: not known (the slowest is assumed)
  ld_budgets budgets;
  ld_reentry reentry;
  // Set by a signal handler: every block attempt then fails at once with
  // EINTR, a wait running or about to begin ends early, and a write that the
  // signal cut short is not continued. Null: never.
  const volatile sig_atomic_t *stop = nullptr;
  // Called with each event; null: none reported.
  void (*report)(void *ctx, ld_event what, long value) = nullptr;
  void *report_ctx = nullptr;
  ld_facts facts;
  // The last block as it went out (checksum included), for the recovery;
  // whether its answer came while bytes of it were still queued.
  std::vector<unsigned char> last_wire;
  bool answer_ahead = false;
  // The line's latency seen, in ms: the time an answer takes beyond the
  // bytes' own. A sync sets a bound (its first answer's delay since its
  // first 0x7F: a module still starting may have lost the ones before); the
  // answers to command pairs measure it (latency_sampled). Every wait that
  // tells no answer from a late one is at least twice it.
  int seen_latency_ms = 0;
  bool latency_sampled = false;
  // The last sync's time from its first 0x7F to its last, in ms.
  int sync_spread_ms = 0;
};

// One block of a command after its command pair, with the budget of its
// acknowledgement (0: the session's wait_ms).
struct ld_block {
  const char *data;
  int len;  // 1 to 257; a page list of the extended erase up to 1026
  int wait_ms;
};

// A whole command of the boot loader: the command pair, then blocks, each
// acknowledged, then optionally a reply of reply_len bytes (Read Memory,
// Get Version) or a counted reply (Get, Get ID: a count N, then N+1 bytes,
// of which at most reply_len are kept), then optionally a closing
// acknowledgement (Get, Get Version, Get ID; the unprotect commands, whose
// second acknowledgement comes once they are done).
struct ld_command {
  unsigned char code;
  const ld_block *blocks;
  int nblocks;
  unsigned char *reply;  // reply_len bytes are stored here
  int reply_len;
  // Asked when the last block's answer was lost or damaged, once the boot
  // loader is back at its command level: 1 when the command took effect
  // anyway, 0 when it is to be tried again, -1 (errno set) to fail. accepted
  // tells whether an acknowledgement came during the recovery. Null: the
  // command took effect exactly when it did.
  int (*settle)(ld_session *s, void *ctx, bool accepted);
  void *ctx;
  bool counted = false;      // the reply is a count byte and N+1 bytes
  int *reply_got = nullptr;  // counted: N+1 is stored here
  int closing_ms = 0;        // > 0: a closing acknowledgement, awaited this long
};

// The first silence after a sync's 0x7F for the session: two bytes' time at
// its line rate, and the line's latency (the budget's, or the latency seen
// when longer).
int ld_sync_interval_ms(const ld_session *s);

// Synchronises with the boot loader: the byte 0x7F, never with a checksum.
// Under LD_WAITACK unread input is discarded first; then a 0x7F goes out,
// and again after each silence, which begins at ld_sync_interval_ms and
// doubles after every 0x7F up to 200 ms: a slow line has few
// of them out before its first answer, a boot loader still starting is met
// soon after it listens, and the line stays idle between the bytes; for
// budgets.sync_ms in all. One 0x00 before the answer is passed over (some
// modules put it on the line as they start); another answer that is neither
// 0x79 nor 0x1F is tried again, three answers in all. A boot loader that
// already listens (an earlier run left it synchronised) answers 0x1F, to the
// first 0x7F or, after silence, to the second: it is synchronised then too
// (LD_EVENT_ALREADY_SYNCED). A 0x1F to the session's very first 0x7F alone
// may also come from a boot loader not yet synchronised that refused it
// damaged: the module is entered again through the session's re-entry, or
// without one a second sync tells the two apart. The first answer's delay
// bounds seen_latency_ms. More 0x7F bytes out than answers back leave
// facts.syncs_unanswered for the next command to settle. Without LD_WAITACK
// one 0x7F goes out and nothing is awaited. Stores in *answered_ms (when
// given) how long after its first 0x7F the 0x7F went out that got the first
// answer; -1 when none was answered. Returns 0, or -1 with errno EBUSY
// (silence for the whole budget), EINVAL (three answers that are neither
// 0x79 nor 0x1F: a boot loader that took a wrong line speed), EINTR or as
// the port left it.
int ld_sync(ld_session *s, int *answered_ms);
// Get Version (0x01): the boot loader's version and two option bytes into
// reply[0..2] (reply may be null), then its closing acknowledgement; read
// until two replies agree (ld_read_until_agree, LD_REPLY_READS). Returns 0,
// or -1 with errno as ld_run_command, EBADMSG when no two replies agreed.
int ld_get_version(ld_session *s, unsigned char *reply);
// Get (0x00): the boot loader's version into *version and its command codes
// into *codes, read until two replies agree as ld_get_version.
int ld_get_commands(ld_session *s, unsigned char *version, std::vector<unsigned char> *codes);
// Runs a whole command under LD_WAITACK: a refused command pair is sent
// again (three attempts, realigned first when the boot loader's alignment is
// in doubt); a block refused inside the command, or one whose answer is lost
// or damaged, starts the command again from its pair once the boot loader is
// back at command level, at most three tries. A lost reply byte also starts
// it again. A block of an erase of the whole flash awaited longer than a
// byte, or a closing answer awaited that long (an unprotect command), is an
// exception: silence past its budget is never followed by the command again
// while the module may be busy (see ld_erase_extended; ETIME). Nor is an
// unprotect command's pair without a clear answer: the module may have
// begun changing its protection, so neither a restart nor recovery bytes
// follow; its second answer is awaited as if the pair had been taken.
// Acknowledgements beyond the blocks sent are recorded as acts not meant.
// Without LD_WAITACK every block goes out once, unawaited; but a command
// with a reply (Get, Get Version, Get ID, Read Memory) has its
// acknowledgements read as under LD_WAITACK, since its reply follows them:
// the answers still owed to blocks sent before without awaiting them are
// read first (each at most budgets.wait_ms). Returns 0, or -1 with errno as
// the last try left it (EINVAL refused, EBUSY no answer, ETIME, EIO, EINTR).
int ld_run_command(ld_session *s, const ld_command *cmd);
// Read Memory: len (1 to 256) bytes from addr into buf (command 0x11, the
// address, then len-1 with its complement; the bytes follow the ACK, read in
// bulk).
// Returns 0, or -1 with errno as ld_run_command (EINVAL for len out of
// range, nothing sent).
int ld_read_memory(ld_session *s, uint32_t addr, unsigned char *buf, int len);
// After a command on which only some families restart the module (an
// option write, Write Unprotect, Readout Unprotect): probes instead of
// assuming either. The paced sync (a 0x7F after each silence, as ld_sync,
// for budgets.sync_ms, so that a module still busy or starting is met once
// it listens): 0x79 means the boot loader restarted and is synchronised
// again (*restarted true); 0x1F, to the first 0x7F or after silence to the
// second, means it stayed synchronised at command level (*restarted false).
// Nothing is reported. A module that answers neither is entered again
// through the session's reset line where it has one (*restarted true).
// Silence on the way counts as no fault of the line. Without LD_WAITACK it
// waits a sixth of the sync budget and sends one 0x7F. Returns 0, or -1
// with errno as ld_sync.
int ld_probe_restart(ld_session *s, bool *restarted);

// Holds the session's stop flag while a command that must not be cut short
// is out (an option write, an unprotect command): a signal then ends none of
// its waits, which run to their answer or budget. The flag counts again
// once the hold ends. The caller checks the flag before it begins.
class ld_stop_held {
 public:
  explicit ld_stop_held(ld_session *s);
  ~ld_stop_held();
  ld_stop_held(const ld_stop_held &) = delete;
  ld_stop_held &operator=(const ld_stop_held &) = delete;

 private:
  ld_session *s_;
  const volatile sig_atomic_t *stop_;
};

// One read of a reply that carries no checksum: its bytes into *out.
// Returns 0, or -1 with errno.
using ld_reply_reader = int (*)(ld_session *s, void *ctx, std::vector<unsigned char> *out);

// Replies that may be believed. The replies of Get, Get Version, Get ID and
// Read Memory carry no checksum, and the line's parity misses two bits
// flipped in one byte: a reply decides nothing until two reads of it agree.
// Calls read (with ctx) until two of its replies are equal, at most `reads`
// (2 or more) times, and stores the bytes they agree on in *out. A reply
// equal to *expected (when given: the bytes the caller knows they should be)
// is believed at once, as damage on the line would have to make exactly
// those bytes of others. Returns 0; -1 with errno EBADMSG when no two
// replies agreed (*out then holds the last), or as read left it.
int ld_read_until_agree(ld_session *s, int reads, ld_reply_reader read, void *ctx,
                        const std::vector<unsigned char> *expected,
                        std::vector<unsigned char> *out);

// Reads len (1 to 256) bytes from addr with ld_read_memory until two of the
// reads agree (ld_read_until_agree, at most `reads`), and stores the bytes
// they agree on in buf. Returns 0; 1 with errno EIO when no two reads agreed
// (buf then holds the last read); -1 with errno as ld_read_memory.
int ld_read_agreed(ld_session *s, uint32_t addr, unsigned char *buf, int len, int reads);
// Get ID (command 0x02; the reply: a length byte L, L+1 identifier bytes,
// each awaited at most budgets.wait_ms, the closing 0x79) until two replies
// agree (ld_read_until_agree, LD_REPLY_READS): the identifier, its first
// min(L+1, 4) bytes most significant first, into *id. Returns 0, or -1 with
// errno as ld_run_command, EBADMSG when no two replies agreed.
int ld_getid_agreed(ld_session *s, unsigned int *id);
// Lifts read-out protection: Readout Unprotect (0x92), whose second
// acknowledgement comes once the module has erased its whole flash (awaited
// up to budgets.long_ms); then ld_probe_restart. The session's stop is held
// while the command is out (ld_stop_held). Without the second answer the
// command is not sent again: 0x7F bytes probe, without the reset line, for
// the rest of ld_long_wait_ms, and an answer to them counts as the module
// done (ld_probe_restart follows). Returns 0, or -1 with errno (EINVAL
// refused, EBUSY no answer, ETIME no answer to the command nor to the
// probe, EINTR stopped before it).
int ld_readout_unprotect(ld_session *s);
// Lifts write protection: Write Unprotect (0x73), which keeps the flash;
// its second acknowledgement and the probe as ld_readout_unprotect.
int ld_write_unprotect(ld_session *s);
// Erases the whole flash: command 0x43, then the block 0xFF. A boot loader
// that refuses 0x43 (0x1F to an attempt and none accepted, under LD_WAITACK)
// is erased with ld_erase_extended. Returns 0, or -1 with errno as that.
int ld_erase_all(ld_session *s);
// Mass erase through the extended erase: Get (0x00) must list 0x44; then
// 0x44 and the block 0xFFFF, whose acknowledgement is awaited for up to
// budgets.long_ms in one wait (a boot loader known to take 0x44 is erased
// this way directly). Silence then gets no recovery flood and no second
// erase while the module may be busy: single probe bytes for the rest of
// ld_long_wait_ms, and the erase goes out again only once the module has
// answered a probe with something other than the erase's acknowledgement
// (it stood inside a block cut short, or its answer was damaged: it is idle
// now). Reports LD_EVENT_EXTENDED_ERASE first. Not listed: -1 with EINVAL;
// the mass erase refused (0x1F, as parts without a mass erase answer it): -1
// with EPERM; no answer to the erase nor to the probes: -1 with ETIME.
int ld_erase_extended(ld_session *s);
// How long a long command is waited for in all: budgets.long_ms, then half
// of it for the probes of a module that may still be busy.
int ld_long_wait_ms(const ld_session *s);
// Erases the listed pages: the command cmd (0x43: 1 to 255 pages numbered up
// to 255; 0x44: 1 to 512 pages), then the page list, whose acknowledgement
// comes once the pages are erased and is awaited for budgets.wait_ms and
// erase_ms more in one wait. Retried as ld_run_command retries a whole
// command. Returns 0, or -1 with errno as ld_run_command (EINVAL also for a
// list the command cannot carry; nothing is sent then).
int ld_erase_pages(ld_session *s, unsigned char cmd, const uint16_t *pages, int count,
                   int erase_ms);
// Writes the plan's fragments in order, each as one whole command (Write
// Memory: 0x31, address, data), reporting LD_EVENT_BLOCK before each. When
// the answer to the data block is lost or damaged, the fragment is read back
// before it is written again: the words hold it already (done), are still
// erased (written again), or hold something else (-1, EIO), so no flash word
// is written twice. Without LD_WAITACK the answers that piled up are read
// once the writes are out (each at most budgets.wait_ms): one per block
// sent, those of blocks sent before the writes included; a refusal or a
// missing answer fails it (EINVAL, EBUSY), their numbers in
// facts.check_refused and facts.check_missing. Returns 0, or -1 with errno.
// A stop once every fragment was acknowledged returns 0 without the closing
// Get Version's check: the stop flag tells the caller.
int ld_write_plan(ld_session *s, const write_plan *plan);
// Reads every fragment of the plan back and compares, reporting
// LD_EVENT_BLOCK before each. The read carries no checksum, so a fragment
// that differs counts only once two reads agree on it (at most five
// reads; a reply byte may be damaged on the line). Returns 0 when all match,
// 1 with *bad the first differing address, -1 with errno when a read failed
// (EIO: no two reads agreed).
int ld_verify_plan(ld_session *s, const write_plan *plan, uint32_t *bad);
// Starts the code at addr: command 0x21, then addr. An unclear answer sends
// one probe pair at most: a refusal shows the boot loader is still there and
// Go is tried again; silence may mean the application runs. Returns 0, -1
// with errno on failure, or 1 (errno EBUSY) when the start cannot be
// confirmed. Under LD_WAITACK a 0 sets facts.app_started.
int ld_restart(ld_session *s, int addr);

// A 32-bit address (or value) as the four-byte block that carries it, most
// significant byte first.
std::array<char, 4> ld_address_block(uint32_t addr);

#endif
