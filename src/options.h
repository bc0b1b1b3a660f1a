// The option record, its defaults, the help texts, the command-line option
// pass (options.cpp) and the configuration-file reader and writer
// (options_file.cpp).
#ifndef TARVION_OPTIONS_H
#define TARVION_OPTIONS_H

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// An owned text that may be absent ("null").
using owned_text = std::optional<std::string>;

// The option record. For every option with an argument: the value (_arg),
// the argument text it came from (_orig), the help line (_help) and the
// given mark (_given, 0 or 1). Flags have _flag, _help and _given.
// Help pointers are borrowed from the static option table.
struct update_conf {
  const char *help_help = nullptr;
  const char *full_help_help = nullptr;
  const char *version_help = nullptr;
  owned_text device_arg;
  owned_text device_orig;
  const char *device_help = nullptr;
  int baudrate_arg = 0;
  owned_text baudrate_orig;
  const char *baudrate_help = nullptr;
  int resetpin_arg = 0;
  owned_text resetpin_orig;
  const char *resetpin_help = nullptr;
  int bspin_arg = 0;
  owned_text bspin_orig;
  const char *bspin_help = nullptr;
  owned_text file_arg;
  owned_text file_orig;
  const char *file_help = nullptr;
  int waitack_flag = 0;
  const char *waitack_help = nullptr;
  int uart_flag = 0;
  const char *uart_help = nullptr;
  int showid_flag = 0;
  const char *showid_help = nullptr;
  int testid_arg = 0;  // a 32-bit pattern; compare as unsigned
  owned_text testid_orig;
  const char *testid_help = nullptr;
  int verbose_flag = 0;
  const char *verbose_help = nullptr;
  int saveconf_flag = 0;
  const char *saveconf_help = nullptr;
  owned_text conffile_arg;
  owned_text conffile_orig;
  const char *conffile_help = nullptr;
  int address_arg = 0;  // a 32-bit address; compare as unsigned
  owned_text address_orig;
  const char *address_help = nullptr;
  int verify_flag = 0;
  const char *verify_help = nullptr;
  int go_flag = 0;
  const char *go_help = nullptr;
  int unprotect_flag = 0;
  const char *unprotect_help = nullptr;
  owned_text erase_arg;  // "all" or "image"
  owned_text erase_orig;
  const char *erase_help = nullptr;
  owned_text format_arg;  // "auto", "ihex", "srec", "elf" or "binary"
  owned_text format_orig;
  const char *format_help = nullptr;
  owned_text read_arg;  // the file the flash is read into
  owned_text read_orig;
  const char *read_help = nullptr;
  owned_text progress_arg;  // "dots", "percent" or "none"
  owned_text progress_orig;
  const char *progress_help = nullptr;
  int boot_pin_flag = 0;
  const char *boot_pin_help = nullptr;
  int info_flag = 0;
  const char *info_help = nullptr;
  int leave_options_flag = 0;
  const char *leave_options_help = nullptr;
  owned_text range_arg;  // "ADDR:LEN" of --read (util's read_range reads it)
  owned_text range_orig;
  const char *range_help = nullptr;
  int compare_flag = 0;
  const char *compare_help = nullptr;
  owned_text parts_arg;  // a parts file: rows the table of parts adds or replaces
  owned_text parts_orig;
  const char *parts_help = nullptr;
  int list_parts_flag = 0;
  const char *list_parts_help = nullptr;

  int help_given = 0;
  int full_help_given = 0;
  int version_given = 0;
  int device_given = 0;
  int baudrate_given = 0;
  int resetpin_given = 0;
  int bspin_given = 0;
  int file_given = 0;
  int waitack_given = 0;
  int uart_given = 0;
  int showid_given = 0;
  int testid_given = 0;
  int verbose_given = 0;
  int saveconf_given = 0;
  int conffile_given = 0;
  int address_given = 0;
  int verify_given = 0;
  int go_given = 0;
  int unprotect_given = 0;
  int erase_given = 0;
  int format_given = 0;
  int read_given = 0;
  int progress_given = 0;
  int boot_pin_given = 0;
  int info_given = 0;
  int leave_options_given = 0;
  int range_given = 0;
  int compare_given = 0;
  int parts_given = 0;
  int list_parts_given = 0;
};

extern const char *update_conf_purpose;
extern const char *update_conf_usage;
// The help lines in table order, ended by a null entry: 28 for --help, all
// 30 for --full-help.
extern const char *const *const update_conf_help;
extern const char *const *const update_conf_full_help;

// Installs the process's new-handler: memory that cannot be obtained prints
// "tarvion_update: out of memory" on standard error (once per process) and
// throws std::bad_alloc, which the run catches to end the phase it is in.
// Called once, at program entry.
void parser_install_oom_handler(void);

// Sets the defaults: clears the given marks, sets device, baud rate, the
// flags, conffile and the help pointers; resetpin, bspin and testid values
// are left alone. Changes nothing outside the record.
void parser_init(update_conf *args_info);

// Releases the record's owned texts (each becomes null) and clears the given
// marks; numbers, flags and help pointers stay.
void parser_free(update_conf *args_info);

void parser_print_version(void);
void parser_print_help(void);
void parser_print_full_help(void);

// One option pass over argv[1..argc-1] with no additional error text.
// Returns 0; on any option error releases the record and exits with status 1;
// help, full help and version print and exit with status 0.
int parser2(int argc, char **argv, update_conf *args_info, int override, int initialize,
            int check_required);

// parser2 with override 0, initialize 1, check_required 1.
int parser(int argc, char **argv, update_conf *args_info);

// Returns 0 when --file (or --read, --showid, --info, --boot-pin or
// --list-parts, which need no image) was given; otherwise reports it, releases the record and exits
// with status 1.
int parser_required(update_conf *args_info, const char *prog_name);

// The option pass itself: 0 on success, 1 on failure (what was applied before
// the failure stays in args_info). Help, full help and version exit from
// inside it. additional_error may be null. Used by the configuration-file
// reader; not for the driver.
// Numbers are read as strtol with base 0 reads them and must use the whole
// text and fit 32 bits signed; --testid takes -2147483648 .. 0xFFFFFFFF and
// keeps the 32-bit pattern in testid_arg. --baudrate, --resetpin, --bspin,
// --testid, --address, --read and --parts refuse an empty text ("<prog>:
// empty argument for option `--read'" and the additional error text);
// --range refuses a text that is not ADDR:LEN ("<prog>: invalid argument for
// option `--range': X (ADDR:LEN, e.g. 0x08000000:16K)"). With check_required
// the pass fails unless --file, --read, --showid, --info, --boot-pin or
// --list-parts was given.
int parser_internal(int argc, char **argv, update_conf *args_info, int override, int initialize,
                    int check_required, const char *additional_error);

// Reads the configuration file into the record through one option pass.
// Returns 0; on any error releases the record and exits with status 1.
int parser_configfile(const char *filename, update_conf *args_info, int override, int initialize,
                      int check_required);

// The reader's two steps, which parser_configfile runs and then ends the
// process on failure; neither ends it itself (but see parser_internal).
//
// Reads configuration lines from file up to its end and appends to args one
// argument per option line, as the command line would carry it ("--name=
// value", "-xvalue", "--flag"). path names the file in the messages. Returns
// 0, or 1 after a message on standard error: a line past 2047 characters, an
// unterminated or malformed string, a failed read.
int parser_config_collect(FILE *file, const char *path, std::vector<std::string> *args);

// Runs the option pass over args (args[0] is the program name) with " in
// configuration file <path>" as the additional error text and returns its
// result: 0, or 1 after its message. Help, full help and version lines print
// and exit as on the command line.
int parser_config_apply(std::vector<std::string> *args, const char *path, update_conf *args_info,
                        int override, int initialize, int check_required);

// Writes every given option of the record to filename, replacing the file
// whole: written beside it and renamed onto it, keeping its mode (see
// WholeFile; a device or a FIFO is written as it is). Returns 0 when the
// file was written, 1 (after a message on standard error) otherwise: when
// the file cannot be opened, written or closed, or when a text cannot be
// stored so that the reader gives it back (both kinds of quote, a line
// break, a line past 2047 characters); a regular file is then left as it
// was.
int parser_file_save(const char *filename, update_conf *args_info);

#endif
