// The module's ROM boot-loader protocol over an open serial port.
//
// Every operation returns 0 (ld_getid: the identifier) on success with errno
// 0, and -1 (ld_getid: 0xFFFFFFFF) on failure with errno telling why:
//   EBUSY   an awaited byte did not come within 1000 ms;
//   EINVAL  a byte other than the acknowledgement 0x79 came, or the request
//           itself was out of range (nothing is sent then);
//   EIO     the port delivered no byte (end of file: the device went away);
//   EINTR   ld_abort was set;
//   otherwise as the failed read, write or wait left it.
#ifndef TARVION_LOADER_H
#define TARVION_LOADER_H

#include <csignal>
#include <cstdint>

#include "image.h"
#include "image_layout.h"
#include "progress.h"

constexpr int LD_NOCHKSUM = 1;  // send blocks without their checksum byte
constexpr int LD_WAITACK = 2;   // await and examine the acknowledgement of each block
constexpr int LD_VERBOSE = 4;   // verbose operation (carried along)
constexpr int LD_PROGRESS = 8;  // write and verify show the progress display (progress.h)
constexpr int LD_PERCENT = 16;  // the display is a line per percent, not dots

// The boot loader's byte codes.
constexpr unsigned char LD_SYNC = 0x7F;             // synchronisation, sent alone
constexpr unsigned char LD_ACK = 0x79;              // a block accepted
constexpr unsigned char LD_NACK = 0x1F;             // a block refused
constexpr unsigned char LD_CMD_GET_VERSION = 0x01;  // Get Version: version, two option bytes
constexpr unsigned char LD_CMD_GET_ID = 0x02;       // Get ID
constexpr unsigned char LD_CMD_GO = 0x21;           // Go: start the code at an address
constexpr unsigned char LD_CMD_WRITE = 0x31;        // Write Memory
constexpr unsigned char LD_CMD_GET = 0x00;          // Get: the boot loader's version and commands
constexpr unsigned char LD_CMD_ERASE = 0x43;        // Erase (global)
constexpr unsigned char LD_CMD_EXT_ERASE = 0x44;    // Extended Erase
constexpr unsigned char LD_ERASE_GLOBAL = 0xFF;     // Erase's parameter: the whole flash
constexpr unsigned char LD_CMD_READ = 0x11;         // Read Memory
constexpr unsigned char LD_CMD_WRITE_UNPROTECT = 0x73;    // Write Unprotect (the module resets)
constexpr unsigned char LD_CMD_READOUT_UNPROTECT = 0x92;  // Readout Unprotect (erases, resets)
constexpr unsigned char LD_FILLER = 0xA4;  // brings the boot loader back to command level

// The wire arithmetic.
constexpr int LD_WAIT_MS = 1000;                   // budget of every byte awaited from the module
constexpr int LD_ATTEMPTS = 3;                     // tries of each block
constexpr int LD_FRAGMENT_MAX = 256;               // data bytes of one Write Memory
constexpr int LD_BLOCK_MAX = LD_FRAGMENT_MAX + 1;  // the count byte and a fragment
constexpr int LD_ID_BYTES = 4;                     // identifier bytes that make up its value
constexpr unsigned int LD_ID_FAILED = 0xFFFFFFFF;  // ld_getid's result on failure
constexpr int LD_ERASE43_MAX = 255;                // pages of one Erase list
constexpr int LD_ERASE44_MAX = 512;                // pages of one Extended Erase list
constexpr int LD_LIST_BLOCK_MAX = 2 + 2 * LD_ERASE44_MAX;  // its count and page numbers
constexpr int LD_COMMAND_TRIES = 3;                        // tries of a whole command
constexpr int LD_MASS_ERASE_MS = 60000;                    // budget of the extended mass erase
// The synchronisation: a 0x7F, and another after each interval of silence,
// until the whole budget has passed.
constexpr int LD_SYNC_INTERVAL_MS = 25;
constexpr int LD_SYNC_BUDGET_MS = 3000;

// One block of a command after its command pair, with the budget of its
// acknowledgement.
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
  int (*settle)(int fh, void *ctx, bool accepted, int flags);
  void *ctx;
  bool counted = false;      // the reply is a count byte and N+1 bytes
  int *reply_got = nullptr;  // counted: N+1 is stored here
  int closing_ms = 0;        // > 0: a closing acknowledgement, awaited this long
};

// Set it (from a signal handler) to stop the operation in progress: every
// block attempt then fails at once with EINTR before anything is sent, a
// wait that is running or about to begin ends early, and a write that the
// signal cut short is not continued. Starts at 0.
extern volatile sig_atomic_t ld_abort;

// How the run restarts the module into its boot loader: the entry sequence
// through the reset line (reset low, boot-select held high, the start-up
// wait, reset released) and a new synchronisation. reenter returns 0 once
// the boot loader answers again, -1 with errno otherwise. The run registers
// it when it has a reset line; without one (null, the default) nothing can
// restart the module, and the loader brings the boot loader back to command
// level with recovery bytes instead.
struct ld_reentry {
  int (*reenter)(int fh, void *ctx, int flags);
  void *ctx;
};
// Registers r (copied; null or a null reenter: none). Returns nothing.
void ld_set_reentry(const ld_reentry *r);

// Synchronises with the boot loader: the byte 0x7F, never with a checksum.
// Under LD_WAITACK unread input is discarded first; then a 0x7F goes out,
// and again after every LD_SYNC_INTERVAL_MS of silence, so that a boot
// loader still starting is met soon after it listens, and the line stays
// idle between the bytes; for LD_SYNC_BUDGET_MS in all. One 0x00 before the
// answer is passed over (some modules put it on the line as they start).
// A boot loader that already listens (an earlier run left it synchronised)
// answers 0x1F, to the first 0x7F or, after silence, to the second: it is
// synchronised then too, and LD_VERBOSE says so on standard error. Without
// LD_WAITACK one 0x7F goes out and nothing is awaited. Returns 0, or -1 with
// errno EBUSY (silence for the whole budget), EINVAL (an answer that is
// neither 0x79 nor 0x1F: a boot loader that took a wrong line speed), EINTR
// or as the port left it.
int ld_init_device(int fh, int flags);
// ld_init_device that also stores in *answered_ms (when given) how long after
// its first 0x7F the 0x7F went out that got the answer, 0x79, 0x1F or another
// byte; -1 when none was answered.
int ld_sync(int fh, int flags, int *answered_ms);
// Get Version (0x01): the boot loader's version and two option bytes into
// reply[0..2] (reply may be null), then its closing acknowledgement; a short
// command that shows the boot loader stands at command level. Returns 0, or
// -1 with errno as ld_run_command.
int ld_get_version(int fh, unsigned char *reply, int flags);
// What the module may have done outside the image during this run: a block
// the flasher did not send whole was acknowledged during a recovery.
// LD_STRAY_ERASE: pages may have been erased; LD_STRAY_WRITE: flash may have
// been written at an address that is not the fragment's. Clears them.
constexpr unsigned LD_STRAY_ERASE = 1;
constexpr unsigned LD_STRAY_WRITE = 2;
unsigned ld_take_stray_acts(void);
// Runs a whole command under LD_WAITACK: a refused command pair is sent
// again (three attempts); a block refused inside the command, or one whose
// answer is lost or damaged, starts the command again from its pair once
// the boot loader is back at command level (recover), at most three tries.
// A lost reply byte also starts it again. Without LD_WAITACK every block
// goes out once and only the reply is awaited. Returns 0, or -1 with errno
// as the last try left it (EINVAL refused, EBUSY no answer, EIO, EINTR).
int ld_run_command(int fh, const ld_command *cmd, int flags);
// Read Memory: len (1 to 256) bytes from addr into buf (command 0x11, the
// address, then len-1 with its complement; the bytes follow the ACK),
// always awaiting the acknowledgements.
// Returns 0, or -1 with errno as ld_run_command (EINVAL for len out of
// range, nothing sent).
int ld_read_memory(int fh, uint32_t addr, unsigned char *buf, int len, int flags);
// Lifts read-out protection: Readout Unprotect (0x92), whose second
// acknowledgement comes once the module has erased its whole flash (awaited
// up to 60 s); the module then restarts into its boot loader and is
// synchronised again with the paced sync (entered again through the
// reset line where one is registered). Returns 0, or -1
// with errno (EINVAL refused, EBUSY no answer or no restart).
int ld_readout_unprotect(int fh, int flags);
// Lifts write protection: Write Unprotect (0x73), which keeps the flash;
// its second acknowledgement and the restart as ld_readout_unprotect.
int ld_write_unprotect(int fh, int flags);
// ld_readout_unprotect, then ld_write_unprotect.
int ld_unprotect(int fh, int flags);
// The faults of the line the loader has met since the program started:
// answers refused, lost, damaged or unexpected, unread bytes found before a
// block (under LD_WAITACK), recoveries. A caller compares it before and
// after a step to learn whether the step met any.
unsigned long ld_line_faults();
// Reads the device identifier: command 0x02, then the reply (length byte L,
// L+1 identifier bytes, each awaited at most 1000 ms; the closing 0x79 under
// LD_WAITACK). The first min(L+1, 4) bytes make the value, most significant
// first. Returns 0xFFFFFFFF on failure; only errno 0 tells success apart.
unsigned int ld_getid(int fh, int flags);
// Erases the whole flash: command 0x43, then the block 0xFF. A boot loader
// that refuses 0x43 (0x1F to an attempt and none accepted, under LD_WAITACK) is asked
// for its command list (Get, 0x00); when it lists the extended erase 0x44,
// the flash is erased with 0x44, then the block 0xFFFF (mass erase), whose
// acknowledgement is awaited for up to 60 s in one wait, the block never
// sent twice. Not listed: -1 with EINVAL; the mass erase refused (0x1F, as
// parts without a mass erase answer it): -1 with EPERM. Under LD_VERBOSE the
// extended erase says so on standard error.
int ld_erase_all(int fh, int flags);
// Erases the listed pages: the command cmd (0x43: 1 to 255 pages numbered up
// to 255; 0x44: 1 to 512 pages), then the page list, whose acknowledgement
// comes once the pages are erased and is awaited for up to wait_ms (at least
// 1000) in one wait. Retried as ld_run_command retries a whole command.
// Returns 0, or -1 with errno as ld_run_command (EINVAL also for a list the
// command cannot carry; nothing is sent then).
int ld_erase_pages(int fh, unsigned char cmd, const uint16_t *pages, int count, int wait_ms,
                   int flags);
// The progress display that flags ask for: none without LD_PROGRESS, a line
// per percent with LD_PERCENT, dots otherwise.
progress_mode ld_progress_mode(int flags);

// Writes the plan's fragments in order, each as one whole command (Write
// Memory: 0x31, address, data). When the answer to the data block is lost
// or damaged, the fragment is read back before it is written again: the
// words hold it already (done), are still erased (written again), or hold
// something else (-1, EIO), so no flash word is written twice. Under
// LD_PROGRESS prints "Flashing <fn>", a dot per fragment in lines of 20 and
// "done" to standard error; a failure prints "Communication Error:
// <reason>" in any case. Without LD_WAITACK the answers that piled up are
// read once the writes are out (each at most 1000 ms): one per block sent,
// those of blocks sent before the writes included; a refusal or a missing
// answer fails it (EINVAL, EBUSY) after one line saying that the flash must
// be written again with acknowledgements awaited. Returns 0, or -1 with
// errno.
int ld_write_plan(int fh, const write_plan *plan, const char *fn, int flags);
// ld_write_plan with the plan of img for the program unit of 8 bytes (no
// flash-base check). An image that cannot be planned: -1, EINVAL.
int ld_write_image(int fh, image *img, int flags);
// Reads every fragment of the plan back and compares. Under LD_PROGRESS
// prints "Verifying", a dot per fragment in lines of 20 and, when all
// match, "done". The read carries no checksum, so a fragment that differs
// counts only once two reads in a row agree on it (at most five reads; a
// reply byte may be damaged on the line). Returns 0 when all match, 1 with
// *bad the first differing address, -1 with errno when a read failed (EIO:
// no two reads agreed).
int ld_verify_plan(int fh, const write_plan *plan, int flags, uint32_t *bad);
// Starts the code at addr: command 0x21, then addr. An unclear answer sends
// one probe pair at most: a refusal shows the boot loader is still there and
// Go is tried again; silence may mean the application runs. Returns 0, -1
// with errno on failure, or 1 (errno EBUSY) when the start cannot be
// confirmed.
int ld_restart(int fh, int addr, int flags);

// Internal steps, reachable for the tests.

// Sends a block of 1 to 257 bytes followed by its checksum (a one-byte block:
// its complement; longer: the XOR of its bytes), unless LD_NOCHKSUM. Up to
// three attempts, each after discarding unread input; under LD_WAITACK each
// awaits the acknowledgement. Returns 0 when accepted, else -1 with errno as
// the last attempt left it (EINVAL at once for a length out of range).
int _ld_send(int fh, const char *buf, int len, int flags);
// Without LD_WAITACK returns 0 at once. Otherwise awaits one byte for at
// most 1000 ms: 0 for 0x79; -1 with EBUSY (nothing came), EINVAL (another
// byte), EIO (end of file) or the errno of the failed wait or read.
int _ld_waitack(int fh, int flags);
// A command code as a one-byte block (the code, then its complement).
int _ld_send_cmd(int fh, char cmd, int flags);
// A 32-bit value as a four-byte block, most significant byte first.
int _ld_send_long(int fh, uint32_t data, int flags);
// Write Memory of len (1 to 256) bytes at offs as one whole command (see
// ld_run_command and ld_write_plan): command 0x31, the address, then the
// block len-1, data. Returns 0, or -1 (EINVAL for len out of range).
int _ld_send_frag(int fh, const char *data, int len, int offs, int flags);
// Reads an identifier reply's length byte L and L+1 bytes, storing at most
// maxlen of them into data. Returns L+1, or -1 with errno as for
// _ld_waitack (EBUSY when the length byte or an identifier byte does not
// come within 1000 ms).
int _ld_read(int fh, char *data, int maxlen, int flags);

#endif
