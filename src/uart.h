// Opening and setting up the serial port.
#ifndef TARVION_UART_H
#define TARVION_UART_H

#include <termios.h>

constexpr int UART_NOSETUP = 1;  // open only; leave the line settings as they are
constexpr int UART_EVEN = 2;     // even parity

// Opens the serial device fn for reading and writing (never as the
// controlling terminal, closed on exec) and takes an exclusive advisory lock
// on it (flock), then puts the terminal in exclusive mode (TIOCEXCL: further
// opens fail with EBUSY, except a privileged process's). The open does not
// wait for a carrier; the descriptor handed back blocks in read and write as
// usual. Returns the descriptor, which the caller closes with uart_close, or
// -1 with errno: from open; EBUSY when another open of the device holds the
// lock (another flasher on the same port: nothing has been sent and the line
// settings are untouched); from flock or fcntl when those fail. No
// descriptor is left open after a failure. The caller acts on the port (the
// modem lines, which the open raises) before it sets it up.
int uart_open_port(const char *fn);
// Unless flags hold UART_NOSETUP, applies uart_make_settings at once and
// asks for low latency (uart_low_latency); whether the device takes either
// is not examined.
void uart_setup(int fh, int baudrate, int flags);

// Gives up the port's exclusive mode (a pseudo-terminal would keep it after
// the close) and closes fh, keeping errno; nothing for a negative fh.
// Returns close's result.
int uart_close(int fh);

// Asks the port's driver to hand received bytes on at once (serial
// ASYNC_LOW_LATENCY). A USB adapter otherwise holds them for up to 16 ms,
// which every acknowledgement of the boot loader would wait for. Returns 0,
// or -1 with errno when the port has no such setting (ENOTTY for a pty) or
// refuses it.
int uart_low_latency(int fh);

// The line speed for a requested rate: the first of 921600, 230400, 115200,
// 57600 and 38400 that the rate reaches, else 19200.
speed_t uart_speed(int baudrate);

// The rate of uart_speed(baudrate) in baud: what the line runs at.
int uart_speed_rate(int baudrate);

// Builds in *tio the settings uart_open applies: raw, uart_speed(baudrate)
// both ways, 8 data bits, receiver on, modem lines ignored, one stop bit, no
// flow control, and with UART_EVEN even parity, checked on input: a byte with
// a parity error is dropped (INPCK, IGNPAR).
void uart_make_settings(struct termios *tio, int baudrate, int flags);

// The rate the port's line runs at (its output speed) in baud, or 0 when
// the port has none (no terminal, or a speed not in the table of rates).
int uart_line_rate(int fh);

#endif
