#include "image_layout.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

constexpr uint64_t kAddressSpace = uint64_t(1) << 32;

// A chunk's bytes in 64-bit addresses, so that no sum wraps.
struct Span {
  uint64_t start, end;
  const unsigned char *data;
};

// Consecutive bytes of the image, with a mark per byte the image sets: the
// marks tell padding from data when a later record overlaps.
struct Run {
  uint64_t start = 0;
  std::vector<unsigned char> bytes, set;
  uint64_t end() const { return start + bytes.size(); }
};

uint64_t align_down(uint64_t a, uint64_t unit) {
  return a & ~(unit - 1);
}
uint64_t align_up(uint64_t a, uint64_t unit) {
  return align_down(a + unit - 1, unit);
}

int fail(plan_fault why, uint64_t addr, plan_fault *fault, uint32_t *where, write_plan *plan) {
  if (fault) *fault = why;
  if (where) *where = static_cast<uint32_t>(addr);
  plan->fragments.clear();
  errno = EINVAL;
  return -1;
}

// Adds a span to the run; returns the first address whose value the run
// already holds differently, or kAddressSpace when there is none.
uint64_t merge(Run &run, const Span &s) {
  if (s.end > run.end()) {
    const size_t n = static_cast<size_t>(s.end - run.start);
    run.bytes.resize(n, 0xFF);
    run.set.resize(n, 0);
  }
  for (uint64_t a = s.start; a < s.end; ++a) {
    const size_t i = static_cast<size_t>(a - run.start);
    const unsigned char v = s.data[a - s.start];
    if (run.set[i] && run.bytes[i] != v) return a;
    run.bytes[i] = v;
    run.set[i] = 1;
  }
  return kAddressSpace;
}

// Cuts the run, widened to whole program units, into fragments of at most
// 256 bytes from its first unit on.
void cut(const Run &run, uint64_t unit, write_plan *plan) {
  const uint64_t lo = align_down(run.start, unit), hi = align_up(run.end(), unit);
  for (uint64_t a = lo; a < hi; a += IMG_FRAGMENT_MAX) {
    plan_fragment f;
    f.addr = static_cast<uint32_t>(a);
    f.data.assign(static_cast<size_t>(std::min<uint64_t>(IMG_FRAGMENT_MAX, hi - a)), 0xFF);
    for (size_t i = 0; i < f.data.size(); ++i) {
      const uint64_t at = a + i;
      if (at >= run.start && at < run.end()) f.data[i] = run.bytes[at - run.start];
    }
    plan->fragments.push_back(std::move(f));
  }
}

bool unit_ok(int unit) {
  return unit >= 1 && unit <= IMG_FRAGMENT_MAX && (unit & (unit - 1)) == 0;
}

}  // namespace

int img_plan(const image *img, uint32_t flash_base, int unit, write_plan *plan, plan_fault *fault,
             uint32_t *where) {
  plan->fragments.clear();
  plan->lowest = 0;
  if (!unit_ok(unit)) return fail(PLAN_BAD_UNIT, 0, fault, where, plan);
  std::vector<Span> spans;
  for (int i = 0; img && i < img->chunks; ++i) {
    const image_chunk &c = img->img[i];
    if (c.len <= 0) continue;
    const uint64_t start = static_cast<uint32_t>(c.offset);
    if (start < flash_base) return fail(PLAN_BELOW_FLASH, start, fault, where, plan);
    if (start + uint64_t(c.len) > kAddressSpace)
      return fail(PLAN_PAST_END, start, fault, where, plan);
    spans.push_back({start, start + uint64_t(c.len), c.data});
  }
  std::stable_sort(spans.begin(), spans.end(),
                   [](const Span &a, const Span &b) { return a.start < b.start; });
  const uint64_t u = static_cast<uint64_t>(unit);
  Run run;
  for (const Span &s : spans) {
    // Runs that share a program unit become one write.
    if (!run.bytes.empty() && align_down(s.start, u) >= align_up(run.end(), u)) {
      cut(run, u, plan);
      run = Run();
    }
    if (run.bytes.empty()) run.start = s.start;
    const uint64_t clash = merge(run, s);
    if (clash != kAddressSpace) return fail(PLAN_CONFLICT, clash, fault, where, plan);
  }
  if (!run.bytes.empty()) cut(run, u, plan);
  if (!spans.empty()) plan->lowest = static_cast<uint32_t>(spans.front().start);
  if (fault) *fault = PLAN_OK;
  errno = 0;
  return 0;
}

void img_plan_report(plan_fault fault, uint32_t where, uint32_t flash_base) {
  switch (fault) {
    case PLAN_BELOW_FLASH:
      std::fprintf(stderr, "Image byte at 0x%08X lies below the flash at 0x%08X\n", where,
                   flash_base);
      break;
    case PLAN_CONFLICT:
      std::fprintf(stderr, "Image sets 0x%08X twice with different values\n", where);
      break;
    case PLAN_PAST_END:
      std::fprintf(stderr, "Image run at 0x%08X passes the end of the address space\n", where);
      break;
    case PLAN_BAD_UNIT:
      std::fprintf(stderr, "Program unit is no power of two from 1 to 256\n");
      break;
    case PLAN_OK:
      break;
  }
}
