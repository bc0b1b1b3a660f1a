// Entry points for the tests, the fuzz targets and the benchmarks alone:
// single steps of the boot loader's protocol and shortcuts the flasher
// itself never takes. Only they include this header; the flasher's own code
// calls none of these.
#ifndef TARVION_LOADER_TESTING_H
#define TARVION_LOADER_TESTING_H

#include <cstdint>

#include "image.h"
#include "loader.h"

constexpr unsigned int LD_ID_FAILED = 0xFFFFFFFF;  // ld_getid's result on failure

// Get ID read once, as ld_getid_agreed reads each reply. Returns the
// identifier, or 0xFFFFFFFF on failure; only errno 0 tells success apart.
unsigned int ld_getid(ld_session *s);
// ld_sync without the time of the first answer.
int ld_init_device(ld_session *s);
// ld_readout_unprotect, then ld_write_unprotect.
int ld_unprotect(ld_session *s);
// ld_write_plan with the plan of img for the program unit of 8 bytes (no
// flash-base check). An image that cannot be planned: -1, EINVAL.
int ld_write_image(ld_session *s, image *img);

// Sends a block of 1 to 257 bytes followed by its checksum (a one-byte block:
// its complement; longer: the XOR of its bytes), unless the session's flags
// hold LD_NOCHKSUM. Up to three attempts, each after discarding unread
// input; under LD_WAITACK each awaits the acknowledgement. Returns 0 when
// accepted, else -1 with errno as the last attempt left it (EINVAL at once
// for a length out of range).
int _ld_send(ld_session *s, const char *buf, int len);
// Without LD_WAITACK returns 0 at once. Otherwise awaits one byte for at
// most budgets.wait_ms: 0 for 0x79; -1 with EBUSY (nothing came), EINVAL
// (another byte), EIO (end of file) or the errno of the failed wait or read.
int _ld_waitack(ld_session *s);
// A command code as a one-byte block (the code, then its complement).
int _ld_send_cmd(ld_session *s, char cmd);
// A 32-bit value as a four-byte block (ld_address_block).
int _ld_send_long(ld_session *s, uint32_t data);
// Write Memory of len (1 to 256) bytes at offs as one whole command (see
// ld_run_command and ld_write_plan): command 0x31, the address, then the
// block len-1, data. Returns 0, or -1 (EINVAL for len out of range).
int _ld_send_frag(ld_session *s, const char *data, int len, int offs);
// Reads an identifier reply's length byte L and L+1 bytes, storing at most
// maxlen of them into data. Returns L+1, or -1 with errno as for
// _ld_waitack (EBUSY when the length byte or an identifier byte does not
// come within budgets.wait_ms).
int _ld_read(ld_session *s, char *data, int maxlen);

// uart_open_port, then uart_setup: the port opened and set up in one step.
// Returns as uart_open_port.
int uart_open(const char *fn, int baudrate, int flags);

#endif
