// Configuration resolution: command line, configuration file, saving.
#ifndef TARVION_CONFIG_H
#define TARVION_CONFIG_H

#include "options.h"

int read_config(int argc, char **argv, update_conf *conf);

#endif
