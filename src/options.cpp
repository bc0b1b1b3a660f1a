#include "options.h"

#include <getopt.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

const char kProgName[] = "tarvion_update";
const char kVersion[] = "2011_09b1";
const char kShortOptions[] = "hVd:b:r:s:F:i:vSf:";

// A configuration line holds at most this many characters before its line
// feed; the writer keeps to the same bound so that it never writes a line
// the reader refuses.
const std::size_t kMaxLine = 2047;

const char kHelpHelp[] = "  -h, --help             Print help and exit";
const char kHelpFullHelp[] =
    "      --full-help        Print help, including hidden options, and exit";
const char kHelpVersion[] = "  -V, --version          Print version and exit";
const char kHelpDevice[] =
    "  -d, --device=STRING    UART-device to use for communication  \n"
    "                           (default=`/dev/ttyS1')";
const char kHelpBaudrate[] = "  -b, --baudrate=INT     Baudrate  (default=`115200')";
const char kHelpResetpin[] = "  -r, --resetpin=INT     GPIO-Nr of the reset-pin";
const char kHelpBspin[] = "  -s, --bspin=INT        GPIO-Nr of the bootselect-pin";
const char kHelpFile[] = "  -F, --file=STRING      Filename with ihex or binary contents to flash";
const char kHelpWaitack[] = "      --waitack          (Do not) wait for ack  (default=on)";
const char kHelpUart[] = "      --uart             Do no set up uart parameters  (default=on)";
const char kHelpShowid[] =
    "      --showid           Show the Detected device ID and exit  (default=off)";
const char kHelpTestid[] = "  -i, --testid=INT       Test wether the given id matches the device";
const char kHelpVerbose[] = "  -v, --verbose          Print verbose messages  (default=off)";
const char kHelpSaveconf[] =
    "  -S, --saveconf         Save the actual configuration to a file  (default=off)";
const char kHelpConffile[] =
    "  -f, --conffile=STRING  The Configurationfile to use  \n"
    "                           (default=`/etc/tarvion_update.conf')";

}  // namespace

const char *update_conf_purpose = "tarvion_update is a simple firmware-flasher for Tarvion Modules";
const char *update_conf_usage = "Usage: tarvion_update [OPTIONS]...";

const char *update_conf_full_help[] = {
    kHelpHelp,    kHelpFullHelp, kHelpVersion, kHelpDevice,  kHelpBaudrate,
    kHelpResetpin, kHelpBspin,   kHelpFile,    kHelpWaitack, kHelpUart,
    kHelpShowid,  kHelpTestid,   kHelpVerbose, kHelpSaveconf, kHelpConffile,
    nullptr,
};

const char *update_conf_help[] = {
    kHelpHelp,   kHelpFullHelp, kHelpVersion, kHelpDevice,   kHelpBaudrate,
    kHelpResetpin, kHelpBspin,  kHelpFile,    kHelpShowid,   kHelpTestid,
    kHelpVerbose, kHelpSaveconf, kHelpConffile, nullptr,
};

namespace {

enum class Kind { Action, Text, Number, Flag };

// One option of the record: how the pass applies it and which fields hold it.
struct OptionDesc {
  const char *name;
  char letter;                        // 0: long name only
  Kind kind;
  const char *update_conf::*help;
  int update_conf::*given;
  owned_text update_conf::*text;      // Text: the value
  owned_text update_conf::*orig;      // Text and Number: the argument text
  int update_conf::*value;            // Number: _arg; Flag: _flag
  bool pattern32;                     // Number taken as a 32-bit pattern
  void (*action)();                   // Action: prints, then the pass exits
};

using U = update_conf;

// Table order is the order of the help, the given marks and the writer.
constexpr OptionDesc kOptions[] = {
    {"help", 'h', Kind::Action, &U::help_help, &U::help_given, nullptr, nullptr, nullptr, false,
     parser_print_help},
    {"full-help", 0, Kind::Action, &U::full_help_help, &U::full_help_given, nullptr, nullptr,
     nullptr, false, parser_print_full_help},
    {"version", 'V', Kind::Action, &U::version_help, &U::version_given, nullptr, nullptr, nullptr,
     false, parser_print_version},
    {"device", 'd', Kind::Text, &U::device_help, &U::device_given, &U::device_arg,
     &U::device_orig, nullptr, false, nullptr},
    {"baudrate", 'b', Kind::Number, &U::baudrate_help, &U::baudrate_given, nullptr,
     &U::baudrate_orig, &U::baudrate_arg, false, nullptr},
    {"resetpin", 'r', Kind::Number, &U::resetpin_help, &U::resetpin_given, nullptr,
     &U::resetpin_orig, &U::resetpin_arg, false, nullptr},
    {"bspin", 's', Kind::Number, &U::bspin_help, &U::bspin_given, nullptr, &U::bspin_orig,
     &U::bspin_arg, false, nullptr},
    {"file", 'F', Kind::Text, &U::file_help, &U::file_given, &U::file_arg, &U::file_orig, nullptr,
     false, nullptr},
    {"waitack", 0, Kind::Flag, &U::waitack_help, &U::waitack_given, nullptr, nullptr,
     &U::waitack_flag, false, nullptr},
    {"uart", 0, Kind::Flag, &U::uart_help, &U::uart_given, nullptr, nullptr, &U::uart_flag, false,
     nullptr},
    {"showid", 0, Kind::Flag, &U::showid_help, &U::showid_given, nullptr, nullptr,
     &U::showid_flag, false, nullptr},
    {"testid", 'i', Kind::Number, &U::testid_help, &U::testid_given, nullptr, &U::testid_orig,
     &U::testid_arg, true, nullptr},
    {"verbose", 'v', Kind::Flag, &U::verbose_help, &U::verbose_given, nullptr, nullptr,
     &U::verbose_flag, false, nullptr},
    {"saveconf", 'S', Kind::Flag, &U::saveconf_help, &U::saveconf_given, nullptr, nullptr,
     &U::saveconf_flag, false, nullptr},
    {"conffile", 'f', Kind::Text, &U::conffile_help, &U::conffile_given, &U::conffile_arg,
     &U::conffile_orig, nullptr, false, nullptr},
};

constexpr std::size_t kOptionCount = sizeof kOptions / sizeof kOptions[0];
static_assert(kOptionCount + 1 == sizeof update_conf_full_help / sizeof update_conf_full_help[0],
              "one help line per option");

constexpr bool takes_argument(Kind kind) { return kind == Kind::Text || kind == Kind::Number; }

constexpr std::array<option, kOptionCount + 1> make_long_options() {
  std::array<option, kOptionCount + 1> table{};
  for (std::size_t i = 0; i < kOptionCount; ++i) {
    table[i] = option{kOptions[i].name, takes_argument(kOptions[i].kind) ? 1 : 0, nullptr,
                      kOptions[i].letter};
  }
  return table;
}

constexpr std::array<option, kOptionCount + 1> kLongOptions = make_long_options();

// Memory for the option texts is small; when even that cannot be had there
// is nothing sensible to go on with, so the process ends with one line
// rather than an uncaught exception.
void _parser_out_of_memory() {
  static bool entered = false;
  static const char msg[] = "tarvion_update: out of memory\n";
  if (entered) _exit(1);  // exit handlers that allocate must not loop here
  entered = true;
  if (write(STDERR_FILENO, msg, sizeof msg - 1) < 0) {
    // Nothing left to report it with.
  }
  std::exit(1);
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

// Converts text as strtol with base 0 does, over the whole text. 64-bit
// arithmetic keeps 0xFFFFFFFF in reach where long has 32 bits. The field is
// written before the verdict (out-of-range values as the nearest limit).
int _parser_apply_number(const OptionDesc &opt, const char *prog, const char *text,
                         update_conf *rec) {
  const long long lo = INT32_MIN;
  const long long hi = opt.pattern32 ? static_cast<long long>(UINT32_MAX) : INT32_MAX;
  char *end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 0);
  const bool in_range = errno != ERANGE && v >= lo && v <= hi;
  v = v < lo ? lo : (v > hi ? hi : v);
  // The pattern's bits are kept; values of INT32_MAX and below are unchanged.
  rec->*opt.value = static_cast<int>(static_cast<std::uint32_t>(v));
  if (*end != '\0' || !in_range) {
    std::fprintf(stderr, "%s: invalid numeric value: %s\n", prog, text);
    return 1;
  }
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
  switch (opt.kind) {
    case Kind::Text:
      rec->*opt.text = text;
      rec->*opt.orig = text;
      return 0;
    case Kind::Number:
      return _parser_apply_number(opt, prog, text, rec);
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

void parser_init(update_conf *args_info) {
  std::set_new_handler(_parser_out_of_memory);
  for (std::size_t i = 0; i < kOptionCount; ++i) {
    const OptionDesc &opt = kOptions[i];
    args_info->*opt.given = 0;
    args_info->*opt.help = update_conf_full_help[i];
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
}

void parser_free(update_conf *args_info) { parser_release(args_info); }

void parser_print_version(void) { std::printf("%s %s\n", kProgName, kVersion); }

void parser_print_help(void) { _parser_print_lines(update_conf_help); }

void parser_print_full_help(void) { _parser_print_lines(update_conf_full_help); }

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
  if (check_required && !args_info->file_given) {
    std::fprintf(stderr, "%s: '--file' ('-F') option required%s\n", prog, extra);
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
  if (args_info->file_given) return 0;
  std::fprintf(stderr, "%s: '--file' ('-F') option required%s\n", prog_name ? prog_name : kProgName,
               "");
  parser_free(args_info);
  std::exit(1);
}

// ---------------------------------------------------------------------------
// The configuration file.

namespace {

const char kBlanks[] = " \t\r\n";

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

enum class LineRead { End, Line, TooLong };

// Reads one line without its line feed. Stops at the first character past
// the limit, so an endless line costs no memory.
LineRead _conf_read_line(FILE *f, std::string *line) {
  line->clear();
  int c = std::getc(f);
  if (c == EOF) return LineRead::End;
  for (; c != EOF && c != '\n'; c = std::getc(f)) {
    if (line->size() == kMaxLine) return LineRead::TooLong;
    line->push_back(static_cast<char>(c));
  }
  return LineRead::Line;
}

enum class LineParse { Skip, Arg, Unterminated, Malformed };

std::size_t _conf_skip(const std::string &s, std::size_t i, const char *set) {
  const std::size_t n = s.find_first_not_of(set, i);
  return n == std::string::npos ? s.size() : n;
}

std::size_t _conf_find(const std::string &s, std::size_t i, const char *set) {
  const std::size_t n = s.find_first_of(set, i);
  return n == std::string::npos ? s.size() : n;
}

// Reads the value at pos into *value; *trailer becomes the position where
// only blanks and a comment may follow (npos: nothing left to test).
LineParse _conf_read_value(const std::string &line, std::size_t pos, std::string *value,
                           std::size_t *trailer) {
  *trailer = std::string::npos;
  if (pos < line.size() && (line[pos] == '"' || line[pos] == '\'')) {
    const std::size_t close = line.find(line[pos], pos + 1);
    if (close == std::string::npos) return LineParse::Unterminated;
    value->assign(line, pos + 1, close - pos - 1);
    *trailer = close + 1;
    return LineParse::Arg;
  }
  const std::size_t end = _conf_find(line, pos, " \t\r\n#'\"");
  value->assign(line, pos, end - pos);
  if (end < line.size() && line[end] != '#') *trailer = end + 1;
  return LineParse::Arg;
}

// Turns one line into one argument as the command line would carry it.
LineParse _conf_parse_line(const std::string &line, std::string *arg) {
  std::size_t pos = _conf_skip(line, 0, kBlanks);
  if (pos == line.size() || line[pos] == '#') return LineParse::Skip;
  const std::size_t name_end = _conf_find(line, pos, " \t\r\n=");
  const std::string name = line.substr(pos, name_end - pos);
  std::string value;
  bool equals = false;
  if (name_end < line.size()) {
    equals = line[name_end] == '=';
    pos = _conf_skip(line, name_end + 1, kBlanks);
    if (!equals && pos < line.size() && line[pos] == '=') {
      equals = true;
      pos = _conf_skip(line, pos + 1, kBlanks);
    }
    std::size_t trailer = 0;
    const LineParse r = _conf_read_value(line, pos, &value, &trailer);
    if (r != LineParse::Arg) return r;
    if (trailer != std::string::npos) {
      trailer = _conf_skip(line, trailer, kBlanks);
      if (trailer < line.size() && line[trailer] != '#') return LineParse::Malformed;
    }
  }
  if (name.size() <= 1) {
    *arg = "-" + name + value;
  } else {
    *arg = "--" + name + (value.empty() && !equals ? "" : "=") + value;
  }
  return LineParse::Arg;
}

}  // namespace

int parser_config_collect(FILE *file, const char *path, std::vector<std::string> *args) {
  std::string line;
  std::string arg;
  long long lineno = 0;
  for (;;) {
    const LineRead got = _conf_read_line(file, &line);
    if (got == LineRead::End) break;
    ++lineno;
    if (got == LineRead::TooLong) {
      std::fprintf(stderr, "%s:%s:%lld: Line too long in configuration file\n", kProgName, path,
                   lineno);
      return 1;
    }
    // The line is text: a NUL byte ends it.
    line.resize(std::strlen(line.c_str()));
    const LineParse r = _conf_parse_line(line, &arg);
    if (r == LineParse::Unterminated || r == LineParse::Malformed) {
      std::fprintf(stderr, "%s:%s:%lld: %s string in configuration file\n", kProgName, path,
                   lineno, r == LineParse::Unterminated ? "unterminated" : "malformed");
      return 1;
    }
    if (r == LineParse::Arg) {
      if (args->size() >= static_cast<std::size_t>(INT_MAX)) {
        std::fprintf(stderr, "%s:%s:%lld: too many options in configuration file\n", kProgName,
                     path, lineno);
        return 1;
      }
      args->push_back(arg);
    }
  }
  if (std::ferror(file)) {
    std::fprintf(stderr, "%s: Error reading configuration file '%s': %s\n", kProgName, path,
                 std::strerror(errno));
    return 1;
  }
  return 0;
}

int parser_config_apply(std::vector<std::string> *args, const char *path, update_conf *args_info,
                        int override, int initialize, int check_required) {
  std::vector<char *> argv;
  argv.reserve(args->size() + 1);
  for (std::string &a : *args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  const std::string extra = std::string(" in configuration file ") + path;
  return parser_internal(static_cast<int>(args->size()), argv.data(), args_info, override,
                         initialize, check_required, extra.c_str());
}

namespace {

// Everything the reader holds lives in this frame, so it is gone by the time
// the caller ends the process.
int _conf_read(const char *path, update_conf *args_info, int override, int initialize,
               int check_required) {
  std::vector<std::string> args{kProgName};
  {
    FilePtr file(std::fopen(path, "r"));
    if (!file) {
      std::fprintf(stderr, "%s: Error opening configuration file '%s'\n", kProgName, path);
      return 1;
    }
    if (parser_config_collect(file.get(), path, &args) != 0) return 1;
  }
  return parser_config_apply(&args, path, args_info, override, initialize, check_required);
}

// Appends "name=<quoted text>\n", quoted so that the reader gives back the
// text unchanged. Returns 0, or 1 after a message when no quoting can.
int _conf_append_text(const char *path, const char *name, const std::string &text,
                      std::string *out) {
  const bool has_dq = text.find('"') != std::string::npos;
  const bool has_sq = text.find('\'') != std::string::npos;
  const char *why = nullptr;
  if (has_dq && has_sq) {
    why = "its text holds both kinds of quote";
  } else if (text.find('\n') != std::string::npos) {
    why = "its text holds a line break";
  } else if (text.find('\0') != std::string::npos) {
    why = "its text holds a NUL character";
  }
  const char quote = has_dq ? '\'' : '"';
  const std::string line = std::string(name) + "=" + quote + text + quote;
  if (!why && line.size() > kMaxLine) why = "its line would be longer than 2047 characters";
  if (why) {
    std::fprintf(stderr, "%s: cannot save option `--%s' to %s: %s\n", kProgName, name, path, why);
    return 1;
  }
  *out += line + "\n";
  return 0;
}

}  // namespace

int parser_configfile(const char *filename, update_conf *args_info, int override, int initialize,
                      int check_required) {
  const char *path = filename ? filename : "";
  if (_conf_read(path, args_info, override, initialize, check_required) != 0) {
    parser_free(args_info);
    std::exit(1);
  }
  return 0;
}

int parser_file_save(const char *filename, update_conf *args_info) {
  const char *path = filename ? filename : "";
  // The whole content is checked before the file is touched, so a record
  // that cannot be stored leaves an existing file as it was.
  std::string content;
  for (const OptionDesc &opt : kOptions) {
    if (!(args_info->*opt.given)) continue;
    if (opt.orig && args_info->*opt.orig) {
      if (_conf_append_text(path, opt.name, *(args_info->*opt.orig), &content) != 0) return 1;
    } else {
      content += std::string(opt.name) + "\n";
    }
  }
  FILE *f = std::fopen(path, "w");
  if (!f) {
    std::fprintf(stderr, "%s: cannot open file for writing: %s\n", kProgName, path);
    return 1;
  }
  bool failed = std::fwrite(content.data(), 1, content.size(), f) != content.size() ||
                std::fflush(f) != 0;
  int err = errno;
  if (std::fclose(f) != 0 && !failed) {
    failed = true;
    err = errno;
  }
  if (failed) {
    std::fprintf(stderr, "%s: error writing file %s: %s\n", kProgName, path, std::strerror(err));
    return 1;
  }
  return 0;
}
