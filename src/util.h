// The timed wait, and small helpers shared by the modules.
#ifndef TARVION_UTIL_H
#define TARVION_UTIL_H

#include <sys/time.h>

// Waits up to `to` milliseconds for fh to become readable; with a negative fh
// it only sleeps. Returns > 0 when readable, 0 on time-out, -1 with errno set
// when the wait itself failed.
int wait_fh(int fh, int to);

// Fills tv with `ms` milliseconds.
void setup_tv(struct timeval *tv, int ms);

#endif
