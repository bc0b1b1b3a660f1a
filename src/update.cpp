#include "update.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

// Reset low; with a boot-select line, boot-select high, then release reset so
// that the module starts its ROM boot loader. The pauses of both sequences
// run their full length even when a signal arrives during them.
void enter_target(const update_conf &conf) {
  if (!conf.resetpin_given) return;
  init_gpio(conf.resetpin_arg, gpio_flags(conf) | GPIO_OUTPUT);
  if (!conf.bspin_given) return;
  init_gpio(conf.bspin_arg, gpio_flags(conf) | GPIO_OUTPUT | GPIO_HIGH);
  wait_fh_rest(-1, 100, nullptr);
  set_gpio(conf.resetpin_arg, 1);
  wait_fh_rest(-1, 10, nullptr);
}

// Reset low, boot-select low, then a reset pulse: the module restarts into
// its application.
void release_target(const update_conf &conf) {
  if (!conf.resetpin_given) return;
  set_gpio(conf.resetpin_arg, 0);
  if (conf.bspin_given) set_gpio(conf.bspin_arg, 0);
  wait_fh_rest(-1, 10, nullptr);
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
  parser_install_oom_handler();
  update_conf conf;
  if (read_config(argc, argv, &conf) < 0) return EXIT_CANT_OPEN;

  const std::string file = conf.file_arg.value_or("");
  image img{};
  int loaded = parse_file(file.c_str(), &img);
  if (loaded >= 0 && !conf.showid_flag && !holds_data(img)) {
    errno = ENODATA;
    loaded = -1;
  }
  if (loaded < 0) {
    std::fprintf(stderr, "Can't open %s: %s\n", file.c_str(), std::strerror(errno));
    img_free(&img);
    parser_free(&conf);
    return EXIT_CANT_OPEN;
  }

  const std::string device = conf.device_arg.value_or("");
  int fh = uart_open(device.c_str(), conf.baudrate_arg,
                     conf.uart_flag ? UART_EVEN : UART_NOSETUP | UART_EVEN);
  if (fh < 0) {
    std::fprintf(stderr, "Can't open %s: %s\n", device.c_str(), std::strerror(errno));
    img_free(&img);
    parser_free(&conf);
    return fh;
  }

  catch_signals();
  enter_target(conf);
  int rc = caught_signal ? -1 : do_flash(fh, &img, loader_flags(conf), &conf);
  uart_drain(fh);
  release_target(conf);
  img_free(&img);
  release_lines(conf);
  close(fh);
  parser_free(&conf);

  if (caught_signal) return 128 + caught_signal;
  return rc < 0 ? EXIT_FLASH_FAILED : EXIT_FLASH_OK;
}
