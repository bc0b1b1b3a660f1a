// The flashing procedure on a synchronised boot loader: identify the module
// once, back its flash up, erase, write, read back, start the application;
// and the driver's side of what the loader reports. Prints what it does and
// what failed on standard error.
#ifndef TARVION_FLASH_H
#define TARVION_FLASH_H

#include "backup.h"
#include "image.h"
#include "loader.h"
#include "options.h"
#include "parts_file.h"
#include "progress.h"

// What the driver shows of a session's events: the lines --verbose asks
// for, the progress display's mode (--progress), and the display of the
// step in progress (null: none).
struct flash_display {
  bool verbose = false;
  progress_mode mode = PROGRESS_DOTS;
  progress_display *current = nullptr;
};

// The session's report callback (ctx: a flash_display).
void flash_report(void *ctx, ld_event what, long value);

// The flashing procedure on a session whose boot loader is synchronised:
// --info alone shows what the module tells; otherwise Get ID (under
// LD_WAITACK on every run; without it only for --showid, --testid,
// --erase=image, --read, --boot-pin and --compare), then show the
// identifier, or test it, back the flash up into backup (--read, or a
// --range of it; null: none), compare it with the image and stop
// (--compare); otherwise lift read-out protection (--unprotect), make the
// boot-select pin count (--boot-pin; without it, where the module ignores
// the pin, stop a run that entered through the boot-select line, unless
// --leave-options, and warn one that did not), plan the writes in the part's
// flash words, erase and write, read back (--verify, or after faults of the
// line) and start the application (--go: at the image's lowest address, or
// without a firmware file at the flash start once the rest is done;
// facts.app_started once Go was acknowledged). The part is looked up in
// parts (null: the table alone). Prints what failed on standard error, and
// after a failure or stop that left the flash erased, that it is
// incomplete. Returns 0 on success, 1 when --compare found the flash
// different, -1 on failure.
int do_flash(ld_session *s, image *img, update_conf *conf, backup_target *backup,
             const part_catalog *parts);

// A session that acted on a block the flasher did not send whole (an
// acknowledgement beyond the blocks sent) may have erased or written flash
// outside the image: says so and returns -1, whatever flashed was; else
// returns flashed.
int report_stray_acts(const ld_session *s, int flashed);

#endif
