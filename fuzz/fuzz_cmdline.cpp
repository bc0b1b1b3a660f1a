// Command lines through the option pass: the input is the argument vector
// after the program name, its arguments separated by NUL bytes. Arguments
// that could ask for help or the version (which end the process) are left
// out.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "options.h"

namespace {

int command_line_pass(std::vector<std::string> *args, update_conf *rec, int override,
                      int initialize, int check_required) {
  std::vector<char *> argv;
  for (std::string &a : *args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return parser_internal(static_cast<int>(args->size()), argv.data(), rec, override, initialize,
                         check_required, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> args{"tarvion_update"};
  const char *p = reinterpret_cast<const char *>(data);
  const char *end = p + size;
  while (p < end) {
    const char *nul = static_cast<const char *>(std::memchr(p, '\0', size_t(end - p)));
    const char *stop = nul ? nul : end;
    args.emplace_back(p, stop);
    p = nul ? nul + 1 : end;
  }
  fuzz_drop_exiting_args(&args);
  fuzz_option_passes(args, command_line_pass);
  return 0;
}
