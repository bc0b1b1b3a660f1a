#include "config.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Whether a configuration file is used is decided from what the command line
// itself says: the file that --conffile names (or the default) and whether it
// asks for saving. Without a file to examine and without saving, the command
// line alone must name the firmware file.
static int decide_chkcfg(const update_conf *conf) {
  struct stat sbuf;
  const char *path = conf->conffile_arg ? conf->conffile_arg->c_str() : "";
  return stat(path, &sbuf) != 0 && !conf->saveconf_flag ? 1 : 0;
}

// Writes the record to its configuration file and ends the process: status 0
// when the file was written, 1 when it was not (the writer has said why).
// A file that exists and can be read keeps its options: they are read under
// the command line's, which take their place where given. A file with an
// error is left as it is (the reader has said why; status 1).
[[noreturn]] static void save_config(update_conf *conf) {
  const std::string path = conf->conffile_arg.value_or("");
  if (FILE *held = std::fopen(path.c_str(), "r")) {
    std::fclose(held);
    parser_configfile(path.c_str(), conf, 0, 0, 0);
  }
  // Neither the request to save nor the file's own name belong in the file.
  conf->saveconf_flag = 0;
  conf->saveconf_given = 0;
  conf->conffile_given = 0;
  int rc = parser_file_save(path.c_str(), conf);
  if (rc == 0) std::fprintf(stderr, "Configuration saved to %s\n", path.c_str());
  parser_free(conf);
  std::exit(rc == 0 ? 0 : 1);
}

int read_config(int argc, char **argv, update_conf *conf) {
  int ret = parser2(argc, argv, conf, 1, 1, 0);
  if (ret < 0) return ret;
  if (decide_chkcfg(conf)) {
    return parser_required(conf, argc > 0 && argv ? argv[0] : nullptr);
  }
  if (conf->saveconf_flag) save_config(conf);
  const std::string path = conf->conffile_arg.value_or("");
  return parser_configfile(path.c_str(), conf, 0, 0, 1);
}
