#include "update.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "backup.h"
#include "config.h"
#include "flash.h"
#include "image_format.h"
#include "image_layout.h"
#include "line.h"
#include "loader.h"
#include "parts_file.h"
#include "port.h"
#include "progress.h"
#include "target.h"
#include "uart.h"
#include "util.h"

namespace {

volatile sig_atomic_t caught_signal = 0;
volatile sig_atomic_t stop_requested = 0;

void on_signal(int sig) {
  caught_signal = sig;
  stop_requested = 1;
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

// How long a FIFO given to --read waits for its reader, by default.
constexpr int kReaderWaitMs = 5000;

// What a run holds; whatever is still held is released on the way out.
struct Run {
  update_conf conf;
  ld_budgets budgets;             // the session's, as TARVION_BUDGETS leaves them
  int reader_ms = kReaderWaitMs;  // a FIFO's wait for its reader (--read)
  backup_target backup;           // --read's target, opened before the port
  part_catalog parts;             // the table of parts with --parts' rows
  bool backing_up = false;        // whether backup is open
  bool held = false;              // the modem lines took their levels after the open
  std::string file;               // the image's name, which the image borrows
  ImageGuard img;
  target_lines lines;
  Fd port;
  ~Run() { parser_free(&conf); }
};

int cant_open(const std::string &name) {
  std::fprintf(stderr, "Can't open %s: %s\n", name.c_str(), std::strerror(errno));
  return -1;
}

// --parts: the file's rows join the table before the port is opened.
// Returns 0, or -1 after a message.
int read_parts(Run &run) {
  if (!run.conf.parts_given) return 0;
  return parts_file_read(run.conf.parts_arg.value_or("").c_str(), &run.parts);
}

// --list-parts: the table, as a parts file, on standard output. Returns
// the run's status.
int list_parts(const Run &run) {
  const std::string text = parts_file_list(&run.parts);
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0)
    return EXIT_FLASH_OK;
  std::fprintf(stderr, "Can't print the table of parts: %s\n", std::strerror(errno));
  return EXIT_BAD_OPTIONS;
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
  if (!conf.read_given || !conf.file_given || conf.showid_flag || conf.info_flag) return 0;
  const std::string file = conf.file_arg.value_or("");
  if (!backup_same_file(conf.read_arg.value_or("").c_str(), file.c_str())) return 0;
  std::fprintf(stderr, "--read names the firmware file %s: the backup would replace it\n",
               file.c_str());
  return -1;
}

// --compare needs the file it compares with; a --range of the flash that
// lies outside the flash of the part --testid names (in the table, or a
// parts file) is refused before the port is opened. Returns 0, or -1 after
// a message.
int check_requests(const Run &run) {
  const update_conf &conf = run.conf;
  const bool only_shown = conf.showid_flag || conf.info_flag;
  if (conf.compare_flag && !conf.file_given && !only_shown) {
    std::fputs("--compare needs the firmware file to compare with (--file)\n", stderr);
    return -1;
  }
  if (conf.range_given && !conf.read_given)
    std::fputs("--range is ignored: it chooses what --read reads\n", stderr);
  const part_info *p = conf.testid_given
                           ? catalog_lookup(&run.parts, static_cast<uint32_t>(conf.testid_arg))
                           : nullptr;
  if (!conf.range_given || !conf.read_given || only_shown || !p || p->flash_kib == 0) return 0;
  backup_range range;
  range.text = conf.range_arg->c_str();
  if (read_range(range.text, &range.addr, &range.len) < 0) return 0;
  return backup_range_check(range, static_cast<uint32_t>(conf.testid_arg), *p,
                            part_flash_bytes(p, 0));
}

// The message of a flash read that cannot be stored (backup_open failed,
// errno its cause). Returns the run's status: EXIT_BAD_OPTIONS for a FIFO
// that nobody read, else EXIT_CANT_OPEN.
int cant_store(const Run &run) {
  const std::string &backup = run.backup.path;
  if (errno == ETIMEDOUT) {
    std::fprintf(stderr, "Can't write the flash to %s: no reader opened the FIFO within %g s\n",
                 backup.c_str(), run.reader_ms / 1000.0);
    return EXIT_BAD_OPTIONS;
  }
  if (backup != "-" || errno != ENOTTY)
    cant_open(backup);
  else
    std::fputs("Can't write the flash to standard output: it is a terminal\n", stderr);
  return EXIT_CANT_OPEN;
}

// Opens the flash read's target (--read) before the port, so that a target
// that cannot take the flash stops the run before the module is touched.
// Returns 0, or the run's status after a message.
int open_backup(Run &run) {
  if (!run.conf.read_given) return 0;
  if (run.conf.info_flag) {
    std::fputs("--read is ignored: --info only shows what the module tells\n", stderr);
    return 0;
  }
  if (run.conf.showid_flag) {
    std::fputs("--read is ignored: --showid only shows the identifier\n", stderr);
    return 0;
  }
  const std::string path = run.conf.read_arg.value_or("");
  if (backup_open(path.c_str(), run.reader_ms, &stop_requested, &run.backup) < 0)
    return cant_store(run);
  run.backing_up = true;
  return 0;
}

// --read alone loads no image, and neither does --showid without --file,
// nor --info at all.
int load_image(Run &run) {
  if (!run.conf.file_given || run.conf.info_flag) return 0;
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
  // anything else reaches the port. A modem line that does not take its
  // level fails the run as at entry.
  run.held = line_hold_modem(run.port.get(), run.lines.has_reset ? &run.lines.reset : nullptr,
                             run.lines.has_bootsel ? &run.lines.bootsel : nullptr) == 0;
  uart_setup(run.port.get(), run.conf.baudrate_arg, flags);
  // Said also without --verbose: the line runs at a speed not asked for.
  const int rate = uart_speed_rate(run.conf.baudrate_arg);
  if (run.conf.uart_flag && rate != run.conf.baudrate_arg)
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
  port_drain(run.port.get(), nullptr);
  const int released = release_target(run.lines, started);
  run.img.free();
  target_release_lines(run.lines);
  uart_close(run.port.release());
  return released;
}

// A failed release outweighs everything, a signal included: the caller must
// know that the module may not run.
int exit_status(int flashed, int released) {
  if (released < 0) return EXIT_FLASH_FAILED;
  if (caught_signal) return 128 + caught_signal;
  if (flashed > 0) return EXIT_DIFFERS;
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

// The entry and the sync. A run stopped during the entry's pauses says
// nothing, and one whose line did not move nothing more than the line's own
// message. Returns 0, or -1 (after a message).
int enter_module(ld_session *s, target_lines &lines) {
  bool began = false;
  if (enter_target_sync(&lines, s, &began) == 0) return 0;
  if (!began) return -1;
  const int err = errno;
  std::fprintf(stderr, "Can't init device: %s\n", std::strerror(err));
  hint_no_answer(err);
  return -1;
}

// Budgets the tests shorten, from TARVION_BUDGETS: a list such as
// "wait=200,long=8000,sync=600,reader=300" (milliseconds, each above 0, for
// the wait of a byte, the long waits of a mass erase and an unprotect, which
// then no longer follow the part, the sync, and a FIFO's wait for its
// reader). Anything else in it is passed over.
void budgets_from_env(Run &run) {
  const char *text = std::getenv("TARVION_BUDGETS");
  if (!text) return;
  ld_budgets *b = &run.budgets;
  const struct {
    const char *key;
    int *field;
  } keys[] = {{"wait", &b->wait_ms},
              {"long", &b->long_ms},
              {"sync", &b->sync_ms},
              {"reader", &run.reader_ms}};
  std::string rest = text;
  while (!rest.empty()) {
    const std::string item = rest.substr(0, rest.find(','));
    rest.erase(0, item.size() + (item.size() < rest.size() ? 1 : 0));
    const size_t eq = item.find('=');
    long long ms = 0;
    if (eq == std::string::npos || read_number(item.c_str() + eq + 1, 1, 600000, &ms) < 0) continue;
    for (const auto &k : keys)
      if (item.compare(0, eq, k.key) == 0) *k.field = static_cast<int>(ms);
    if (item.compare(0, eq, "long") == 0) b->long_fixed = true;
  }
}

// The session of the run: the port, the flags, the budgets, the re-entry
// through the reset line where there is one, the stop flag, and the
// driver's display of what the loader reports.
void start_session(Run &run, ld_session *s, flash_display *display) {
  s->fh = run.port.get();
  s->flags = loader_flags(run.conf);
  s->baud = uart_line_rate(s->fh);
  s->stop = &stop_requested;
  if (run.lines.has_reset) s->reentry = {reenter_target, &run.lines};
  display->verbose = run.conf.verbose_flag != 0;
  display->mode = chosen_progress(run.conf);
  s->report = flash_report;
  s->report_ctx = display;
  s->budgets = run.budgets;
}

}  // namespace

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
  ld_session session;
  try {
    budgets_from_env(run);
    const bool configured = read_config(argc, argv, &run.conf) >= 0;
    if (configured && !caught_signal && read_parts(run) < 0) return EXIT_BAD_OPTIONS;
    if (configured && !caught_signal && run.conf.list_parts_flag) return list_parts(run);
    if (configured && !caught_signal &&
        (check_backup_target(run.conf) < 0 || check_requests(run) < 0))
      return EXIT_BAD_OPTIONS;
    const int stored = configured && !caught_signal ? open_backup(run) : 0;
    const bool loaded = configured && stored == 0 && load_image(run) >= 0;
    // Stopped before anything was held: the status a default action gives.
    if (caught_signal) return 128 + caught_signal;
    if (stored != 0) return stored;
    if (!loaded) return EXIT_CANT_OPEN;
    if (open_port(run) < 0) return EXIT_CANT_OPEN;
    flash_display display;
    start_session(run, &session, &display);
    if (run.held && enter_module(&session, run.lines) == 0)
      flashed = do_flash(&session, run.img.get(), &run.conf, run.backing_up ? &run.backup : nullptr,
                         &run.parts);
    flashed = report_stray_acts(&session, flashed);
  } catch (const std::bad_alloc &) {
    if (!run.port.ok()) return EXIT_CANT_OPEN;
  }
  int released = -1;
  try {
    // Only a Go the module acknowledged has started the application.
    released = end_run(run, session.facts.app_started);
  } catch (const std::bad_alloc &) {
    // What the release did not reach, Run's owners close on the way out.
  }
  return exit_status(flashed, released);
}
