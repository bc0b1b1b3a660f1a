// The faults of a real cable: bytes from the host damaged or lost, bytes to
// the host damaged, chosen by their number or at random with a seed.
#ifndef TARVION_SIM_LINE_NOISE_H
#define TARVION_SIM_LINE_NOISE_H

#include <cstdint>
#include <random>
#include <vector>

#include "log.h"
#include "options.h"

namespace sim {

class LineNoise {
 public:
  LineNoise(const LineFaults &faults, Log &log);

  // Turns the next byte from the host into what arrives. Returns false when
  // it is lost on the way. Each fault is logged ("line lost 7f", "line
  // damaged 7f 7e").
  bool from_host(uint8_t &b);

  // Damages bytes on their way to the host ("line damaged reply 79 78").
  void to_host(std::vector<uint8_t> &bytes);

 private:
  uint8_t random_flips(uint8_t b);

  const LineFaults &faults_;
  Log &log_;
  uint64_t from_count_ = 0;
  uint64_t to_count_ = 0;
  std::mt19937_64 rng_;
  std::bernoulli_distribution flip_;
  std::bernoulli_distribution lose_;
};

}  // namespace sim

#endif
