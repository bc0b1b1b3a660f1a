#include "line.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "gpio.h"
#include "util.h"

namespace {

const char kConsumer[] = "tarvion_update";
const char kChipPrefix[] = "gpiochip";

bool all_digits(const std::string &s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// "gpiochipN" stands for "/dev/gpiochipN"; any other chip is an absolute
// path to the device (a udev link, say).
bool read_chip(const std::string &s, std::string *path) {
  const size_t plen = sizeof kChipPrefix - 1;
  if (s.compare(0, plen, kChipPrefix) == 0 && all_digits(s.substr(plen))) {
    *path = "/dev/" + s;
    return true;
  }
  if (s.size() < 2 || s[0] != '/') return false;
  *path = s;
  return true;
}

// An offset in decimal, or a name as the kernel lists it: visible characters
// but ':' only, and short enough to fit the kernel's name field.
bool read_chip_line(const std::string &s, line_form *form) {
  if (all_digits(s)) {
    if (s.size() > 9) return false;
    form->offset = std::atoi(s.c_str());
    return true;
  }
  if (s.empty() || s.size() >= GPIO_MAX_NAME_SIZE) return false;
  for (char c : s)
    if (!std::isgraph(static_cast<unsigned char>(c)) || c == ':') return false;
  form->name = s;
  return true;
}

bool read_modem(const char *text, line_form *form) {
  form->inverted = text[0] == '!';
  const char *signal = text + (form->inverted ? 1 : 0);
  if (std::strcmp(signal, "dtr") == 0)
    form->modem_bit = TIOCM_DTR;
  else if (std::strcmp(signal, "rts") == 0)
    form->modem_bit = TIOCM_RTS;
  else
    return false;
  form->kind = LINE_MODEM;
  return true;
}

// Prints "Can't <what> line <text>: <reason>" and returns -1 with errno
// unchanged.
int line_failure(const target_line &line, const char *what) {
  const int err = errno;
  std::fprintf(stderr, "Can't %s line %s: %s\n", what, line.text.c_str(), std::strerror(err));
  errno = err;
  return -1;
}

int ioctl_retry(int fd, unsigned long request, void *arg) {
  int rc;
  while ((rc = ::ioctl(fd, request, arg)) < 0 && errno == EINTR) {
  }
  return rc;
}

// The offset of the line the form names on the open chip, or -1 with errno:
// from the chip's ioctls (ENOTTY: not a GPIO chip), ENXIO when there is no
// such line.
int find_offset(int chip, const line_form &form) {
  gpiochip_info info;
  std::memset(&info, 0, sizeof info);
  if (ioctl_retry(chip, GPIO_GET_CHIPINFO_IOCTL, &info) < 0) return -1;
  if (form.offset >= 0) {
    if (static_cast<unsigned>(form.offset) < info.lines) return form.offset;
    errno = ENXIO;
    return -1;
  }
  for (unsigned i = 0; i < info.lines; ++i) {
    gpio_v2_line_info li;
    std::memset(&li, 0, sizeof li);
    li.offset = i;
    if (ioctl_retry(chip, GPIO_V2_GET_LINEINFO_IOCTL, &li) < 0) return -1;
    if (std::strncmp(li.name, form.name.c_str(), sizeof li.name) == 0) return static_cast<int>(i);
  }
  errno = ENXIO;
  return -1;
}

// Whether the chip answers the character device's first version, whose
// chip information every kernel with the device gives. Keeps errno.
bool answers_v1(int chip) {
  const int err = errno;
  gpiochip_info info;
  std::memset(&info, 0, sizeof info);
  const bool v1 = ::ioctl(chip, GPIO_GET_CHIPINFO_IOCTL, &info) == 0;
  errno = err;
  return v1;
}

// A request for one output line at `level`; its descriptor, or -1 with errno.
// *no_v2 tells whether the chip refused the second version's ioctls only
// (ENOTTY from a kernel before 5.10).
int request_output(const line_form &form, int level, bool *no_v2) {
  *no_v2 = false;
  // Never the controlling terminal, whatever the path is; never a wait in
  // the open.
  Fd chip(::open(form.chip.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!chip.ok()) return -1;
  gpio_v2_line_request req;
  std::memset(&req, 0, sizeof req);
  const int offset = find_offset(chip.get(), form);
  if (offset >= 0) {
    req.offsets[0] = static_cast<__u32>(offset);
    req.num_lines = 1;
    std::strncpy(req.consumer, kConsumer, sizeof req.consumer - 1);
    req.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    req.config.num_attrs = 1;
    req.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    req.config.attrs[0].attr.values = level ? 1 : 0;
    req.config.attrs[0].mask = 1;
    // The request lives on without the chip's descriptor.
    if (ioctl_retry(chip.get(), GPIO_V2_GET_LINE_IOCTL, &req) == 0) return req.fd;
  }
  *no_v2 = errno == ENOTTY && answers_v1(chip.get());
  return -1;
}

// The request's failure, and on a kernel whose character device is older
// than its second version one hint (the first time) naming the form that
// works there.
int request_failure(const target_line &line, bool no_v2) {
  static bool hinted = false;
  line_failure(line, "request");
  if (no_v2 && !hinted) {
    const int err = errno;
    hinted = true;
    std::fprintf(stderr,
                 "Hint: this kernel's GPIO character device is older than version 2 (Linux "
                 "5.10); give the line as its sysfs number, e.g. --resetpin 17\n");
    errno = err;
  }
  return -1;
}

int set_request(int request, int level) {
  if (request < 0) {
    errno = EBADF;
    return -1;
  }
  gpio_v2_line_values values;
  values.bits = level ? 1 : 0;
  values.mask = 1;
  return ioctl_retry(request, GPIO_V2_LINE_SET_VALUES_IOCTL, &values);
}

// One ioctl changes only this signal: no other output of the port moves.
int set_modem(int port, const line_form &form, int level) {
  int bit = form.modem_bit;
  const bool asserted = line_modem_word(0, form, level) != 0;
  return ioctl_retry(port, asserted ? TIOCMBIS : TIOCMBIC, &bit);
}

int hupcl_off(int fh) {
  termios tio;
  if (tcgetattr(fh, &tio) < 0) return -1;
  if (!(tio.c_cflag & HUPCL)) return 0;
  tio.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
  return tcsetattr(fh, TCSANOW, &tio);
}

// A kernel without sysfs GPIO cannot take a number at all: the user is told
// once what to write instead.
int sysfs_setup(const target_line &line, int level, int gpio_flags) {
  static bool hinted = false;
  const int rc = init_gpio(line.form.number, gpio_flags | GPIO_OUTPUT | (level ? GPIO_HIGH : 0));
  if (rc < 0 && !hinted && !gpio_sysfs_present()) {
    hinted = true;
    std::fprintf(stderr,
                 "Hint: this kernel has no sysfs GPIO; give the line as CHIP:LINE, e.g. "
                 "--resetpin gpiochip0:17\n");
  }
  return rc;
}

bool is_modem(const target_line *line) {
  return line != nullptr && line->form.kind == LINE_MODEM;
}

}  // namespace

int line_parse(const char *text, line_form *form) {
  *form = line_form();
  long long number = 0;
  if (read_number(text, INT32_MIN, INT32_MAX, &number) == 0) {
    form->number = static_cast<int>(number);
    return 0;
  }
  if (read_modem(text, form)) return 0;
  // A chip's path may hold ':' itself (a udev link by path); a line's name
  // never does.
  const char *colon = std::strrchr(text, ':');
  if (colon != nullptr && read_chip(std::string(text, colon), &form->chip) &&
      read_chip_line(colon + 1, form)) {
    form->kind = LINE_CHARDEV;
    return 0;
  }
  errno = EINVAL;
  return -1;
}

target_line::~target_line() {
  if (request >= 0) ::close(request);
}

int line_init(target_line *line, const char *text) {
  line->text.clear();
  if (line_parse(text, &line->form) < 0) return -1;
  line->text = text;
  return 0;
}

int line_setup(target_line *line, int fh, int level, int gpio_flags) {
  switch (line->form.kind) {
    case LINE_SYSFS:
      return sysfs_setup(*line, level, gpio_flags);
    case LINE_CHARDEV: {
      // A line requested before is driven through that request.
      if (line->request >= 0) return line_set(line, level);
      bool no_v2 = false;
      line->request = request_output(line->form, level, &no_v2);
      return line->request < 0 ? request_failure(*line, no_v2) : 0;
    }
    default:
      line->port = fh;
      if (set_modem(fh, line->form, level) < 0) return line_failure(*line, "request");
      return 0;
  }
}

int line_set(target_line *line, int level) {
  switch (line->form.kind) {
    case LINE_SYSFS:
      return set_gpio(line->form.number, level);
    case LINE_CHARDEV:
      // A line whose request failed is asked for again, as a sysfs line
      // opens its files at every step: a line freed since is driven, and one
      // still held elsewhere says why it is not.
      if (line->request < 0) return line_setup(line, line->port, level, 0);
      if (set_request(line->request, level) < 0) return line_failure(*line, "set");
      return 0;
    default:
      if (set_modem(line->port, line->form, level) < 0) return line_failure(*line, "set");
      return 0;
  }
}

void line_release(target_line *line) {
  if (line->form.kind == LINE_SYSFS) destroy_gpio(line->form.number);
  if (line->request >= 0) ::close(std::exchange(line->request, -1));
}

int line_modem_word(int bits, const line_form &form, int level) {
  if (form.kind != LINE_MODEM) return bits;
  // The signal is asserted when the pin is low: at level 0, or at level 1
  // behind an inverting stage.
  const bool asserted = (level != 0) == form.inverted;
  return asserted ? bits | form.modem_bit : bits & ~form.modem_bit;
}

int line_hold_modem(int fh, target_line *reset, target_line *bootsel) {
  target_line *first = is_modem(reset) ? reset : is_modem(bootsel) ? bootsel : nullptr;
  if (first == nullptr) return 0;
  // The pins first: every call before them lengthens the pulse the open
  // began (a USB adapter takes milliseconds for a change of settings).
  int bits = 0;
  int rc = ioctl_retry(fh, TIOCMGET, &bits);
  for (target_line *line : {reset, bootsel}) {
    if (!is_modem(line)) continue;
    line->port = fh;
    bits = line_modem_word(bits, line->form, 0);
  }
  if (rc == 0) rc = ioctl_retry(fh, TIOCMSET, &bits);
  const int err = errno;
  // Also on a port without modem lines: a close must not pulse them.
  if (hupcl_off(fh) < 0 || rc < 0) {
    if (rc < 0) errno = err;
    return line_failure(*first, "request");
  }
  return 0;
}
