// GPIO lines and LEDs through the kernel's sysfs interface.
//
// Every operation builds the path it needs, opens the file, writes or reads
// and closes it again; nothing is kept between calls. The files live under
// "/sys"; when the environment variable TARVION_SYSFS names a directory (is
// set and not empty) that directory takes the place of "/sys", read anew at
// each call, so a test or the simulated module can stand in for the kernel.
//
// export, unexport and a line's direction are written as by a stream opened
// with mode "w" (created when missing, truncated); value and brightness files
// are opened only as they exist. A stand-in FIFO that has no reader is waited
// for at most half a second, then counts as a file that cannot be opened
// (ENXIO), so nothing blocks for ever. A value the kernel refuses fails
// set_gpio; a refused export, unexport or brightness goes unnoticed, and a
// refused direction or initial value fails init_gpio only with GPIO_STRICT.
#ifndef TARVION_GPIO_H
#define TARVION_GPIO_H

constexpr int GPIO_OUTPUT = 1;    // make the line an output and give it its value
constexpr int GPIO_HIGH = 2;      // initial value of an output is 1
constexpr int GPIO_NODIR_OK = 4;  // a missing direction file is no error
constexpr int GPIO_VERBOSE = 8;   // report a direction file that cannot be opened
constexpr int GPIO_STRICT = 16;   // a refused direction or initial value fails init_gpio

// Makes line `pin` usable: exports it unless its value file already exists,
// writes "out\n" (GPIO_OUTPUT) or "in\n" to its direction file, and gives an
// output its initial value (1 with GPIO_HIGH, else 0) through set_gpio.
// Returns 0, or -1 with errno from the failed open when the export file
// cannot be opened ("Can't open exportfile: %s\n" on stderr, always) or the
// direction file cannot be opened ("Can't open direction for pin %i: %s\n"
// only with GPIO_VERBOSE). A direction file that does not exist (ENOENT) is
// skipped with GPIO_NODIR_OK. A failing initial value is reported by set_gpio
// but leaves the result 0, unless GPIO_STRICT makes it -1 (errno as set_gpio
// left it); with GPIO_STRICT a direction file that refuses the text is -1
// too, always reported ("Can't set direction for pin %i: %s\n").
int init_gpio(int pin, int flags);

// Writes '1' (val non-zero) or '0', one byte without line end, to line nr's
// value file. Returns 0, or -1 with errno from open when the value file
// cannot be opened ("Can't open gpio%i's value: %s\n" on stderr), or from
// the write when the file refuses the byte ("Can't write gpio%i's value:
// %s\n"; EIO when it takes none of it without an error).
int set_gpio(int nr, int val);

// Returns the code of the first character of line nr's value file (48 for
// '0', 49 for '1'). Returns -1 with errno from open when the file cannot be
// opened ("Can't open gpio%i's value: %s\n" on stderr); -1 without a message
// when no character can be read (errno from read, or ENODATA at end of file).
int get_gpio(int nr);

// Unexports line `pin` (writes "%i\n" to the unexport file). When that file
// cannot be opened prints "Can't open unexport-file: %s\n"; errno then holds
// the cause.
void destroy_gpio(int pin);

// Whether the sysfs GPIO class directory ("/sys/class/gpio", under
// TARVION_SYSFS when set) exists; kernels built without sysfs GPIO lack it.
bool gpio_sysfs_present();

// Writes brightness `val` as "%i\n" to the LED named leds[idx] (leds holds
// `max` entries). Returns 0; 1 when there is no LED at that index: idx
// outside 0..max-1, leds or the entry null or empty, or a name that would
// leave the LED directory ("." or "..", or containing '/'); -1 with errno from
// open, silently, when the brightness file cannot be opened.
int set_led_idx(int idx, int max, char **leds, int val);

#endif
