#include "line_noise.h"

namespace sim {

LineNoise::LineNoise(const LineFaults &faults, Log &log)
    : faults_(faults),
      log_(log),
      rng_(faults.seed),
      flip_(faults.bit_error_rate),
      lose_(faults.loss_rate) {}

uint8_t LineNoise::random_flips(uint8_t b) {
  if (faults_.bit_error_rate <= 0) return b;
  for (int bit = 0; bit < 8; ++bit)
    if (flip_(rng_)) b ^= static_cast<uint8_t>(1u << bit);
  return b;
}

bool LineNoise::from_host(uint8_t &b) {
  ++from_count_;
  if (faults_.lose_byte.count(from_count_) || (faults_.loss_rate > 0 && lose_(rng_))) {
    log_.event("line lost " + hex_bytes({b}));
    return false;
  }
  uint8_t got = random_flips(b);
  const auto damage = faults_.damage_byte.find(from_count_);
  if (damage != faults_.damage_byte.end()) got ^= damage->second;
  if (got != b) log_.event("line damaged " + hex_bytes({b, got}));
  b = got;
  return true;
}

void LineNoise::to_host(std::vector<uint8_t> &bytes) {
  for (uint8_t &b : bytes) {
    ++to_count_;
    uint8_t got = random_flips(b);
    if (faults_.damage_reply.count(to_count_)) got ^= 0x01;
    if (got != b) log_.event("line damaged reply " + hex_bytes({b, got}));
    b = got;
  }
}

}  // namespace sim
