// The option record, its defaults, the help texts and the option pass.
#include "options.h"

#include <getopt.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "line.h"
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

}  // namespace options_internal

using namespace options_internal;

namespace {

const char kVersion[] = "2011_09b1";
const char kShortOptions[] = "hVd:b:r:s:F:i:vSf:";

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

constexpr std::array<option, kOptionCount + 1> kLongOptions = make_long_options();

// Out of memory: one line on standard error, the first time, then
// std::bad_alloc as if there were no handler, so that the run ends the phase
// it is in like any failure of that phase (update_main catches it). Printed
// with write, which needs no memory.
void _parser_out_of_memory() {
  static bool reported = false;
  static const char msg[] = "tarvion_update: out of memory\n";
  if (!reported) {
    reported = true;
    if (write(STDERR_FILENO, msg, sizeof msg - 1) < 0) {
      // Nothing left to report it with.
    }
  }
  throw std::bad_alloc();
}

const OptionDesc *_parser_find_letter(int c) {
  for (const OptionDesc &opt : kOptions) {
    if (opt.letter != 0 && opt.letter == c) return &opt;
  }
  return nullptr;
}

void _parser_print_duplicate(const OptionDesc &opt, const char *prog, const char *extra) {
  std::string msg = std::string(prog) + ": `--" + opt.name + "'";
  if (opt.letter != 0) msg += std::string(" (`-") + opt.letter + "')";
  msg += std::string(" option given more than once") + extra + "\n";
  std::fputs(msg.c_str(), stderr);
}

// A run without --file reads the flash (--read), shows the identifier
// (--showid) or what the module tells (--info), only makes the boot-select
// pin count (--boot-pin), or prints the table of parts (--list-parts).
bool file_or_what_replaces_it(const update_conf &rec) {
  return rec.file_given || rec.read_given || rec.showid_flag || rec.info_flag ||
         rec.boot_pin_flag || rec.list_parts_flag;
}

void _parser_print_required(const char *prog, const char *extra) {
  std::fprintf(stderr, "%s: '--file' ('-F') option required%s\n", prog, extra);
}

// Converts text as strtol with base 0 does, over the whole text. 64-bit
// arithmetic keeps 0xFFFFFFFF in reach where long has 32 bits. The field is
// written before the verdict (out-of-range values as the nearest limit).
int _parser_apply_number(const OptionDesc &opt, const char *prog, const char *text,
                         update_conf *rec) {
  long long v = 0;
  const int read = read_number(text, opt.lo, opt.hi, &v);
  // The pattern's bits are kept; values of INT32_MAX and below are unchanged.
  rec->*opt.value = static_cast<int>(static_cast<std::uint32_t>(v));
  if (read < 0) {
    std::fprintf(stderr, "%s: invalid numeric value: %s\n", prog, text);
    return 1;
  }
  rec->*opt.orig = text;
  return 0;
}

// A text with a fixed set of values must be one of them.
int _parser_apply_text(const OptionDesc &opt, const char *prog, const char *text,
                       update_conf *rec) {
  rec->*opt.text = text;
  rec->*opt.orig = text;
  if (opt.valid && !opt.valid(text)) {
    std::fprintf(stderr, "%s: invalid argument for option `--%s': %s (%s)\n", prog, opt.name, text,
                 opt.form);
    return 1;
  }
  if (!opt.choices) return 0;
  std::string allowed;
  for (const char *const *c = opt.choices; *c; ++c) {
    if (std::string(*c) == text) return 0;
    allowed += std::string(allowed.empty() ? "" : " or ") + "`" + *c + "'";
  }
  std::fprintf(stderr, "%s: invalid argument for option `--%s': %s (%s)\n", prog, opt.name, text,
               allowed.c_str());
  return 1;
}

// A target line: a number is read and kept exactly as a number option's;
// the other forms of a line leave the value alone and keep their text.
int _parser_apply_line(const OptionDesc &opt, const char *prog, const char *text,
                       update_conf *rec) {
  line_form form;
  if (line_parse(text, &form) < 0 || form.kind == LINE_SYSFS)
    return _parser_apply_number(opt, prog, text, rec);
  rec->*opt.orig = text;
  return 0;
}

int _parser_apply(const OptionDesc &opt, const char *prog, const char *extra, update_conf *rec,
                  update_conf *scratch, int override) {
  if (scratch->*opt.given) {
    _parser_print_duplicate(opt, prog, extra);
    return 1;
  }
  if (rec->*opt.given && !override) return 0;
  rec->*opt.given = 1;
  scratch->*opt.given = 1;
  const char *text = optarg ? optarg : "";
  if (opt.needs_text && *text == '\0') {
    std::fprintf(stderr, "%s: empty argument for option `--%s'%s\n", prog, opt.name, extra);
    return 1;
  }
  switch (opt.kind) {
    case Kind::Text:
      return _parser_apply_text(opt, prog, text, rec);
    case Kind::Number:
      return _parser_apply_number(opt, prog, text, rec);
    case Kind::Line:
      return _parser_apply_line(opt, prog, text, rec);
    case Kind::Flag:
      rec->*opt.value = rec->*opt.value == 0 ? 1 : 0;
      return 0;
    case Kind::Action:
      break;
  }
  return 0;
}

void parser_release(update_conf *rec) {
  for (const OptionDesc &opt : kOptions) {
    if (opt.text) rec->*opt.text = std::nullopt;
    if (opt.orig) rec->*opt.orig = std::nullopt;
    rec->*opt.given = 0;
  }
}

void _parser_print_lines(const char *const *lines) {
  parser_print_version();
  if (update_conf_purpose && update_conf_purpose[0] != '\0') {
    std::printf("\n%s\n", update_conf_purpose);
  }
  std::printf("\n%s\n\n", update_conf_usage);
  for (; *lines; ++lines) std::printf("%s\n", *lines);
}

}  // namespace

const char *update_conf_purpose = "tarvion_update is a simple firmware-flasher for Tarvion Modules";
const char *update_conf_usage = "Usage: tarvion_update [OPTIONS]...";
const char *const *const update_conf_help = kHelpLines.data();
const char *const *const update_conf_full_help = kFullHelpLines.data();

void parser_install_oom_handler(void) {
  std::set_new_handler(_parser_out_of_memory);
}

void parser_init(update_conf *args_info) {
  for (const OptionDesc &opt : kOptions) {
    args_info->*opt.given = 0;
    args_info->*opt.help_field = opt.help;
    if (opt.orig) args_info->*opt.orig = std::nullopt;
  }
  args_info->device_arg = "/dev/ttyS1";
  args_info->baudrate_arg = 115200;
  args_info->file_arg = std::nullopt;
  args_info->waitack_flag = 1;
  args_info->uart_flag = 1;
  args_info->showid_flag = 0;
  args_info->verbose_flag = 0;
  args_info->saveconf_flag = 0;
  args_info->conffile_arg = "/etc/tarvion_update.conf";
  args_info->address_arg = static_cast<int>(0x08000000u);
  args_info->verify_flag = 0;
  args_info->go_flag = 0;
  args_info->unprotect_flag = 0;
  args_info->erase_arg = "all";
  args_info->format_arg = "auto";
  args_info->read_arg = std::nullopt;
  args_info->progress_arg = "dots";
  args_info->boot_pin_flag = 0;
  args_info->info_flag = 0;
  args_info->leave_options_flag = 0;
  args_info->range_arg = std::nullopt;
  args_info->compare_flag = 0;
  args_info->parts_arg = std::nullopt;
  args_info->list_parts_flag = 0;
}

void parser_free(update_conf *args_info) {
  parser_release(args_info);
}

void parser_print_version(void) {
  std::printf("%s %s\n", kProgName, kVersion);
}

void parser_print_help(void) {
  _parser_print_lines(update_conf_help);
}

void parser_print_full_help(void) {
  _parser_print_lines(update_conf_full_help);
}

int parser_internal(int argc, char **argv, update_conf *args_info, int override, int initialize,
                    int check_required, const char *additional_error) {
  const char *prog = (argc > 0 && argv && argv[0]) ? argv[0] : kProgName;
  const char *extra = additional_error ? additional_error : "";
  if (initialize) parser_init(args_info);
  // Marks what this pass has applied, to catch an option given twice in it.
  update_conf scratch;
  parser_init(&scratch);

  // The scanner keeps its position between calls; optind 0 makes it start
  // over completely, also on a vector it has never seen.
  optarg = nullptr;
  optind = 0;
  opterr = 1;
  optopt = '?';
  // An empty vector holds no options (and the scanner may not be given null).
  while (argc > 1 && argv) {
    int index = 0;
    const int c = getopt_long(argc, argv, kShortOptions, kLongOptions.data(), &index);
    if (c == -1) break;
    if (c == '?') return 1;  // the scanner has said why
    const OptionDesc *opt = nullptr;
    if (c == 0 && index >= 0 && static_cast<std::size_t>(index) < kOptionCount) {
      opt = &kOptions[index];
    } else if (c != 0) {
      opt = _parser_find_letter(c);
    }
    if (!opt) {
      std::fprintf(stderr, "%s: option unknown: %c%s\n", kProgName, c, extra);
      parser_release(&scratch);
      std::abort();
    }
    if (opt->kind == Kind::Action) {
      opt->action();
      parser_release(&scratch);
      std::exit(0);
    }
    if (_parser_apply(*opt, prog, extra, args_info, &scratch, override) != 0) return 1;
  }
  // A port or file given without its option would be dropped, and the
  // default flashed instead.
  if (argc > 1 && argv && optind > 0 && optind < argc) {
    std::fprintf(stderr, "%s: unexpected argument '%s'%s\n", prog, argv[optind], extra);
    return 1;
  }
  if (check_required && !file_or_what_replaces_it(*args_info)) {
    _parser_print_required(prog, extra);
    return 1;
  }
  return 0;
}

int parser2(int argc, char **argv, update_conf *args_info, int override, int initialize,
            int check_required) {
  if (parser_internal(argc, argv, args_info, override, initialize, check_required, nullptr) != 0) {
    parser_free(args_info);
    std::exit(1);
  }
  return 0;
}

int parser(int argc, char **argv, update_conf *args_info) {
  return parser2(argc, argv, args_info, 0, 1, 1);
}

int parser_required(update_conf *args_info, const char *prog_name) {
  if (file_or_what_replaces_it(*args_info)) return 0;
  _parser_print_required(prog_name ? prog_name : kProgName, "");
  parser_free(args_info);
  std::exit(1);
}
