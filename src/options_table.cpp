// The option table: every option's names, help line, kind and record
// fields, and what is derived from it at compile time: the help texts and
// the scanner's long options.
#include <getopt.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "options.h"
#include "options_internal.h"
#include "util.h"

namespace options_internal {
namespace {

using U = update_conf;

constexpr std::int64_t kInt32Min = INT32_MIN;
constexpr std::int64_t kInt32Max = INT32_MAX;
constexpr std::int64_t kUint32Max = UINT32_MAX;

// What every row names: the option's names, help line and record fields.
constexpr OptionDesc row(const char *name, char letter, const char *help, Kind kind,
                         const char *U::*help_field, int U::*given) {
  OptionDesc opt;
  opt.name = name;
  opt.letter = letter;
  opt.help = help;
  opt.kind = kind;
  opt.help_field = help_field;
  opt.given = given;
  return opt;
}

// One builder per kind of option, so that a row names only the fields its
// kind uses.
constexpr OptionDesc action(const char *name, char letter, const char *help,
                            const char *U::*help_field, int U::*given, void (*fn)()) {
  OptionDesc opt = row(name, letter, help, Kind::Action, help_field, given);
  opt.action = fn;
  return opt;
}

constexpr OptionDesc text(const char *name, char letter, const char *help,
                          const char *U::*help_field, int U::*given, owned_text U::*arg,
                          owned_text U::*orig) {
  OptionDesc opt = row(name, letter, help, Kind::Text, help_field, given);
  opt.text = arg;
  opt.orig = orig;
  return opt;
}

// Numbers are read as strtol with base 0 reads them and must lie in lo..hi.
constexpr OptionDesc number(const char *name, char letter, const char *help,
                            const char *U::*help_field, int U::*given, int U::*arg,
                            owned_text U::*orig, std::int64_t lo = kInt32Min,
                            std::int64_t hi = kInt32Max) {
  OptionDesc opt = row(name, letter, help, Kind::Number, help_field, given);
  opt.value = arg;
  opt.orig = orig;
  opt.lo = lo;
  opt.hi = hi;
  return opt;
}

// A target line: a GPIO number as number() reads it, or one of the other
// forms line_parse takes, kept as text.
constexpr OptionDesc line(const char *name, char letter, const char *help,
                          const char *U::*help_field, int U::*given, int U::*arg,
                          owned_text U::*orig) {
  OptionDesc opt = number(name, letter, help, help_field, given, arg, orig);
  opt.kind = Kind::Line;
  return opt;
}

constexpr OptionDesc flag(const char *name, char letter, const char *help,
                          const char *U::*help_field, int U::*given, int U::*value) {
  OptionDesc opt = row(name, letter, help, Kind::Flag, help_field, given);
  opt.value = value;
  return opt;
}

// A text that must be one of the null-ended choices.
constexpr OptionDesc choice(const char *name, const char *help, const char *U::*help_field,
                            int U::*given, owned_text U::*arg, owned_text U::*orig,
                            const char *const *choices) {
  OptionDesc opt = text(name, 0, help, help_field, given, arg, orig);
  opt.choices = choices;
  return opt;
}

constexpr const char *kEraseModes[] = {"all", "image", nullptr};
constexpr const char *kFormats[] = {"auto", "ihex", "srec", "elf", "binary", nullptr};
constexpr const char *kProgressModes[] = {"dots", "percent", "none", nullptr};

// A text that must have a form, which valid tells (form names it in the
// message).
constexpr OptionDesc formed(const char *name, const char *help, const char *U::*help_field,
                            int U::*given, owned_text U::*arg, owned_text U::*orig,
                            bool (*valid)(const char *), const char *form) {
  OptionDesc opt = text(name, 0, help, help_field, given, arg, orig);
  opt.valid = valid;
  opt.form = form;
  return opt;
}

bool is_range(const char *text) {
  uint32_t addr = 0, len = 0;
  return read_range(text, &addr, &len) == 0;
}

// An empty argument is refused rather than read as 0 or as no name.
constexpr OptionDesc not_empty(OptionDesc opt) {
  opt.needs_text = true;
  return opt;
}

// The option is listed by --full-help only.
constexpr OptionDesc hidden(OptionDesc opt) {
  opt.hidden = true;
  return opt;
}

}  // namespace

constexpr OptionDesc kOptions[] = {
    action("help", 'h', "  -h, --help             Print help and exit", &U::help_help,
           &U::help_given, parser_print_help),
    action("full-help", 0,
           "      --full-help        Print help, including hidden options, and exit",
           &U::full_help_help, &U::full_help_given, parser_print_full_help),
    action("version", 'V', "  -V, --version          Print version and exit", &U::version_help,
           &U::version_given, parser_print_version),
    text("device", 'd',
         "  -d, --device=STRING    UART-device to use for communication  \n"
         "                           (default=`/dev/ttyS1')",
         &U::device_help, &U::device_given, &U::device_arg, &U::device_orig),
    // An empty number would read as 0: GPIO 0, a speed of 0.
    not_empty(number("baudrate", 'b', "  -b, --baudrate=INT     Baudrate  (default=`115200')",
                     &U::baudrate_help, &U::baudrate_given, &U::baudrate_arg, &U::baudrate_orig)),
    not_empty(line("resetpin", 'r', "  -r, --resetpin=INT     GPIO-Nr of the reset-pin",
                   &U::resetpin_help, &U::resetpin_given, &U::resetpin_arg, &U::resetpin_orig)),
    not_empty(line("bspin", 's', "  -s, --bspin=INT        GPIO-Nr of the bootselect-pin",
                   &U::bspin_help, &U::bspin_given, &U::bspin_arg, &U::bspin_orig)),
    text("file", 'F', "  -F, --file=STRING      Filename with ihex or binary contents to flash",
         &U::file_help, &U::file_given, &U::file_arg, &U::file_orig),
    hidden(flag("waitack", 0, "      --waitack          (Do not) wait for ack  (default=on)",
                &U::waitack_help, &U::waitack_given, &U::waitack_flag)),
    hidden(flag("uart", 0, "      --uart             Do no set up uart parameters  (default=on)",
                &U::uart_help, &U::uart_given, &U::uart_flag)),
    flag("showid", 0,
         "      --showid           Show the Detected device ID and exit  (default=off)",
         &U::showid_help, &U::showid_given, &U::showid_flag),
    // The expected identifier is a 32-bit pattern, so 0xFFFFFFFF is in reach.
    not_empty(number(
        "testid", 'i', "  -i, --testid=INT       Test wether the given id matches the device",
        &U::testid_help, &U::testid_given, &U::testid_arg, &U::testid_orig, kInt32Min, kUint32Max)),
    flag("verbose", 'v', "  -v, --verbose          Print verbose messages  (default=off)",
         &U::verbose_help, &U::verbose_given, &U::verbose_flag),
    flag("saveconf", 'S',
         "  -S, --saveconf         Save the actual configuration to a file  (default=off)",
         &U::saveconf_help, &U::saveconf_given, &U::saveconf_flag),
    text("conffile", 'f',
         "  -f, --conffile=STRING  The Configurationfile to use  \n"
         "                           (default=`/etc/tarvion_update.conf')",
         &U::conffile_help, &U::conffile_given, &U::conffile_arg, &U::conffile_orig),
    // Options of later versions: long names only, after the original ones.
    not_empty(number("address", 0,
                     "      --address=ADDR     Target address of a raw binary file  \n"
                     "                           (default=`0x08000000')",
                     &U::address_help, &U::address_given, &U::address_arg, &U::address_orig,
                     kInt32Min, kUint32Max)),
    flag("verify", 0,
         "      --verify           Read back and compare what was written  (default=off)",
         &U::verify_help, &U::verify_given, &U::verify_flag),
    flag("go", 0, "      --go               Start the application after flashing  (default=off)",
         &U::go_help, &U::go_given, &U::go_flag),
    flag("unprotect", 0,
         "      --unprotect        Lift read and write protection before erasing  \n"
         "                           (default=off)",
         &U::unprotect_help, &U::unprotect_given, &U::unprotect_flag),
    choice("erase",
           "      --erase=MODE       Erase `all' of the flash or only the `image' pages  \n"
           "                           (default=`all')",
           &U::erase_help, &U::erase_given, &U::erase_arg, &U::erase_orig, kEraseModes),
    choice("format",
           "      --format=FORMAT    Read the file as `auto', `ihex', `srec', `elf' or  \n"
           "                           `binary'  (default=`auto')",
           &U::format_help, &U::format_given, &U::format_arg, &U::format_orig, kFormats),
    not_empty(text("read", 0,
                   "      --read=FILE        Read the whole flash into FILE before any update",
                   &U::read_help, &U::read_given, &U::read_arg, &U::read_orig)),
    choice("progress",
           "      --progress=MODE    Progress display: `dots', `percent' or `none'  \n"
           "                           (default=`dots')",
           &U::progress_help, &U::progress_given, &U::progress_arg, &U::progress_orig,
           kProgressModes),
    flag("boot-pin", 0,
         "      --boot-pin         Make the module's boot-select pin count (option  \n"
         "                           bytes) before anything is erased  (default=off)",
         &U::boot_pin_help, &U::boot_pin_given, &U::boot_pin_flag),
    flag("info", 0,
         "      --info             Show what the module tells of itself and exit  \n"
         "                           (default=off)",
         &U::info_help, &U::info_given, &U::info_flag),
    flag("leave-options", 0,
         "      --leave-options    Flash even where the module ignores its boot-select  \n"
         "                           pin (option bytes left as they are)  (default=off)",
         &U::leave_options_help, &U::leave_options_given, &U::leave_options_flag),
    formed("range", "      --range=ADDR:LEN   Read only LEN bytes of the flash from ADDR (--read)",
           &U::range_help, &U::range_given, &U::range_arg, &U::range_orig, is_range,
           "ADDR:LEN, e.g. 0x08000000:16K"),
    flag("compare", 0,
         "      --compare          Compare the module's flash with the file, write  \n"
         "                           nothing  (default=off)",
         &U::compare_help, &U::compare_given, &U::compare_flag),
    not_empty(text("parts", 0,
                   "      --parts=FILE       Add or replace rows of the table of parts from FILE",
                   &U::parts_help, &U::parts_given, &U::parts_arg, &U::parts_orig)),
    flag("list-parts", 0,
         "      --list-parts       Print the table of parts and exit  (default=off)",
         &U::list_parts_help, &U::list_parts_given, &U::list_parts_flag),
};

constexpr std::size_t kOptionCount = sizeof kOptions / sizeof kOptions[0];

namespace {

using HelpLines = std::array<const char *, kOptionCount + 1>;

// The help lines in table order, then null entries; hidden options only
// with all.
constexpr HelpLines make_help_lines(bool all) {
  HelpLines lines{};
  std::size_t n = 0;
  for (const OptionDesc &opt : kOptions) {
    if (all || !opt.hidden) lines[n++] = opt.help;
  }
  return lines;
}

constexpr HelpLines kHelpLines = make_help_lines(false);
constexpr HelpLines kFullHelpLines = make_help_lines(true);

constexpr bool takes_argument(Kind kind) {
  return kind == Kind::Text || kind == Kind::Number || kind == Kind::Line;
}

constexpr std::array<option, kOptionCount + 1> make_long_options() {
  std::array<option, kOptionCount + 1> table{};
  for (std::size_t i = 0; i < kOptionCount; ++i) {
    table[i] = option{kOptions[i].name, takes_argument(kOptions[i].kind) ? 1 : 0, nullptr,
                      kOptions[i].letter};
  }
  return table;
}

constexpr std::array<option, kOptionCount + 1> kLongOptionTable = make_long_options();

}  // namespace

const option *const kLongOptions = kLongOptionTable.data();

}  // namespace options_internal

const char *const *const update_conf_help = options_internal::kHelpLines.data();
const char *const *const update_conf_full_help = options_internal::kFullHelpLines.data();
