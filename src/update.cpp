#include "update.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "config.h"
#include "erase.h"
#include "gpio.h"
#include "image_layout.h"
#include "line.h"
#include "loader.h"
#include "uart.h"
#include "util.h"

namespace {

volatile sig_atomic_t caught_signal = 0;

void on_signal(int sig) {
  caught_signal = sig;
  ld_abort = 1;
}

// A signal must not kill the flasher once the port may be open: it stops the
// boot-loader conversation at the next block so that the module is still
// released from its boot loader. The handlers only set flags, so they go in
// before the port is opened; there is no moment in which a signal finds a
// module held and no handler. A signal ignored when the program started
// (nohup) stays ignored. No SA_RESTART, so that a wait ends.
void catch_signals() {
  struct sigaction sa, old;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &sa, nullptr);
  }
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

// The module's reset and boot-select lines, each present when given.
struct Lines {
  target_line reset, bootsel;
  bool has_reset = false, has_bootsel = false;
};

// A line's text: a number is kept as its text too, so every kind is read
// from there.
void init_line(target_line *line, bool *has, int given, const owned_text &orig, int number) {
  *has = given != 0;
  if (*has && line_init(line, orig.value_or(std::to_string(number)).c_str()) < 0)
    line_init(line, std::to_string(number).c_str());
}

void init_lines(const update_conf &conf, Lines *lines) {
  init_line(&lines->reset, &lines->has_reset, conf.resetpin_given, conf.resetpin_orig,
            conf.resetpin_arg);
  init_line(&lines->bootsel, &lines->has_bootsel, conf.bspin_given, conf.bspin_orig,
            conf.bspin_arg);
}

// Reset low; with a boot-select line, boot-select high; then release reset so
// that the module starts its ROM boot loader (without a boot-select line, one
// strapped high on the board). The pauses of both sequences run their full
// length even when a signal arrives during them. Failures are reported by the
// line operations and the run goes on: the module may sit in its boot loader
// anyway.
void enter_target(const update_conf &conf, Lines &lines, int fh) {
  if (!lines.has_reset) return;
  // Also a modem reset line, held low since the open: the port's set-up that
  // followed raised DTR and RTS again when it moved the port off speed 0.
  line_setup(&lines.reset, fh, 0, gpio_flags(conf));
  if (lines.has_bootsel) line_setup(&lines.bootsel, fh, 1, gpio_flags(conf));
  wait_fh_rest(-1, kBootSelectSettleMs, nullptr);
  line_set(&lines.reset, 1);
  wait_fh_rest(-1, kBootLoaderStartMs, nullptr);
}

// Reset low, boot-select low, then a reset pulse: the module restarts into
// its application. Returns -1 when a step on either line failed: the module
// may then be left in its boot loader.
int release_target(Lines &lines) {
  if (!lines.has_reset) return 0;
  int rc = line_set(&lines.reset, 0);
  if (lines.has_bootsel && line_set(&lines.bootsel, 0) < 0) rc = -1;
  wait_fh_rest(-1, kResetPulseMs, nullptr);
  if (line_set(&lines.reset, 1) < 0) rc = -1;
  return rc;
}

// What the loader's re-entry needs: the lines and the configuration.
struct Reentry {
  const update_conf *conf;
  Lines *lines;
};

// The entry sequence again, then a new synchronisation: the module restarts
// into its boot loader, whatever state it was in.
int reenter_target(int fh, void *ctx, int flags) {
  Reentry &r = *static_cast<Reentry *>(ctx);
  enter_target(*r.conf, *r.lines, fh);
  return ld_init_device(fh, flags);
}

void release_lines(Lines &lines) {
  if (lines.has_bootsel) line_release(&lines.bootsel);
  if (lines.has_reset) line_release(&lines.reset);
}

int loader_flags(const update_conf &conf) {
  return (conf.waitack_flag ? LD_WAITACK : 0) | (conf.verbose_flag ? LD_VERBOSE : 0);
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
  Lines lines;
  Fd port;
  ~Run() { parser_free(&conf); }
};

int cant_open(const std::string &name) {
  std::fprintf(stderr, "Can't open %s: %s\n", name.c_str(), std::strerror(errno));
  return -1;
}

// A raw binary has no addresses of its own: it goes to the flash start, or
// where --address puts it (behind the module's own boot code, say).
void place_raw_binary(const update_conf &conf, image *img) {
  if (img->chunks > 0) img->img[0].offset = conf.address_given ? conf.address_arg : IMG_FLASH_BASE;
}

// An image with bytes below the flash, or with one address set twice to
// different values, is refused before the port is touched: the module would
// be erased and then refuse the write, or hold the AND of the two values.
int check_image(const update_conf &conf, const image *img) {
  if (conf.showid_flag) return 0;
  write_plan plan;
  plan_fault fault = PLAN_OK;
  uint32_t where = 0;
  if (img_plan(img, IMG_FLASH_BASE, IMG_PROGRAM_UNIT, &plan, &fault, &where) == 0) return 0;
  img_plan_report(fault, where, IMG_FLASH_BASE);
  return -1;
}

int load_image(Run &run) {
  run.file = run.conf.file_arg.value_or("");
  int loaded = parse_file(run.file.c_str(), run.img.get());
  if (loaded > 0) place_raw_binary(run.conf, run.img.get());
  if (loaded >= 0 && !run.conf.showid_flag && !holds_data(*run.img.get())) {
    errno = ENODATA;
    loaded = -1;
  }
  if (loaded < 0) return cant_open(run.file);
  return check_image(run.conf, run.img.get());
}

// A regular file or a directory is no port: a firmware file given as the
// device would receive the synchronisation bytes.
bool file_or_directory(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode));
}

int open_port(Run &run) {
  const std::string device = run.conf.device_arg.value_or("");
  const int flags = run.conf.uart_flag ? UART_EVEN : UART_NOSETUP | UART_EVEN;
  init_lines(run.conf, &run.lines);
  if (file_or_directory(device)) {
    errno = ENOTTY;
    return cant_open(device);
  }
  run.port = Fd(uart_open_port(device.c_str()));
  if (!run.port.ok()) return cant_open(device);
  // Setting the line up needs a terminal.
  if (run.conf.uart_flag && !::isatty(run.port.get())) {
    errno = ENOTTY;
    return cant_open(device);
  }
  // The open raised DTR and RTS: lines among them go to their levels before
  // anything else reaches the port.
  line_hold_modem(run.port.get(), run.lines.has_reset ? &run.lines.reset : nullptr,
                  run.lines.has_bootsel ? &run.lines.bootsel : nullptr);
  uart_setup(run.port.get(), run.conf.baudrate_arg, flags);
  return 0;
}

// Every run that opened the port ends this way, whatever happened: the last
// bytes leave the port before the module restarts into its application, then
// the image, the lines and the port are released. Returns -1 when the module
// could not be released.
int end_run(Run &run) {
  uart_drain(run.port.get());
  const int released = release_target(run.lines);
  run.img.free();
  release_lines(run.lines);
  uart_close(run.port.release());
  return released;
}

// --erase=image: only the pages the image touches.
bool erase_image_only(const update_conf &conf) {
  return conf.erase_arg.value_or("all") == "image";
}

// A failed release outweighs everything, a signal included: the caller must
// know that the module may not run.
int exit_status(int flashed, int released) {
  if (released < 0) return EXIT_FLASH_FAILED;
  if (caught_signal) return 128 + caught_signal;
  return flashed < 0 ? EXIT_FLASH_FAILED : EXIT_FLASH_OK;
}

// "Device or resource busy" is what a silent module and a locked port both
// give: the silent module gets a line that says what to check.
void hint_no_answer(int err) {
  if (err != EBUSY) return;
  std::fputs(
      "No answer from the module's boot loader: check its power, the wiring, the "
      "boot-select line and the line speed\n",
      stderr);
}

// --showid prints leading zeros; copied into --testid they make an octal
// number.
void hint_octal_testid(const update_conf &conf) {
  const std::string text = conf.testid_orig.value_or("");
  const size_t digits = text.find_first_not_of('0');
  if (text.size() < 2 || text[0] != '0' || text[1] == 'x' || text[1] == 'X' ||
      digits == std::string::npos)
    return;
  std::fprintf(stderr, "--testid %s was read as octal (0x%x); write 0x%s for hexadecimal\n",
               text.c_str(), static_cast<unsigned int>(conf.testid_arg), text.c_str() + digits);
}

int erase(int fh, const image *img, int ldflags, const update_conf &conf, erase_module *module) {
  if (conf.unprotect_flag && ld_unprotect(fh, ldflags) < 0) {
    std::fprintf(stderr, "Can't unprotect device: %s\n", std::strerror(errno));
    return -1;
  }
  if (erase_flash(fh, img, ldflags, erase_image_only(conf), module) == 0) return 0;
  if (errno == EINVAL && !conf.unprotect_flag)
    std::fputs(
        "Hint: the flash may be read- or write-protected; --unprotect lifts the protection "
        "(and erases the whole flash)\n",
        stderr);
  return -1;
}

// Writes go in whole flash words of the part, 8 bytes at the least.
int program_unit(const erase_module &module) {
  return module.part && module.part->program_unit > IMG_PROGRAM_UNIT ? module.part->program_unit
                                                                     : IMG_PROGRAM_UNIT;
}

int verify(int fh, const write_plan &plan, int ldflags) {
  uint32_t bad = 0;
  const int r = ld_verify_plan(fh, &plan, ldflags | LD_PROGRESS, &bad);
  if (r > 0) std::fprintf(stderr, "Verify failed at 0x%08X\n", bad);
  if (r < 0) std::fprintf(stderr, "Can't verify: %s\n", std::strerror(errno));
  return r == 0 ? 0 : -1;
}

// Erase, write, and on request read back and start the application.
int flash_image(int fh, image *img, int ldflags, const update_conf &conf, erase_module *module) {
  write_plan plan;
  if (img_plan(img, IMG_FLASH_BASE, program_unit(*module), &plan, nullptr, nullptr) < 0) {
    std::fprintf(stderr, "Can't write image %s: %s\n", img->fn, std::strerror(errno));
    return -1;
  }
  if (erase(fh, img, ldflags, conf, module) < 0) return -1;
  if (ld_write_plan(fh, &plan, img->fn, ldflags | LD_PROGRESS) < 0) {
    std::fprintf(stderr, "Can't write image %s: %s\n", img->fn, std::strerror(errno));
    return -1;
  }
  if (ldflags & LD_VERBOSE) std::fprintf(stderr, "Flashing done\n");
  if (conf.verify_flag && verify(fh, plan, ldflags) < 0) return -1;
  // The vector table sits at the image's lowest address.
  const int started = conf.go_flag ? ld_restart(fh, static_cast<int>(plan.lowest), ldflags) : 0;
  if (started != 0) {
    std::fprintf(stderr,
                 started > 0 ? "Can't confirm the start of the application: %s\n"
                             : "Can't start application: %s\n",
                 std::strerror(errno));
    return -1;
  }
  return 0;
}

}  // namespace

int do_flash(int fh, image *img, int ldflags, update_conf *conf) {
  if (ld_init_device(fh, ldflags) < 0) {
    const int err = errno;
    std::fprintf(stderr, "Can't init device: %s\n", std::strerror(err));
    hint_no_answer(err);
    return -1;
  }
  unsigned int id = 0;
  erase_module module;
  if (conf->showid_flag) {
    if (erase_read_id(fh, ldflags, &id) < 0) return -1;
    std::fprintf(stderr, "Device has ID %08X\n", id);
    if (conf->verbose_flag) erase_learn_part(fh, id, ldflags, &module);
    return 0;
  }
  const bool image_only = erase_image_only(*conf);
  if (conf->testid_given || image_only) {
    if (erase_read_id(fh, ldflags, &id) < 0) return -1;
    if (conf->testid_given && id != static_cast<unsigned int>(conf->testid_arg)) {
      std::fprintf(stderr, "Device ID %08X doesn't match %08X\n", id,
                   static_cast<unsigned int>(conf->testid_arg));
      hint_octal_testid(*conf);
      return -1;
    }
    if (conf->verbose_flag) std::fprintf(stderr, "Device has ID %08X\n", id);
    erase_learn_part(fh, id, ldflags, &module);
  }
  return flash_image(fh, img, ldflags, *conf, &module);
}

// A run whose module acted on a block the flasher did not send whole (an
// acknowledgement during a recovery) may have erased or written flash
// outside the image: it says so and fails, whatever else went well.
int report_stray_acts(int flashed) {
  const unsigned stray = ld_take_stray_acts();
  if (stray == 0) return flashed;
  std::fprintf(stderr,
               "The module acted on a damaged block: flash outside the image may have been %s\n",
               stray == LD_STRAY_ERASE   ? "erased"
               : stray == LD_STRAY_WRITE ? "written"
                                         : "erased or written");
  return -1;
}

// Running out of memory ends the phase it happens in like any failure of
// that phase (the new-handler has said so and thrown std::bad_alloc): before
// the port is open the run ends with EXIT_CANT_OPEN, holding nothing; after
// it the module is released and the status is EXIT_FLASH_FAILED.
int update_main(int argc, char **argv) {
  if (open_standard_fds() < 0) return EXIT_CANT_OPEN;
  parser_install_oom_handler();
  catch_signals();
  Run run;
  int flashed = -1;
  try {
    const bool loaded = read_config(argc, argv, &run.conf) >= 0 && load_image(run) >= 0;
    // Stopped before anything was held: the status a default action gives.
    if (caught_signal) return 128 + caught_signal;
    if (!loaded) return EXIT_CANT_OPEN;
    if (open_port(run) < 0) return EXIT_CANT_OPEN;
    enter_target(run.conf, run.lines, run.port.get());
    Reentry reentry_ctx = {&run.conf, &run.lines};
    const ld_reentry reentry = {reenter_target, &reentry_ctx};
    ld_set_reentry(run.lines.has_reset ? &reentry : nullptr);
    (void)ld_take_stray_acts();
    if (!caught_signal)
      flashed = do_flash(run.port.get(), run.img.get(), loader_flags(run.conf), &run.conf);
    flashed = report_stray_acts(flashed);
    ld_set_reentry(nullptr);
  } catch (const std::bad_alloc &) {
    if (!run.port.ok()) return EXIT_CANT_OPEN;
  }
  int released = -1;
  try {
    released = end_run(run);
  } catch (const std::bad_alloc &) {
    // What the release did not reach, Run's owners close on the way out.
  }
  return exit_status(flashed, released);
}
