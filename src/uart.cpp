#include "uart.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util.h"

speed_t uart_speed(int baudrate) {
  if (baudrate >= 921600) return B921600;
  if (baudrate >= 230400) return B230400;
  if (baudrate >= 115200) return B115200;
  if (baudrate >= 57600) return B57600;
  if (baudrate >= 38400) return B38400;
  return B19200;
}

int uart_speed_rate(int baudrate) {
  switch (uart_speed(baudrate)) {
    case B921600:
      return 921600;
    case B230400:
      return 230400;
    case B115200:
      return 115200;
    case B57600:
      return 57600;
    case B38400:
      return 38400;
    default:
      return 19200;
  }
}

void uart_make_settings(struct termios *tio, int baudrate, int flags) {
  std::memset(tio, 0, sizeof *tio);
  cfmakeraw(tio);
  const speed_t speed = uart_speed(baudrate);
  cfsetispeed(tio, speed);
  cfsetospeed(tio, speed);
  // The link is three wires: no carrier line must gate reads or hang it up.
  tio->c_cflag |= CS8 | CREAD | CLOCAL;
  // A byte damaged on the line is dropped rather than read as whatever it
  // became: it can never pass for an acknowledgement.
  if (flags & UART_EVEN) {
    tio->c_cflag |= PARENB;
    tio->c_iflag |= INPCK | IGNPAR;
  }
}

int uart_open_port(const char *fn) {
  // Without O_NONBLOCK the open of a serial port whose line is not yet set to
  // ignore the modem lines waits for a carrier that a three-wire link never
  // raises. The port stays non-blocking: another process (root passes the
  // exclusive mode) may take the bytes a wait saw arrive, or hold the output
  // back, and every wait on it has a deadline instead.
  Fd port(open(fn, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!port.ok()) return -1;
  const int fh = port.get();
  // Two flashers on one port would each take the other's acknowledgements.
  // "Resource temporarily unavailable" would read as if trying again soon
  // could help; "busy" says what is the matter.
  if (flock(fh, LOCK_EX | LOCK_NB) < 0) {
    if (errno == EWOULDBLOCK) errno = EBUSY;
    return -1;
  }
  // Every open of a terminal raises DTR and RTS, the lock notwithstanding: a
  // terminal program opened meanwhile would pulse a module wired to them.
  // Exclusive mode refuses other opens (EBUSY) before they reach the driver;
  // a device that is no terminal has no such mode and is used all the same.
  (void)ioctl(fh, TIOCEXCL);
  return port.release();
}

int uart_close(int fh) {
  if (fh < 0) return 0;
  // A pseudo-terminal keeps exclusive mode after its last close.
  (void)ioctl(fh, TIOCNXCL);
  return close_keep_errno(fh);
}

void uart_setup(int fh, int baudrate, int flags) {
  if (flags & UART_NOSETUP) return;
  struct termios tio;
  uart_make_settings(&tio, baudrate, flags);
  (void)uart_low_latency(fh);
  // A device that refuses the settings is still handed back; trouble then
  // shows as missing acknowledgements. Last: moving a port off speed 0 makes
  // the kernel raise DTR and RTS, and the caller's next step puts a modem
  // reset line back down.
  (void)tcsetattr(fh, TCSANOW, &tio);
}

int uart_open(const char *fn, int baudrate, int flags) {
  const int fh = uart_open_port(fn);
  if (fh >= 0) uart_setup(fh, baudrate, flags);
  return fh;
}

int uart_low_latency(int fh) {
  serial_struct ss;
  std::memset(&ss, 0, sizeof ss);
  if (ioctl(fh, TIOCGSERIAL, &ss) < 0) return -1;
  if (ss.flags & ASYNC_LOW_LATENCY) return 0;
  ss.flags |= ASYNC_LOW_LATENCY;
  return ioctl(fh, TIOCSSERIAL, &ss);
}

int uart_line_rate(int fh) {
  struct termios tio;
  if (tcgetattr(fh, &tio) < 0) return 0;
  static const struct {
    speed_t speed;
    int rate;
  } kRates[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},    {B9600, 9600},
                {B19200, 19200},   {B38400, 38400},   {B57600, 57600},  {B115200, 115200},
                {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
  const speed_t speed = cfgetospeed(&tio);
  for (const auto &r : kRates)
    if (r.speed == speed) return r.rate;
  return 0;
}
