#include "gpio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util.h"

namespace {

std::string sysfs_root() {
  const char *env = std::getenv("TARVION_SYSFS");
  return env && *env ? env : "/sys";
}

std::string gpio_class_file(const char *name) {
  return sysfs_root() + "/class/gpio/" + name;
}

std::string line_file(int pin, const char *attr) {
  return sysfs_root() + "/class/gpio/gpio" + std::to_string(pin) + "/" + attr;
}

std::string number_line(int n) {
  return std::to_string(n) + "\n";
}

// Opened without waiting: a FIFO that nobody reads (a stand-in left behind)
// fails at once with ENXIO instead of holding the flasher for ever; on real
// sysfs the flag changes nothing.
int open_sysfs(const std::string &path, int flags) {
  return ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
}

// The class files and a line's direction are written the way a stream opened
// with mode "w" writes them (created or truncated); a line's value is only
// ever opened as it exists.
const int kAsStream = O_CREAT | O_TRUNC;

// write_file's failures: the file could not be opened, or it refused the text.
constexpr int kOpenFailed = -1;
constexpr int kWriteFailed = -2;

// sysfs takes a value from one write, and a FIFO keeps a write of this size
// whole, so the text goes out in a single call. Returns 0 when the file took
// all of it, else -1 with errno (EIO for a part of it).
int write_once(int fd, const std::string &text) {
  ssize_t n;
  while ((n = ::write(fd, text.data(), text.size())) < 0 && errno == EINTR) {
  }
  if (n == static_cast<ssize_t>(text.size())) return 0;
  if (n >= 0) errno = EIO;
  return -1;
}

// Writes text to the file at path. Returns 0, kOpenFailed with errno from
// open, or kWriteFailed with errno from the write (the kernel refused it).
int write_file(const std::string &path, int flags, const std::string &text) {
  Fd fd(open_sysfs(path, O_WRONLY | flags));
  if (!fd.ok()) return kOpenFailed;
  return write_once(fd.get(), text) == 0 ? 0 : kWriteFailed;
}

// The message must carry the failed open's errno, whatever the printing does
// to errno; the caller gets that errno back too.
void report_open_failure(const char *what, int err) {
  std::fprintf(stderr, "Can't open %s: %s\n", what, std::strerror(err));
  errno = err;
}

// "Can't open gpio17's value: ..." or "Can't write gpio17's value: ...".
int value_failure(const char *what, int nr) {
  const int err = errno;
  std::fprintf(stderr, "Can't %s gpio%i's value: %s\n", what, nr, std::strerror(err));
  errno = err;
  return -1;
}

bool led_name_stays_in_its_directory(const char *name) {
  return std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
         std::strcmp(name, "..") != 0;
}

}  // namespace

int init_gpio(int pin, int flags) {
  struct stat sb;
  // Any failure to examine the value file means the line is not exported yet.
  if (::stat(line_file(pin, "value").c_str(), &sb) != 0 &&
      write_file(gpio_class_file("export"), kAsStream, number_line(pin)) == kOpenFailed) {
    report_open_failure("exportfile", errno);
    return -1;
  }

  const char *direction = (flags & GPIO_OUTPUT) ? "out\n" : "in\n";
  const int set = write_file(line_file(pin, "direction"), kAsStream, direction);
  if (set == kWriteFailed && (flags & GPIO_STRICT)) {
    const int err = errno;
    std::fprintf(stderr, "Can't set direction for pin %i: %s\n", pin, std::strerror(err));
    errno = err;
    return -1;
  }
  if (set == kOpenFailed) {
    const int err = errno;
    // Lines whose direction is fixed in hardware have no direction file.
    if (!(err == ENOENT && (flags & GPIO_NODIR_OK))) {
      if (flags & GPIO_VERBOSE)
        std::fprintf(stderr, "Can't open direction for pin %i: %s\n", pin, std::strerror(err));
      errno = err;
      return -1;
    }
  }

  // set_gpio reports its own failure; without GPIO_STRICT the line itself
  // counts as set up.
  if ((flags & GPIO_OUTPUT) && set_gpio(pin, (flags & GPIO_HIGH) ? 1 : 0) < 0 &&
      (flags & GPIO_STRICT))
    return -1;
  return 0;
}

int set_gpio(int nr, int val) {
  const int r = write_file(line_file(nr, "value"), 0, val ? "1" : "0");
  if (r == kOpenFailed) return value_failure("open", nr);
  if (r == kWriteFailed) return value_failure("write", nr);
  return 0;
}

int get_gpio(int nr) {
  Fd fd(open_sysfs(line_file(nr, "value"), O_RDONLY));
  if (!fd.ok()) return value_failure("open", nr);
  unsigned char c;
  ssize_t n;
  while ((n = ::read(fd.get(), &c, 1)) < 0 && errno == EINTR) {
  }
  if (n == 1) return c;
  if (n == 0) errno = ENODATA;
  return -1;
}

void destroy_gpio(int pin) {
  if (write_file(gpio_class_file("unexport"), kAsStream, number_line(pin)) == kOpenFailed)
    report_open_failure("unexport-file", errno);
}

bool gpio_sysfs_present() {
  struct stat sb;
  return ::stat((sysfs_root() + "/class/gpio").c_str(), &sb) == 0 && S_ISDIR(sb.st_mode);
}

int set_led_idx(int idx, int max, char **leds, int val) {
  if (leds == nullptr || idx < 0 || idx >= max) return 1;
  const char *name = leds[idx];
  if (name == nullptr || *name == '\0' || !led_name_stays_in_its_directory(name)) return 1;
  const std::string path = sysfs_root() + "/class/leds/" + name + "/brightness";
  return write_file(path, 0, number_line(val)) == kOpenFailed ? -1 : 0;
}
