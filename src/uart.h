// Opening and setting up the serial port.
#ifndef TARVION_UART_H
#define TARVION_UART_H

#define UART_NOSETUP 1  // open only; leave the line settings as they are
#define UART_EVEN 2     // even parity

// Opens the serial device fn and sets it up for the boot loader. Returns the
// descriptor, or -1 with errno from open.
int uart_open(const char *fn, int baudrate, int flags);

#endif
