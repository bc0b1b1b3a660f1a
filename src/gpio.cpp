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

// sysfs takes a value from one write, and a FIFO keeps a write of this size
// whole, so the text goes out in a single call. Its outcome is not checked:
// the kernel's refusal of a value is not something the callers act on.
void write_once(int fd, const std::string &text) {
  while (::write(fd, text.data(), text.size()) < 0 && errno == EINTR) {
  }
}

// Writes text to the file at path. Returns 0, or -1 with errno from open.
int write_file(const std::string &path, int flags, const std::string &text) {
  Fd fd(open_sysfs(path, O_WRONLY | flags));
  if (!fd.ok()) return -1;
  write_once(fd.get(), text);
  return 0;
}

// The message must carry the failed open's errno, whatever the printing does
// to errno; the caller gets that errno back too.
void report_open_failure(const char *what, int err) {
  std::fprintf(stderr, "Can't open %s: %s\n", what, std::strerror(err));
  errno = err;
}

int value_open_failure(int nr) {
  const int err = errno;
  std::fprintf(stderr, "Can't open gpio%i's value: %s\n", nr, std::strerror(err));
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
      write_file(gpio_class_file("export"), kAsStream, number_line(pin)) != 0) {
    report_open_failure("exportfile", errno);
    return -1;
  }

  const char *direction = (flags & GPIO_OUTPUT) ? "out\n" : "in\n";
  if (write_file(line_file(pin, "direction"), kAsStream, direction) != 0) {
    const int err = errno;
    // Lines whose direction is fixed in hardware have no direction file.
    if (!(err == ENOENT && (flags & GPIO_NODIR_OK))) {
      if (flags & GPIO_VERBOSE)
        std::fprintf(stderr, "Can't open direction for pin %i: %s\n", pin, std::strerror(err));
      errno = err;
      return -1;
    }
  }

  // set_gpio reports its own failure; the line itself is set up.
  if (flags & GPIO_OUTPUT) set_gpio(pin, (flags & GPIO_HIGH) ? 1 : 0);
  return 0;
}

int set_gpio(int nr, int val) {
  if (write_file(line_file(nr, "value"), 0, val ? "1" : "0") != 0) return value_open_failure(nr);
  return 0;
}

int get_gpio(int nr) {
  Fd fd(open_sysfs(line_file(nr, "value"), O_RDONLY));
  if (!fd.ok()) return value_open_failure(nr);
  unsigned char c;
  ssize_t n;
  while ((n = ::read(fd.get(), &c, 1)) < 0 && errno == EINTR) {
  }
  if (n == 1) return c;
  if (n == 0) errno = ENODATA;
  return -1;
}

void destroy_gpio(int pin) {
  if (write_file(gpio_class_file("unexport"), kAsStream, number_line(pin)) != 0)
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
  return write_file(path, 0, number_line(val)) == 0 ? 0 : -1;
}
