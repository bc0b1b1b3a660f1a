// The configuration file: the reader, which turns its lines into arguments
// for the option pass, and the writer, which stores the given options of a
// record so that the reader gives them back.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "options_internal.h"
#include "whole_file.h"

namespace {

using options_internal::kOptions;
using options_internal::kProgName;
using options_internal::OptionDesc;

// A configuration line holds at most this many characters before its line
// feed; the writer keeps to the same bound so that it never writes a line
// the reader refuses.
const std::size_t kMaxLine = 2047;

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
      std::fprintf(stderr, "%s:%s:%lld: %s string in configuration file\n", kProgName, path, lineno,
                   r == LineParse::Unterminated ? "unterminated" : "malformed");
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
  for (std::size_t i = 0; i < options_internal::kOptionCount; ++i) {
    const OptionDesc &opt = kOptions[i];
    if (!(args_info->*opt.given)) continue;
    if (opt.orig && args_info->*opt.orig) {
      if (_conf_append_text(path, opt.name, *(args_info->*opt.orig), &content) != 0) return 1;
    } else {
      content += std::string(opt.name) + "\n";
    }
  }
  // Replaced whole, keeping its mode: a failed write leaves the file as it was.
  WholeFile out;
  if (out.open(path, WHOLE_KEEP_MODE) < 0) {
    std::fprintf(stderr, "%s: cannot open file for writing: %s\n", kProgName, path);
    return 1;
  }
  if (out.write(content.data(), content.size(), nullptr) < 0 || out.commit() < 0) {
    std::fprintf(stderr, "%s: error writing file %s: %s\n", kProgName, path, std::strerror(errno));
    return 1;
  }
  return 0;
}
