// Configuration files through the reader's two steps: the lines turned into
// arguments, then the option pass over them as parser_configfile runs it.
// Lines that could ask for help or the version (which end the process) are
// left out of the pass.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "options.h"

namespace {

const char kPath[] = "fuzz.conf";

int conffile_pass(std::vector<std::string> *args, update_conf *rec, int override, int initialize,
                  int check_required) {
  return parser_config_apply(args, kPath, rec, override, initialize, check_required);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static MemFile file;
  file.assign(data, size);
  FILE *in = std::fopen(file.path(), "r");
  FUZZ_CHECK(in);
  std::vector<std::string> args{"tarvion_update"};
  const int collected = parser_config_collect(in, kPath, &args);
  std::fclose(in);
  FUZZ_CHECK(collected == 0 || collected == 1);
  if (collected != 0) return 0;
  // One argument per option line, each an option as the command line writes it.
  for (size_t i = 1; i < args.size(); ++i) FUZZ_CHECK(args[i][0] == '-');
  fuzz_drop_exiting_args(&args);
  fuzz_option_passes(args, conffile_pass);
  return 0;
}
