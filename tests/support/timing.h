// Elapsed time for tests that bound a wait (a hang, never a measurement).
#ifndef TARVION_TIMING_H
#define TARVION_TIMING_H

#include <chrono>

namespace testsupport {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace testsupport

#endif
