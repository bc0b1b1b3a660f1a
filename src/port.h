// Byte I/O on the open serial port, beneath the boot-loader protocol: writes
// that wait for room, reads that wait for bytes, the input and output queues
// and the drain. Knows nothing of the protocol.
//
// The port is non-blocking: another process (root is not kept out by the
// exclusive mode) may read the bytes a wait saw arrive, change the line's
// settings or hold its output back by flow control, and no call may then
// block for good. Every wait on the port has a deadline instead. stop, when
// given, is a flag a signal handler sets: a wait then ends at once (EINTR).
#ifndef TARVION_PORT_H
#define TARVION_PORT_H

#include <csignal>
#include <cstddef>
#include <vector>

// The budget of the output of n bytes, in ms: their wire time at the slowest
// speed the port is set to (19200 Bd, 11 bits a byte) and a second of slack.
int port_output_budget_ms(size_t n);

// Writes all n bytes, continuing after short writes; an output that is full
// or held back is waited for within port_output_budget_ms(n). Returns 0, or
// -1 with errno from write (EIO when it wrote nothing without saying why,
// EINTR once *stop is set, ETIMEDOUT when the output stayed blocked).
int port_write_all(int fh, const unsigned char *p, size_t n, const volatile sig_atomic_t *stop);

// Waits until everything written has left the port, so that a reset that
// follows does not cut off the last bytes: polls the output queue (a serial
// driver's drain sleeps whole clock ticks) within the budget of what is
// queued, then lets the driver send its last few bytes (tcdrain). Output
// still queued when the budget ends is discarded. Returns 0, or -1 with
// errno ETIMEDOUT, EINTR (*stop set) or that of the failed query.
int port_drain(int fh, const volatile sig_atomic_t *stop);

// Waits (at most max_ms, polling the output queue) until the bytes written
// have left the port. Returns true when they have.
bool port_wait_sent(int fh, int max_ms, const volatile sig_atomic_t *stop);

// Whether bytes written are still queued for the line right now.
bool port_output_queued(int fh);

// Awaits one byte for at most ms and reads it; a byte that another reader
// took before the read leaves the wait going for the rest of its time.
// Returns 0, or -1 with errno EBUSY (nothing came), EIO (end of file: the
// device went away), EINTR or that of the failed wait or read.
int port_await_byte(int fh, unsigned char *b, int ms, const volatile sig_atomic_t *stop);

// Reads n bytes into buf as they come, each read taking all that is there:
// a reply of n bytes costs one wait per arrival, not one per byte. The bytes
// must keep coming: none for ms ends it. Returns the number of bytes read
// (n on success); on a failure -1 with errno as port_await_byte, and
// *got, when given, the bytes read before it.
int port_read_bytes(int fh, unsigned char *buf, size_t n, int ms, const volatile sig_atomic_t *stop,
                    size_t *got);

// Whether the port has been hung up (its far end went away).
bool port_hung_up(int fh);

// Whether the port holds unread bytes right now (a hang-up is none).
bool port_input_pending(int fh);

// Reads what the port holds right now (without waiting) and appends it to
// *out; a port that cannot count its input is flushed instead. Returns the
// number of bytes taken.
size_t port_take_input(int fh, std::vector<unsigned char> *out);

#endif
