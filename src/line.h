// Target lines: the module's reset and boot-select inputs, driven through
// one of three kinds of output.
//
//   "17"             a sysfs GPIO number, driven through the gpio module;
//   "gpiochip0:17"   a line of a GPIO character device, by offset or by the
//   "gpiochip0:GPIO17"  name the kernel lists; the chip may also be given as
//   "/dev/gpiochip0:17" an absolute path to the device (split from the line
//                    at the last ':');
//   "dtr", "rts"     a modem-control output of the serial port; "!dtr" and
//   "!rts"           "!rts" invert the level.
//
// A level is what the module's input sees: 1 high, 0 low. For a modem line
// level 1 is the pin high, which on the usual adapter (active-low DTR/RTS)
// means the signal is de-asserted; "!" is for boards that put an inverting
// transistor between the pin and the module.
//
// Operations return 0, or -1 with errno set after printing one line on
// standard error; a sysfs line prints the gpio module's own messages.
#ifndef TARVION_LINE_H
#define TARVION_LINE_H

#include <string>

enum line_kind { LINE_SYSFS, LINE_CHARDEV, LINE_MODEM };

// What a line text says, nothing more.
struct line_form {
  int kind = LINE_SYSFS;
  int number = 0;     // LINE_SYSFS: the GPIO number
  std::string chip;   // LINE_CHARDEV: path of the chip's device
  int offset = -1;    // LINE_CHARDEV: offset on the chip, -1 when named
  std::string name;   // LINE_CHARDEV: the line's name when no offset is given
  int modem_bit = 0;  // LINE_MODEM: TIOCM_DTR or TIOCM_RTS
  bool inverted = false;
};

// Reads text into *form. A number is read as the option pass reads numbers
// (strtol with base 0 over the whole text, 32 bits signed) and is a sysfs
// line. Returns 0, or -1 with errno EINVAL, silently, for any text that is
// none of the forms; *form is then unspecified.
int line_parse(const char *text, line_form *form);

// One target line: the text as given (it names the line in messages), what
// it says, and what is held while the line is in use. It owns the character
// device's line request and closes it when it goes, so it is not copied.
struct target_line {
  std::string text;
  line_form form;
  int port = -1;     // LINE_MODEM: the serial port (borrowed, not closed)
  int request = -1;  // LINE_CHARDEV: the kernel's line request (owned)

  target_line() = default;
  target_line(const target_line &) = delete;
  target_line &operator=(const target_line &) = delete;
  ~target_line();
};

// Parses text into a line not yet set up (or released), which keeps a copy
// of the text. Returns 0, or -1 with errno EINVAL (nothing printed) as
// line_parse.
int line_init(target_line *line, const char *text);

// Makes the line an output at `level`. sysfs: init_gpio with gpio_flags plus
// GPIO_OUTPUT (and GPIO_HIGH for level 1); its result; when it failed because
// the kernel has no sysfs GPIO, the first such failure of the process adds
// one "Hint: ..." line naming the character-device form. Character device:
// opens the chip, finds the line (ENXIO when the chip has no such offset or
// name) and requests it as an output at `level` for the consumer
// "tarvion_update"; the request is held until line_release; the chip is
// opened without becoming the controlling terminal and without waiting. When
// the kernel's character device is older than version 2 (ENOTTY from a chip
// that answers version 1), the first such failure of the process adds one
// "Hint: ..." line naming the sysfs number form. Modem line: drives the pin
// of port `fh`. Other failures carry the kernel's errno, with "Can't request
// line %s: %s\n" (the line's text) on standard error.
int line_setup(target_line *line, int fh, int level, int gpio_flags);

// Drives a set-up line to `level`. sysfs: set_gpio and its message; the
// other kinds print "Can't set line %s: %s\n". A character-device line that
// holds no request (its request failed) is requested again, as line_setup.
int line_set(target_line *line, int level);

// Gives the line back: sysfs unexports it (destroy_gpio), a character-device
// request is closed (the kernel keeps the last level only as far as the
// chip's driver does), a modem line stays as it is. Safe to call twice.
void line_release(target_line *line);

// Linux raises DTR and RTS when a port is opened. Right after uart_open_port this
// puts the modem lines among reset and boot-select (either may be null or of
// another kind) to their levels before target entry, reset and boot-select
// both 0, in one change of the port's modem word; then it turns HUPCL off,
// also when the port refused the modem word, so that closing the port does
// not pulse the lines. Returns 0 (also when neither is a modem line: nothing
// is touched), or -1 with errno after "Can't request line %s: %s\n" for the
// first modem line.
int line_hold_modem(int fh, target_line *reset, target_line *bootsel);

// The modem word `bits` with `form`'s signal changed so that its pin gives
// the module `level`. Words of other kinds come back unchanged.
int line_modem_word(int bits, const line_form &form, int level);

#endif
