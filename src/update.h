// The flasher's run: configuration, image, port, target entry, flashing,
// target release, clean-up.
#ifndef TARVION_UPDATE_H
#define TARVION_UPDATE_H

#include "image.h"
#include "options.h"

// Exit statuses of a run.
constexpr int EXIT_FLASH_OK = 0;      // flashed (or identifier shown, or configuration saved)
constexpr int EXIT_BAD_OPTIONS = 1;   // option or configuration-file error
constexpr int EXIT_FLASH_FAILED = 2;  // sync, identifier, identifier test, erase or write
                                      // failed, or the reset line could not be released
constexpr int EXIT_DIFFERS = 3;       // --compare: the module's flash does not hold the file
constexpr int EXIT_CANT_OPEN = -1;    // image file or serial device cannot be opened (255)
// A run stopped by SIGINT, SIGTERM or SIGHUP ends with 128 + the signal number.

// The whole run; its result is the process exit status. First gives each of
// descriptors 0, 1 and 2 that is closed "/dev/null" (EXIT_CANT_OPEN, silently,
// when that fails), so that the serial port cannot take a standard stream's
// place.
int update_main(int argc, char **argv);

#endif
