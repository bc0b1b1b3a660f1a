// The option record's defaults, the help and version texts and the option
// pass (the table of options is options_table.cpp's).
#include "options.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "line.h"
#include "options_internal.h"
#include "util.h"

using namespace options_internal;

namespace {

const char kVersion[] = "2011_09b1";
const char kShortOptions[] = "hVd:b:r:s:F:i:vSf:";

// Every row of the table, whose size only options_table.cpp knows at
// compile time.
struct AllOptions {
  const OptionDesc *begin() const { return kOptions; }
  const OptionDesc *end() const { return kOptions + kOptionCount; }
};

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
  for (const OptionDesc &opt : AllOptions{}) {
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
  for (const OptionDesc &opt : AllOptions{}) {
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

void parser_install_oom_handler(void) {
  std::set_new_handler(_parser_out_of_memory);
}

void parser_init(update_conf *args_info) {
  for (const OptionDesc &opt : AllOptions{}) {
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
    const int c = getopt_long(argc, argv, kShortOptions, kLongOptions, &index);
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
