#include "target.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "gpio.h"
#include "loader.h"
#include "util.h"

namespace {

// The pauses of the target sequences.
constexpr int kBootSelectSettleMs = 100;  // boot-select high, then reset released
constexpr int kBootLoaderStartMs = 10;    // reset released, then the first block
constexpr int kResetPulseMs = 10;         // reset held low on the way out
// Entries through the reset line before a failed sync ends the run.
constexpr int kEntryTries = 3;

void init_line(target_line *line, bool *has, int given, const owned_text &orig, int number) {
  *has = given != 0;
  if (*has && line_init(line, orig.value_or(std::to_string(number)).c_str()) < 0)
    line_init(line, std::to_string(number).c_str());
}

}  // namespace

void target_init_lines(const update_conf &conf, target_lines *lines) {
  init_line(&lines->reset, &lines->has_reset, conf.resetpin_given, conf.resetpin_orig,
            conf.resetpin_arg);
  init_line(&lines->bootsel, &lines->has_bootsel, conf.bspin_given, conf.bspin_orig,
            conf.bspin_arg);
  // A line whose direction or first level the kernel refuses cannot be
  // driven: the entry must not count it as moved.
  lines->gpio_flags = GPIO_NODIR_OK | GPIO_STRICT | (conf.verbose_flag ? GPIO_VERBOSE : 0);
}

int enter_target(target_lines &lines, int fh, int start_ms) {
  if (!lines.has_reset) return 0;
  // Also a modem reset line, held low since the open: the port's set-up that
  // followed raised DTR and RTS again when it moved the port off speed 0.
  if (line_setup(&lines.reset, fh, 0, lines.gpio_flags) < 0) return -1;
  if (lines.has_bootsel && line_setup(&lines.bootsel, fh, 1, lines.gpio_flags) < 0) return -1;
  wait_fh_rest(-1, kBootSelectSettleMs, nullptr);
  if (line_set(&lines.reset, 1) < 0) return -1;
  wait_fh_rest(-1, start_ms, nullptr);
  return 0;
}

// An answer that is neither 0x79 nor 0x1F comes from a boot loader that took
// a wrong line speed from a 0x7F on the line as it started: it had started by
// the 0x7F that got the answer, so the next entry waits that long and one
// sync interval more before its first 0x7F, which then finds it listening.
int enter_target_sync(target_lines *lines, ld_session *s, bool *began) {
  *began = false;
  int start_ms = kBootLoaderStartMs;
  for (int entry = 1;; ++entry) {
    // A line that did not move leaves the module where it was: nothing to
    // synchronise with, and nothing that another entry would change.
    if (enter_target(*lines, s->fh, start_ms) < 0) return -1;
    if (s->stop && *s->stop) {
      errno = EINTR;
      return -1;
    }
    *began = true;
    int answered_ms = -1;
    if (ld_sync(s, &answered_ms) == 0) return 0;
    const int err = errno;
    if (!lines->has_reset || entry >= kEntryTries || (err != EBUSY && err != EINVAL)) {
      errno = err;
      return -1;
    }
    if (s->flags & LD_VERBOSE)
      std::fprintf(stderr, "No sync (%s): entering the boot loader again\n", std::strerror(err));
    start_ms = kBootLoaderStartMs;
    if (err == EINVAL && answered_ms >= 0) start_ms += answered_ms + ld_sync_interval_ms(s);
  }
}

int reenter_target(ld_session *s, void *ctx) {
  bool began = false;
  return enter_target_sync(static_cast<target_lines *>(ctx), s, &began);
}

int release_target(target_lines &lines, bool started) {
  if (!lines.has_reset || (started && !lines.has_bootsel)) return 0;
  int rc = line_set(&lines.reset, 0);
  if (lines.has_bootsel && line_set(&lines.bootsel, 0) < 0) rc = -1;
  wait_fh_rest(-1, kResetPulseMs, nullptr);
  if (line_set(&lines.reset, 1) < 0) rc = -1;
  return rc;
}

void target_release_lines(target_lines &lines) {
  if (lines.has_bootsel) line_release(&lines.bootsel);
  if (lines.has_reset) line_release(&lines.reset);
}
