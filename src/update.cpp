#include "update.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "config.h"
#include "gpio.h"
#include "loader.h"
#include "uart.h"
#include "util.h"

namespace {

volatile sig_atomic_t caught_signal = 0;

void on_signal(int sig) {
  caught_signal = sig;
  ld_abort = 1;
}

// From the moment the port is open, a signal must not kill the flasher: it
// stops the boot-loader conversation at the next block so that the module is
// still released from its boot loader. No SA_RESTART, so that a wait ends.
void catch_signals() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  // A standard error whose reader has gone (a pipe into a logger that died)
  // would otherwise kill the flasher at its next message, module unreleased.
  sa.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &sa, nullptr);
}

// An image without a single data byte would have the module erased, nothing
// written, and the run count as a success: a firmware file that came out
// empty (a failed build, a truncated copy) must stop the run before the port
// is opened.
bool holds_data(const image &img) {
  for (int i = 0; i < img.chunks; ++i)
    if (img.img[i].len > 0) return true;
  return false;
}

int gpio_flags(const update_conf &conf) {
  return GPIO_NODIR_OK | (conf.verbose_flag ? GPIO_VERBOSE : 0);
}

// The pauses of the target sequences.
constexpr int kBootSelectSettleMs = 100;  // boot-select high, then reset released
constexpr int kBootLoaderStartMs = 10;    // reset released, then the first block
constexpr int kResetPulseMs = 10;         // reset held low on the way out

// Reset low; with a boot-select line, boot-select high, then release reset so
// that the module starts its ROM boot loader. The pauses of both sequences
// run their full length even when a signal arrives during them.
void enter_target(const update_conf &conf) {
  if (!conf.resetpin_given) return;
  init_gpio(conf.resetpin_arg, gpio_flags(conf) | GPIO_OUTPUT);
  if (!conf.bspin_given) return;
  init_gpio(conf.bspin_arg, gpio_flags(conf) | GPIO_OUTPUT | GPIO_HIGH);
  wait_fh_rest(-1, kBootSelectSettleMs, nullptr);
  set_gpio(conf.resetpin_arg, 1);
  wait_fh_rest(-1, kBootLoaderStartMs, nullptr);
}

// Reset low, boot-select low, then a reset pulse: the module restarts into
// its application.
void release_target(const update_conf &conf) {
  if (!conf.resetpin_given) return;
  set_gpio(conf.resetpin_arg, 0);
  if (conf.bspin_given) set_gpio(conf.bspin_arg, 0);
  wait_fh_rest(-1, kResetPulseMs, nullptr);
  set_gpio(conf.resetpin_arg, 1);
}

void release_lines(const update_conf &conf) {
  if (conf.bspin_given) destroy_gpio(conf.bspin_arg);
  if (conf.resetpin_given) destroy_gpio(conf.resetpin_arg);
}

int loader_flags(const update_conf &conf) {
  return (conf.waitack_flag ? LD_WAITACK : 0) | (conf.verbose_flag ? LD_VERBOSE : 0);
}

// ld_getid cannot tell a failure from the identifier 0xFFFFFFFF by its
// result; errno is 0 only after success.
int read_id(int fh, int ldflags, unsigned int *id) {
  *id = ld_getid(fh, ldflags);
  if (errno == 0) return 0;
  std::fprintf(stderr, "Can't read device ID: %s\n", std::strerror(errno));
  return -1;
}

// Owns the image: released once, by free() or when the guard goes.
class ImageGuard {
 public:
  ImageGuard() = default;
  ~ImageGuard() { free(); }
  ImageGuard(const ImageGuard &) = delete;
  ImageGuard &operator=(const ImageGuard &) = delete;
  image *get() { return &img_; }
  void free() {
    img_free(&img_);
    img_ = image{};
  }

 private:
  image img_{};
};

// What a run holds; whatever is still held is released on the way out.
struct Run {
  update_conf conf;
  std::string file;  // the image's name, which the image borrows
  ImageGuard img;
  Fd port;
  ~Run() { parser_free(&conf); }
};

int cant_open(const std::string &name) {
  std::fprintf(stderr, "Can't open %s: %s\n", name.c_str(), std::strerror(errno));
  return -1;
}

int load_image(Run &run) {
  run.file = run.conf.file_arg.value_or("");
  int loaded = parse_file(run.file.c_str(), run.img.get());
  if (loaded >= 0 && !run.conf.showid_flag && !holds_data(*run.img.get())) {
    errno = ENODATA;
    loaded = -1;
  }
  return loaded < 0 ? cant_open(run.file) : 0;
}

int open_port(Run &run) {
  const std::string device = run.conf.device_arg.value_or("");
  const int flags = run.conf.uart_flag ? UART_EVEN : UART_NOSETUP | UART_EVEN;
  run.port = Fd(uart_open(device.c_str(), run.conf.baudrate_arg, flags));
  return run.port.ok() ? 0 : cant_open(device);
}

// Every run that opened the port ends this way, whatever happened: the last
// bytes leave the port before the module restarts into its application, then
// the image, the lines and the port are released.
void end_run(Run &run) {
  uart_drain(run.port.get());
  release_target(run.conf);
  run.img.free();
  release_lines(run.conf);
  run.port.close();
}

int exit_status(int flashed) {
  if (caught_signal) return 128 + caught_signal;
  return flashed < 0 ? EXIT_FLASH_FAILED : EXIT_FLASH_OK;
}

}  // namespace

int do_flash(int fh, image *img, int ldflags, update_conf *conf) {
  if (ld_init_device(fh, ldflags) < 0) {
    std::fprintf(stderr, "Can't init device: %s\n", std::strerror(errno));
    return -1;
  }
  unsigned int id = 0;
  if (conf->showid_flag) {
    if (read_id(fh, ldflags, &id) < 0) return -1;
    std::fprintf(stderr, "Device has ID %08X\n", id);
    return 0;
  }
  if (conf->testid_given) {
    if (read_id(fh, ldflags, &id) < 0) return -1;
    if (id != static_cast<unsigned int>(conf->testid_arg)) {
      std::fprintf(stderr, "Device ID %08X doesn't match %08X\n", id,
                   static_cast<unsigned int>(conf->testid_arg));
      return -1;
    }
    if (conf->verbose_flag) std::fprintf(stderr, "Device has ID %08X\n", id);
  }
  if (ld_erase_all(fh, ldflags) < 0) {
    std::fprintf(stderr, "Can't erase device: %s\n", std::strerror(errno));
    return -1;
  }
  if (ld_write_image(fh, img, ldflags | LD_PROGRESS) < 0) {
    std::fprintf(stderr, "Can't write image %s: %s\n", img->fn, std::strerror(errno));
    return -1;
  }
  if (ldflags & LD_VERBOSE) std::fprintf(stderr, "Flashing done\n");
  return 0;
}

int update_main(int argc, char **argv) {
  if (open_standard_fds() < 0) return EXIT_CANT_OPEN;
  parser_install_oom_handler();
  Run run;
  if (read_config(argc, argv, &run.conf) < 0) return EXIT_CANT_OPEN;
  if (load_image(run) < 0) return EXIT_CANT_OPEN;
  if (open_port(run) < 0) return EXIT_CANT_OPEN;
  catch_signals();
  enter_target(run.conf);
  const int flashed =
      caught_signal ? -1
                    : do_flash(run.port.get(), run.img.get(), loader_flags(run.conf), &run.conf);
  end_run(run);
  return exit_status(flashed);
}
