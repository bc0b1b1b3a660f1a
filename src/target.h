// The module's target lines, reset and boot-select, and their two
// sequences: entering the ROM boot loader (with the synchronisation and its
// retries through the reset line) and releasing the module into its
// application.
#ifndef TARVION_TARGET_H
#define TARVION_TARGET_H

#include "line.h"
#include "loader.h"
#include "options.h"

// The reset and boot-select lines, each present when given, and the GPIO
// flags their set-up uses.
struct target_lines {
  target_line reset, bootsel;
  bool has_reset = false, has_bootsel = false;
  int gpio_flags = 0;
};

// Reads the lines the configuration gives (a number is kept as its text
// too, so every kind is read from there). Touches no line yet.
void target_init_lines(const update_conf &conf, target_lines *lines);

// Reset low; with a boot-select line, boot-select high; then release reset so
// that the module starts its ROM boot loader (without a boot-select line, one
// strapped high on the board). The pauses of both sequences run their full
// length even when a signal arrives during them. start_ms: the pause after
// the release of reset. Nothing without a reset line. Returns 0, or -1 with
// errno at the first step a line did not take (the line operation has said
// which line and why); the sequence stops there.
int enter_target(target_lines &lines, int fh, int start_ms);

// The entry sequence, then the sync; with a reset line a sync that fails
// (silence for its whole budget, or answers that are neither 0x79 nor 0x1F)
// runs the whole entry again, three entries in all. An entry whose line did
// not move ends it at once, before any sync. *began tells whether the sync
// was reached (neither a failed entry nor a signal during the entry's
// pauses reaches it). Returns 0, or -1 with errno as the entry or the last
// sync left it.
int enter_target_sync(target_lines *lines, ld_session *s, bool *began);

// The loader's re-entry (ld_reentry, ctx: the target_lines): the module
// restarts into its boot loader, whatever state it was in, with the run's
// own entry and its retries. Returns as enter_target_sync.
int reenter_target(ld_session *s, void *ctx);

// Reset low, boot-select low, then a reset pulse: the module restarts into
// its application. An application that Go has started (started) on a module
// without a boot-select line is left running: the pulse would restart it
// into the boot loader its strapping selects. Returns -1 when a step on
// either line failed: the module may then be left in its boot loader.
int release_target(target_lines &lines, bool started);

// Gives the lines back (unexports them, releases their requests).
void target_release_lines(target_lines &lines);

#endif
