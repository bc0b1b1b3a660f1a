#include "update.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "backup.h"
#include "config.h"
#include "erase.h"
#include "image_format.h"
#include "image_layout.h"
#include "line.h"
#include "loader.h"
#include "progress.h"
#include "target.h"
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

// The option table has checked the names; the defaults stand for a name that
// is missing.
progress_mode chosen_progress(const update_conf &conf) {
  progress_mode mode = PROGRESS_DOTS;
  (void)progress_mode_parse(conf.progress_arg.value_or("dots").c_str(), &mode);
  return mode;
}

// The progress display rides along in the flags: the loader's steps show it
// in the mode --progress chose.
int loader_flags(const update_conf &conf) {
  const progress_mode mode = chosen_progress(conf);
  return (conf.waitack_flag ? LD_WAITACK : 0) | (conf.verbose_flag ? LD_VERBOSE : 0) |
         (mode != PROGRESS_NONE ? LD_PROGRESS : 0) | (mode == PROGRESS_PERCENT ? LD_PERCENT : 0);
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
  target_lines lines;
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

img_format chosen_format(const update_conf &conf) {
  img_format fmt = IMG_FORMAT_AUTO;
  (void)img_format_parse(conf.format_arg.value_or("auto").c_str(), &fmt);
  return fmt;
}

// The flash read (--read) into the firmware file would replace the image
// that is about to be flashed. Returns 0, or -1 after a message.
int check_backup_target(const update_conf &conf) {
  if (!conf.read_given || !conf.file_given || conf.showid_flag) return 0;
  const std::string file = conf.file_arg.value_or("");
  if (!backup_same_file(conf.read_arg.value_or("").c_str(), file.c_str())) return 0;
  std::fprintf(stderr, "--read names the firmware file %s: the backup would replace it\n",
               file.c_str());
  return -1;
}

// The message of a flash read that cannot be stored (backup_check failed, errno
// its cause). Returns -1.
int cant_store(const std::string &backup) {
  if (backup != "-" || errno != ENOTTY) return cant_open(backup);
  std::fputs("Can't write the flash to standard output: it is a terminal\n", stderr);
  return -1;
}

// Also makes sure that the flash read (--read) can be stored, before the
// port is opened; --read alone loads no image, and neither does --showid
// without --file.
int load_image(Run &run) {
  const std::string backup = run.conf.read_arg.value_or("");
  if (run.conf.read_given && run.conf.showid_flag)
    std::fputs("--read is ignored: --showid only shows the identifier\n", stderr);
  else if (run.conf.read_given && backup_check(backup.c_str()) < 0)
    return cant_store(backup);
  if (!run.conf.file_given) return 0;
  run.file = run.conf.file_arg.value_or("");
  int loaded = parse_file_as(run.file.c_str(), chosen_format(run.conf), run.img.get());
  if (loaded > 0) place_raw_binary(run.conf, run.img.get());
  if (loaded == 0 && run.conf.address_given)
    std::fprintf(stderr, "--address is ignored: %s carries its own addresses\n", run.file.c_str());
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
  target_init_lines(run.conf, &run.lines);
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
  const int rate = uart_speed_rate(run.conf.baudrate_arg);
  if (run.conf.verbose_flag && run.conf.uart_flag && rate != run.conf.baudrate_arg)
    std::fprintf(stderr, "Line speed set to %d baud (the port takes no %d)\n", rate,
                 run.conf.baudrate_arg);
  return 0;
}

// Every run that opened the port ends this way, whatever happened: the last
// bytes leave the port before the module restarts into its application
// (started: Go has started it already), then
// the image, the lines and the port are released. Returns -1 when the module
// could not be released.
int end_run(Run &run, bool started) {
  uart_drain(run.port.get());
  const int released = release_target(run.lines, started);
  run.img.free();
  target_release_lines(run.lines);
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
// give, "Invalid argument" a boot loader that answers at a wrong line speed:
// both get a line that says what to check.
void hint_no_answer(int err) {
  if (err != EBUSY && err != EINVAL) return;
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

// A number written without 0x is decimal: --testid 413 means 0x19D. Said
// when the digits read as hexadecimal are the identifier the module has.
void hint_decimal_testid(const update_conf &conf, unsigned int id) {
  const std::string text = conf.testid_orig.value_or("");
  if (text.empty() || text[0] == '0' || text.find_first_not_of("0123456789") != std::string::npos ||
      text.size() > 8 || std::stoul(text, nullptr, 16) != id)
    return;
  std::fprintf(stderr, "--testid %s was read as decimal (0x%X); write 0x%s for hexadecimal\n",
               text.c_str(), static_cast<unsigned int>(conf.testid_arg), text.c_str());
}

int cant_unprotect() {
  std::fprintf(stderr, "Can't unprotect device: %s\n", std::strerror(errno));
  return -1;
}

// Read-out protection shows as a refused Read Memory of the flash start.
// Lifting it erases the whole flash, which is said first, also without
// --verbose. Returns 0 (lifted, or not on), or -1 after a message.
int lift_readout_protection(int fh, int ldflags, const erase_module &module) {
  const uint32_t start = module.part ? module.part->flash_start : IMG_FLASH_BASE;
  unsigned char probe = 0;
  if (ld_read_memory(fh, start, &probe, 1, ldflags) == 0) return 0;
  if (errno != EINVAL) return cant_unprotect();
  std::fputs("Lifting read-out protection: the module erases its whole flash\n", stderr);
  return ld_readout_unprotect(fh, ldflags) < 0 ? cant_unprotect() : 0;
}

// The erase step. --unprotect lifts only what is on: read-out protection
// first (found by a read), then write protection, which shows as a refused
// erase; Write Unprotect keeps the flash, and the erase is tried again.
int erase(int fh, const image *img, int ldflags, const update_conf &conf, erase_module *module) {
  if (conf.unprotect_flag && lift_readout_protection(fh, ldflags, *module) < 0) return -1;
  const bool image_only = erase_image_only(conf);
  module->quiet_refusal = conf.unprotect_flag;
  int r = erase_flash(fh, img, ldflags, image_only, module);
  module->quiet_refusal = false;
  if (r < 0 && conf.unprotect_flag && (errno == EINVAL || errno == EPERM)) {
    if (ldflags & LD_VERBOSE)
      std::fputs("Erase refused: lifting write protection (the flash is kept)\n", stderr);
    if (ld_write_unprotect(fh, ldflags) < 0) return cant_unprotect();
    r = erase_flash(fh, img, ldflags, image_only, module);
  }
  if (r == 0) return 0;
  if (errno == EINVAL && !conf.unprotect_flag)
    std::fputs(
        "Hint: the flash may be read- or write-protected; --unprotect lifts the protection "
        "(read-out protection only with the whole flash)\n",
        stderr);
  return -1;
}

// Writes go in whole flash words of the part, 8 bytes at the least; a part
// that is not in the table gets the largest flash word of any part, which
// every part takes. Without its identifier (no Get ID without
// acknowledgements) the plan keeps 8 bytes.
int program_unit(const erase_module &module) {
  if (!module.part) return module.have_id ? IMG_PROGRAM_UNIT_MAX : IMG_PROGRAM_UNIT;
  return module.part->program_unit > IMG_PROGRAM_UNIT ? module.part->program_unit
                                                      : IMG_PROGRAM_UNIT;
}

// Reads the plan back. The progress display shows only when --verify asked
// for it.
int verify(int fh, const write_plan &plan, int ldflags, bool asked) {
  uint32_t bad = 0;
  const int r = ld_verify_plan(fh, &plan, asked ? ldflags : ldflags & ~LD_PROGRESS, &bad);
  if (r > 0) std::fprintf(stderr, "Verify failed at 0x%08X\n", bad);
  if (r < 0) std::fprintf(stderr, "Can't verify: %s\n", std::strerror(errno));
  return r == 0 ? 0 : -1;
}

// A run that met a fault of the line (a refusal, a recovery, a damaged or
// unexpected answer) reads back what it wrote, even without --verify: two
// bits flipped in one block pass the boot loader's checksum, and such runs
// meet other faults too. Without acknowledgements awaited, the check of the
// answers after the writes stands in for it.
bool read_back_anyway(unsigned long faults_before, int ldflags) {
  if (!(ldflags & LD_WAITACK) || ld_line_faults() == faults_before) return false;
  if (ldflags & LD_VERBOSE)
    std::fputs("The line had faults: reading back what was written\n", stderr);
  return true;
}

// Erase, write, and on request read back and start the application.
int flash_image(int fh, image *img, int ldflags, const update_conf &conf, erase_module *module) {
  write_plan plan;
  if (img_plan(img, IMG_FLASH_BASE, program_unit(*module), &plan, nullptr, nullptr) < 0) {
    std::fprintf(stderr, "Can't write image %s: %s\n", img->fn, std::strerror(errno));
    return -1;
  }
  progress_display erasing;
  progress_start(&erasing, ld_progress_mode(ldflags), "Erasing", "", PROGRESS_UNMEASURED);
  const unsigned long faults = ld_line_faults();
  if (erase(fh, img, ldflags, conf, module) < 0) return -1;
  progress_finish(&erasing);
  if (ld_write_plan(fh, &plan, img->fn, ldflags) < 0) {
    std::fprintf(stderr, "Can't write image %s: %s\n", img->fn, std::strerror(errno));
    // Erased and written in part, a stop by a signal included.
    std::fputs("The flash is incomplete: the module must be flashed again before it can run\n",
               stderr);
    return -1;
  }
  if (ldflags & LD_VERBOSE) std::fprintf(stderr, "Flashing done\n");
  const bool verify_flag = conf.verify_flag != 0;
  if ((verify_flag || read_back_anyway(faults, ldflags)) &&
      verify(fh, plan, ldflags, verify_flag) < 0)
    return -1;
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

// Get ID, and --showid or --testid on it. Returns 0 to go on (*module knows
// the part), 1 when the run is done (--showid), -1 after a message.
int identify(int fh, int ldflags, const update_conf &conf, erase_module *module) {
  unsigned int id = 0;
  if (erase_read_id(fh, ldflags, &id) < 0) return -1;
  if (conf.showid_flag) {
    std::fprintf(stderr, "Device has ID %08X\n", id);
    if (conf.verbose_flag) erase_learn_part(fh, id, ldflags, module);
    return 1;
  }
  if (conf.testid_given && id != static_cast<unsigned int>(conf.testid_arg)) {
    std::fprintf(stderr, "Device ID %08X doesn't match %08X\n", id,
                 static_cast<unsigned int>(conf.testid_arg));
    hint_octal_testid(conf);
    hint_decimal_testid(conf, id);
    return -1;
  }
  if (conf.verbose_flag) std::fprintf(stderr, "Device has ID %08X\n", id);
  // The flash-size register is read where its answer is shown or needed;
  // otherwise the part's table row is enough to plan and check the image.
  if (conf.verbose_flag || conf.testid_given || erase_image_only(conf))
    erase_learn_part(fh, id, ldflags, module);
  else
    erase_know_part(id, module);
  return 0;
}

// The entry and the sync. A run stopped during the entry's pauses says
// nothing. Returns 0, or -1 (after a message).
int enter_module(int fh, target_lines &lines, int ldflags) {
  bool began = false;
  if (enter_target_sync(&lines, fh, ldflags, &began) == 0) return 0;
  if (!began) return -1;
  const int err = errno;
  std::fprintf(stderr, "Can't init device: %s\n", std::strerror(err));
  hint_no_answer(err);
  return -1;
}

}  // namespace

int do_flash(int fh, image *img, int ldflags, update_conf *conf) {
  erase_module module;
  // Without acknowledgements nothing that the module answers can be read
  // reliably: the identifier is asked for only where the run needs it.
  const bool ask_id =
      (ldflags & LD_WAITACK) || conf->showid_flag || conf->testid_given || erase_image_only(*conf);
  if (ask_id) {
    const int known = identify(fh, ldflags, *conf, &module);
    if (known != 0) return known > 0 ? 0 : -1;
  }
  if (conf->read_given && backup_flash(fh, ldflags, conf->read_arg->c_str(), &module) < 0)
    return -1;
  if (!conf->file_given) return 0;
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
    const bool configured = read_config(argc, argv, &run.conf) >= 0;
    if (configured && !caught_signal && check_backup_target(run.conf) < 0) return EXIT_BAD_OPTIONS;
    const bool loaded = configured && load_image(run) >= 0;
    // Stopped before anything was held: the status a default action gives.
    if (caught_signal) return 128 + caught_signal;
    if (!loaded) return EXIT_CANT_OPEN;
    if (open_port(run) < 0) return EXIT_CANT_OPEN;
    const ld_reentry reentry = {reenter_target, &run.lines};
    ld_set_reentry(run.lines.has_reset ? &reentry : nullptr);
    const int ldflags = loader_flags(run.conf);
    (void)ld_take_stray_acts();
    if (enter_module(run.port.get(), run.lines, ldflags) == 0)
      flashed = do_flash(run.port.get(), run.img.get(), ldflags, &run.conf);
    flashed = report_stray_acts(flashed);
    ld_set_reentry(nullptr);
  } catch (const std::bad_alloc &) {
    if (!run.port.ok()) return EXIT_CANT_OPEN;
  }
  // Go has started the application (its failure fails the run).
  const bool started = flashed == 0 && run.conf.go_flag && !run.conf.showid_flag;
  int released = -1;
  try {
    released = end_run(run, started);
  } catch (const std::bad_alloc &) {
    // What the release did not reach, Run's owners close on the way out.
  }
  return exit_status(flashed, released);
}
