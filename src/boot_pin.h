// The boot-select pin before an update: the warning where the module
// ignores it, and --boot-pin, which makes it count through the option
// bytes. The driver's side of option_bytes: prints on standard error.
#ifndef TARVION_BOOT_PIN_H
#define TARVION_BOOT_PIN_H

#include "device.h"
#include "loader.h"

// Before the erase: on a part whose option area is known reads the option
// word (nothing is read on other parts) and, when the module ignores its
// boot-select pin or will once an application is in flash, prints one line
// that says so. A read that fails (read-out protection) says nothing.
void boot_pin_warn(ld_session *s, const device_info &d);

// --boot-pin: makes the module's boot-select pin count before anything is
// erased. Reads the whole option area and refuses it unless every double
// word is a value and its complement; changes only nBOOT_SEL (cleared) or
// nSWBOOT0 (set) and writes the area back whole; then probes whether the
// module restarted, reads the area back and compares. A part whose pin
// always counts, or counts already, is left alone (said under verbose); a
// part whose option bytes the flasher does not know is refused before
// anything is sent. Says when the change waits for a power cycle (the G07x
// boot loader 11.2). Returns 0 to go on with the update, -1 after a message.
int boot_pin_make_count(ld_session *s, const device_info &d, bool verbose);

#endif
