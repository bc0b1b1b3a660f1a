// What the option pass (options.cpp), the option table (options_table.cpp)
// and the configuration-file reader and writer (options_file.cpp) share: the
// program name of the messages, the option table and the scanner's long
// options. Not for use outside the options module.
#ifndef TARVION_OPTIONS_INTERNAL_H
#define TARVION_OPTIONS_INTERNAL_H

#include <getopt.h>

#include <cstddef>
#include <cstdint>

#include "options.h"

namespace options_internal {

inline constexpr char kProgName[] = "tarvion_update";

// How the pass applies an option's argument. A new kind of argument is one
// more enumerator, a row builder and a case in the pass's apply step.
enum class Kind { Action, Text, Number, Line, Flag };

// One option of the record: its names, its help line, how the pass applies
// it and which fields of the record hold it. The rows are built by the
// builders in options_table.cpp, one per kind.
struct OptionDesc {
  const char *name = nullptr;
  char letter = 0;             // 0: long name only
  const char *help = nullptr;  // its line of the full help
  bool hidden = false;         // left out of --help
  bool needs_text = false;     // an empty argument is refused
  Kind kind = Kind::Action;
  const char *update_conf::*help_field = nullptr;
  int update_conf::*given = nullptr;
  owned_text update_conf::*text = nullptr;  // Text: the value
  owned_text update_conf::*orig = nullptr;  // Text, Number and Line: the argument text
  int update_conf::*value = nullptr;        // Number and Line: _arg; Flag: _flag
  std::int64_t lo = 0, hi = 0;              // Number and Line: the accepted range
  const char *const *choices = nullptr;     // Text: the accepted values, null-ended
  bool (*valid)(const char *) = nullptr;    // Text: whether a value has the form
  const char *form = nullptr;               // Text with valid: the form, for the message
  void (*action)() = nullptr;               // Action: prints, then the pass exits
};

// Every option, in the order of the help, the given marks and the writer.
extern const OptionDesc kOptions[];
extern const std::size_t kOptionCount;

// The table's options as getopt_long takes them, ended by a null entry.
extern const option *const kLongOptions;

}  // namespace options_internal

#endif
