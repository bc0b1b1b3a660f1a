// Monotonic time in seconds, shared by the scheduler and the log.
#ifndef TARVION_SIM_CLOCK_H
#define TARVION_SIM_CLOCK_H

#include <time.h>

namespace sim {

// Seconds on the monotonic clock.
inline double now_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace sim

#endif
