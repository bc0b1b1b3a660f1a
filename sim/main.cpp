// tarvion_module_sim: the module's ROM boot loader on a pseudo-terminal, so
// that the flasher can be run and tested without hardware.
#include <cstdio>
#include <string>

#include "options.h"
#include "simulator.h"

int main(int argc, char **argv) {
  sim::SimOptions opts;
  std::string err;
  int parsed = sim::parse_sim_options(argc, argv, opts, err);
  if (parsed == 1) {
    fputs(sim::usage_text(), stdout);
    return 0;
  }
  if (parsed < 0) {
    fprintf(stderr, "tarvion_module_sim: %s\n%s", err.c_str(), sim::usage_text());
    return 2;
  }
  sim::Simulator module(opts);
  if (module.setup(err) != 0) {
    fprintf(stderr, "tarvion_module_sim: %s\n", err.c_str());
    return 1;
  }
  // The path is the readiness signal: everything above is in place.
  printf("%s\n", module.slave_path().c_str());
  fflush(stdout);
  return module.run();
}
