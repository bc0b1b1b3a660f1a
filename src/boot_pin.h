// The boot-select pin before an update: the warning, or the stop, where the
// module ignores it, and --boot-pin, which makes it count through the option
// bytes. The driver's side of option_bytes: prints on standard error.
#ifndef TARVION_BOOT_PIN_H
#define TARVION_BOOT_PIN_H

#include "device.h"
#include "loader.h"

// How a run meets a module that ignores its boot-select pin.
enum boot_pin_rule {
  BOOT_PIN_WARN,  // no boot-select line relied on: one line says so, the update goes on
  BOOT_PIN_STOP,  // entered through the boot-select line: the run stops before it writes
};

// Before the erase (or, after an unprotect that erased the flash, before the
// write: after_erase): on a part whose option area is known reads the option
// word (nothing is read on other parts). Where the module ignores its
// boot-select pin, or will once an application is in flash, WARN prints one
// line that says so and goes on; STOP prints what would happen, that the run
// stopped before the erase (or the write), and the two ways on: --boot-pin
// and --leave-options. A word that cannot be read: WARN goes on, and so
// does STOP where the read is refused (read-out protection, which refuses
// the erase too); otherwise STOP fails. Returns 0 to go on, -1 to stop:
// after a message, or silently with errno EINTR when the run was stopped.
int boot_pin_check(ld_session *s, const device_info &d, boot_pin_rule rule, bool after_erase);

// --boot-pin: makes the module's boot-select pin count before anything is
// erased. Reads the whole option area and refuses it unless every double
// word is a value and its complement; changes only nBOOT_SEL (cleared) or
// nSWBOOT0 (set) and writes the area back whole; then probes whether the
// module restarted, reads the area back and compares. A part whose pin
// always counts, or counts already, is left alone (said under verbose); a
// part whose option bytes the flasher does not know is refused before
// anything is sent. A change is said in one line, also without verbose: the
// old and the new option word, and that the change lasts. Says when it waits
// for a power cycle (the G07x boot loader 11.2). Returns 0 to go on with the
// update, -1 after a message.
int boot_pin_make_count(ld_session *s, const device_info &d, bool verbose);

#endif
