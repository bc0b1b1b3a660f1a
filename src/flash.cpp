#include "flash.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "backup.h"
#include "boot_pin.h"
#include "compare.h"
#include "device.h"
#include "erase.h"
#include "image_layout.h"
#include "info.h"
#include "util.h"

void flash_report(void *ctx, ld_event what, long value) {
  const auto *shown = static_cast<const flash_display *>(ctx);
  switch (what) {
    case LD_EVENT_ALREADY_SYNCED:
      if (shown->verbose)
        std::fputs("Boot loader already synchronised (left so by an earlier run)\n", stderr);
      break;
    case LD_EVENT_EXTENDED_ERASE:
      if (shown->verbose)
        std::fprintf(stderr, "Erasing with the extended erase command (may take up to %ld s)\n",
                     value / 1000);
      else
        std::fputs("Mass erase: this can take up to a minute\n", stderr);
      break;
    case LD_EVENT_BLOCK:
      if (shown->current) progress_step(shown->current, value);
      break;
  }
}

namespace {

flash_display *display_of(const ld_session *s) {
  return s->report == flash_report ? static_cast<flash_display *>(s->report_ctx) : nullptr;
}

// The mode of the run's progress display (none without a display).
progress_mode mode_of(const flash_display *shown) {
  return shown ? shown->mode : PROGRESS_NONE;
}

// The progress display of one step, shown through the session's reports
// while it lives; a step that ends without finish() is stopped, so that
// the message after it has a line of its own.
class StepDisplay {
 public:
  StepDisplay(flash_display *display, bool shown, const char *phase, const std::string &title,
              long total)
      : display_(display) {
    progress_start(&progress_, shown ? mode_of(display) : PROGRESS_NONE, phase, title.c_str(),
                   total);
    if (display_) display_->current = &progress_;
  }
  ~StepDisplay() {
    if (display_) display_->current = nullptr;
  }
  StepDisplay(const StepDisplay &) = delete;
  StepDisplay &operator=(const StepDisplay &) = delete;
  void finish() { progress_finish(&progress_); }
  void stop() {
    const int err = errno;
    progress_stop(&progress_);
    errno = err;
  }
  void stop_in_line() {
    const int err = errno;
    progress_stop_in_line(&progress_);
    errno = err;
  }

 private:
  flash_display *display_;
  progress_display progress_{};
};

// The bytes of the plan, which the progress display counts.
long plan_bytes(const write_plan &plan) {
  long n = 0;
  for (const auto &f : plan.fragments) n += static_cast<long>(f.data.size());
  return n;
}

// --erase=image: only the pages the image touches.
bool erase_image_only(const update_conf &conf) {
  return conf.erase_arg.value_or("all") == "image";
}

bool verbose(const ld_session *s) {
  return s->flags & LD_VERBOSE;
}

bool stopped(const ld_session *s) {
  return s->stop && *s->stop;
}

// A failure after the flash was erased (by the erase, the unprotect or a
// write) leaves a module without its application. Returns -1.
int fail(bool erased) {
  if (erased)
    std::fputs("The flash is incomplete: the module must be flashed again before it can run\n",
               stderr);
  return -1;
}

// A stop by a signal before the image was written: what it left. Returns -1.
int say_stopped(bool erased) {
  std::fputs(erased ? "The run was stopped before the image was written\n"
                    : "The run was stopped before anything was erased\n",
             stderr);
  return fail(erased);
}

// A stop once every block was acknowledged: the image is in flash, and
// nothing more is sent (no read-back, no start). Returns -1.
int stopped_when_written() {
  std::fputs("The run was stopped once the image was written: every block was acknowledged\n",
             stderr);
  return -1;
}

// --showid prints leading zeros; copied into --testid they make an octal
// number.
void hint_octal_testid(const update_conf &conf) {
  const std::string text = conf.testid_orig.value_or("");
  const size_t digits = text.find_first_not_of('0');
  if (text.size() < 2 || text[0] != '0' || text[1] == 'x' || text[1] == 'X' ||
      digits == std::string::npos)
    return;
  std::fprintf(stderr, "--testid %s was read as octal (0x%X); write 0x%s for hexadecimal\n",
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

// The flash-size register, and under --verbose the part's line. Returns 0,
// or -1 after a message when the identifier is in doubt, or when the run
// was stopped: a register read that a stop cut short says nothing of the
// part.
int learn_size(ld_session *s, device_info *d) {
  const int r = device_read_size(s, d);
  if (stopped(s)) return say_stopped(false);
  if (r < 0) return report_failure("Can't read device ID");
  if (!verbose(s)) return 0;
  if (!d->part)
    std::fprintf(stderr, "Part %s is not in the table of parts\n", part_id_text(d->id).c_str());
  else if (d->part->origin)
    std::fprintf(stderr, "Part %s (from %s)\n", part_describe(d->part, d->flash_bytes).c_str(),
                 d->part->origin);
  else
    std::fprintf(stderr, "Part %s\n", part_describe(d->part, d->flash_bytes).c_str());
  return 0;
}

// Get ID, and --showid or --testid on it. Returns 0 to go on (*d knows the
// part, and its flash size where the run needs it), 1 when the run is done
// (--showid), -1 after a message.
int identify(ld_session *s, const update_conf &conf, const part_catalog *parts, device_info *d) {
  if (device_identify(s, parts, d) < 0) return report_failure("Can't read device ID");
  if (conf.showid_flag) {
    std::fprintf(stderr, "Device has ID %08X\n", d->id);
    if (conf.verbose_flag && learn_size(s, d) < 0) return -1;
    return 1;
  }
  if (conf.testid_given && d->id != static_cast<unsigned int>(conf.testid_arg)) {
    std::fprintf(stderr, "Device ID %08X doesn't match %08X\n", d->id,
                 static_cast<unsigned int>(conf.testid_arg));
    hint_octal_testid(conf);
    hint_decimal_testid(conf, d->id);
    return -1;
  }
  if (conf.verbose_flag) std::fprintf(stderr, "Device has ID %08X\n", d->id);
  // The flash-size register is read where its answer is shown or needed;
  // otherwise the part's table row is enough to plan and check the image.
  const bool needed = conf.verbose_flag || conf.testid_given || erase_image_only(conf) ||
                      conf.read_given || conf.compare_flag ||
                      (d->part && d->part->mass_erase_refused);
  return needed ? learn_size(s, d) : 0;
}

// The long waits (a mass erase, an unprotect command) follow the part's
// erase time where its family's is known: twice the slowest, never less
// than 2 s. Otherwise, or where the caller fixed it, the budget stays.
void fit_long_budget(ld_session *s, const device_info &d) {
  constexpr int kLeastLongMs = 2000;
  const int worst = part_mass_erase_ms(d.part, d.flash_bytes);
  if (s->budgets.long_fixed || worst <= 0) return;
  s->budgets.long_ms = std::max(kLeastLongMs, worst > INT_MAX / 2 ? INT_MAX : 2 * worst);
}

int cant_unprotect(const ld_session *s) {
  if (errno != ETIME) return report_failure("Can't unprotect device");
  std::fprintf(stderr, "Can't unprotect device: no answer to the unprotect command within %d s\n",
               (ld_long_wait_ms(s) + 999) / 1000);
  return -1;
}

// Read-out protection shows as a refused Read Memory of the flash start.
// Lifting it erases the whole flash, which is said first, also without
// --verbose; *erased is set once Readout Unprotect is taken. Returns 0
// (lifted, or not on), or -1 after a message.
int lift_readout_protection(ld_session *s, const device_info &d, bool *erased) {
  const uint32_t start = d.part ? d.part->flash_start : IMG_FLASH_BASE;
  unsigned char probe = 0;
  if (ld_read_memory(s, start, &probe, 1) == 0) return 0;
  if (errno != EINVAL) return cant_unprotect(s);
  std::fputs("Lifting read-out protection: the module erases its whole flash\n", stderr);
  const int r = ld_readout_unprotect(s);
  // Refused, it erased nothing; anything else may have come after the erase.
  *erased = r == 0 || errno != EINVAL;
  return r < 0 ? cant_unprotect(s) : 0;
}

// The erase step, after --unprotect has lifted read-out protection: write
// protection shows as a refused erase; Write Unprotect keeps the flash, and
// the erase is tried again. *erased is set when a failed erase may have
// erased flash: an erase block went out and was not refused.
int erase(ld_session *s, const image *img, const update_conf &conf, const device_info &d,
          bool *erased) {
  const unsigned long blocks = s->facts.erase_blocks;
  erase_request req;
  req.image_only = erase_image_only(conf);
  req.quiet_refusal = conf.unprotect_flag;
  int r = erase_flash(s, img, d, req);
  req.quiet_refusal = false;
  if (r < 0 && conf.unprotect_flag && (errno == EINVAL || errno == EPERM)) {
    if (verbose(s))
      std::fputs("Erase refused: lifting write protection (the flash is kept)\n", stderr);
    if (ld_write_unprotect(s) < 0) return cant_unprotect(s);
    r = erase_flash(s, img, d, req);
  }
  if (r == 0) return 0;
  const int err = errno;
  *erased = *erased || s->facts.erase_blocks != blocks;
  if (err == EINVAL && !conf.unprotect_flag)
    std::fputs(
        "Hint: the flash may be read- or write-protected; --unprotect lifts the protection "
        "(read-out protection only with the whole flash)\n",
        stderr);
  return -1;
}

// The write under its progress display. A failure says why on the line of
// the display: the port's fault, or the answers that piled up without
// acknowledgements awaited.
int write(ld_session *s, flash_display *display, const write_plan &plan, const char *fn) {
  StepDisplay shown(display, true, "Writing", std::string("Flashing ") + fn, plan_bytes(plan));
  if (ld_write_plan(s, &plan) == 0) {
    shown.finish();
    return 0;
  }
  const int err = errno;
  const ld_facts &f = s->facts;
  if (f.check_refused > 0 || f.check_missing > 0) {
    shown.stop();
    std::fprintf(stderr,
                 "The module refused blocks or left them unanswered (%lu refusals, %lu answers "
                 "missing): the flash must be written again with acknowledgements awaited\n",
                 f.check_refused, f.check_missing);
  } else {
    // The message's place is on the line of the dots.
    shown.stop_in_line();
    std::fprintf(stderr, "Communication Error: %s\n", std::strerror(err));
  }
  errno = err;
  return -1;
}

// Reads the plan back. The progress display shows only when --verify asked
// for it. Returns 0, or -1 after a message (a difference: and that the
// flash is incomplete).
int verify(ld_session *s, flash_display *display, const write_plan &plan, bool asked) {
  StepDisplay shown(display, asked, "Verifying", "Verifying", plan_bytes(plan));
  uint32_t bad = 0;
  const int r = ld_verify_plan(s, &plan, &bad);
  if (r == 0) shown.finish();
  if (r != 0) shown.stop();
  if (r < 0 && !stopped(s)) std::fprintf(stderr, "Can't verify: %s\n", std::strerror(errno));
  if (r <= 0) return r;
  // The flash holds something else than the image.
  std::fprintf(stderr, "Verify failed at 0x%08X\n", bad);
  return fail(true);
}

// A run that met a fault of the line (a recovery, a damaged, lost or
// unexpected answer) reads back what it wrote, even without --verify: two
// bits flipped in one block pass the boot loader's checksum, and such runs
// meet other faults too. A command the boot loader refuses is no fault.
// Without acknowledgements awaited, the check of the answers after the
// writes stands in for it.
bool read_back_anyway(const ld_session *s, unsigned long faults_before) {
  if (!(s->flags & LD_WAITACK) || s->facts.line_faults == faults_before) return false;
  if (verbose(s)) std::fputs("The line had faults: reading back what was written\n", stderr);
  return true;
}

// Go at addr. Its acknowledgements are awaited even where the writes' were
// not: the module counts as started (facts.app_started) only once Go was
// acknowledged. Returns 0, or -1 after a message (none for a stop, which the
// caller reports).
int start_application(ld_session *s, uint32_t addr) {
  const int flags = s->flags;
  s->flags |= LD_WAITACK;
  const int started = ld_restart(s, static_cast<int>(addr));
  s->flags = flags;
  if (started == 0) return 0;
  if (stopped(s)) return -1;
  std::fprintf(stderr,
               started > 0 ? "Can't confirm the start of the application: %s\n"
                           : "Can't start application: %s\n",
               std::strerror(errno));
  return -1;
}

// Erase, write, and on request read back and start the application. erased:
// the unprotect has erased the flash already.
int flash_image(ld_session *s, flash_display *display, image *img, const update_conf &conf,
                const device_info &d, bool erased) {
  write_plan plan;
  if (img_plan(img, IMG_FLASH_BASE, device_program_unit(d), &plan, nullptr, nullptr) < 0) {
    std::fprintf(stderr, "Can't write image %s: %s\n", img->fn, std::strerror(errno));
    return fail(erased);
  }
  if (stopped(s)) return say_stopped(erased);
  progress_display erasing;
  progress_start(&erasing, mode_of(display), "Erasing", "", PROGRESS_UNMEASURED);
  const unsigned long faults = s->facts.line_faults;
  if (erase(s, img, conf, d, &erased) < 0) return fail(erased);
  progress_finish(&erasing);
  if (write(s, display, plan, img->fn) < 0) {
    std::fprintf(stderr, "Can't write image %s: %s\n", img->fn, std::strerror(errno));
    // Erased and written in part, a stop by a signal included.
    return fail(true);
  }
  if (stopped(s)) return stopped_when_written();
  if (verbose(s)) std::fprintf(stderr, "Flashing done\n");
  const bool verify_flag = conf.verify_flag != 0;
  if ((verify_flag || read_back_anyway(s, faults)) && verify(s, display, plan, verify_flag) < 0)
    return stopped(s) ? stopped_when_written() : -1;
  // The vector table sits at the image's lowest address.
  if (!conf.go_flag || start_application(s, plan.lowest) == 0) return 0;
  return stopped(s) ? stopped_when_written() : -1;
}

// The boot-select pin before anything is written: --boot-pin makes it
// count; otherwise a module that ignores it stops a run that entered through
// the boot-select line (unless --leave-options) and is warned of where the
// run has none. Returns 0 to go on, -1 after a message or a stop.
int settle_boot_pin(ld_session *s, const update_conf &conf, const device_info &d, bool erased) {
  if (conf.boot_pin_flag) {
    if (conf.leave_options_flag)
      std::fputs("--leave-options is ignored: --boot-pin makes the pin count\n", stderr);
    return boot_pin_make_count(s, d, conf.verbose_flag != 0);
  }
  if (conf.leave_options_flag || !conf.file_given) return 0;
  const bool through_lines = conf.resetpin_given && conf.bspin_given;
  return boot_pin_check(s, d, through_lines ? BOOT_PIN_STOP : BOOT_PIN_WARN, erased);
}

backup_range range_of(const update_conf &conf) {
  backup_range r;
  if (conf.range_given && read_range(conf.range_arg->c_str(), &r.addr, &r.len) == 0)
    r.text = conf.range_arg->c_str();
  return r;
}

}  // namespace

int do_flash(ld_session *s, image *img, update_conf *conf, backup_target *backup,
             const part_catalog *parts) {
  if (conf->info_flag) return show_info(s, parts);
  flash_display *display = display_of(s);
  device_info d;
  // Without acknowledgements nothing that the module answers can be read
  // reliably: the identifier is asked for only where the run needs it.
  const bool ask_id = (s->flags & LD_WAITACK) || conf->showid_flag || conf->testid_given ||
                      erase_image_only(*conf) || conf->read_given || conf->boot_pin_flag ||
                      conf->compare_flag;
  if (ask_id) {
    const int known = identify(s, *conf, parts, &d);
    if (known != 0) return known > 0 ? 0 : -1;
    fit_long_budget(s, d);
  }
  if (backup &&
      backup_flash(s, backup, d, mode_of(display), conf->verify_flag != 0, range_of(*conf)) < 0)
    return -1;
  if (conf->compare_flag && conf->file_given) return compare_image(s, img, d, mode_of(display));
  // Read-out protection comes off first: the option bytes can be read only
  // then. Lifting it erases the flash.
  bool erased = false;
  if ((conf->file_given || conf->boot_pin_flag) && conf->unprotect_flag &&
      lift_readout_protection(s, d, &erased) < 0)
    return fail(erased);
  if (settle_boot_pin(s, *conf, d, erased) < 0)
    return stopped(s) ? say_stopped(erased) : fail(erased);
  if (conf->file_given) return flash_image(s, display, img, *conf, d, erased);
  // Without an image (--read, --boot-pin), --go starts what the flash holds.
  if (!conf->go_flag) return 0;
  if (start_application(s, d.part ? d.part->flash_start : IMG_FLASH_BASE) == 0) return 0;
  return stopped(s) ? say_stopped(erased) : -1;
}

int report_stray_acts(const ld_session *s, int flashed) {
  const unsigned stray = s->facts.stray_acts;
  if (stray == 0) return flashed;
  std::fprintf(stderr,
               "The module acted on a damaged block: flash outside the image may have been %s\n",
               stray == LD_STRAY_ERASE   ? "erased"
               : stray == LD_STRAY_WRITE ? "written"
                                         : "erased or written");
  return -1;
}
