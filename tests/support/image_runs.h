// End-to-end runs of an image without lines: the real flasher with a
// firmware file of the test's own against the simulated module, and what
// must follow.
#ifndef TARVION_IMAGE_RUNS_H
#define TARVION_IMAGE_RUNS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "flasher.h"
#include "images.h"

namespace testsupport {

inline constexpr uint32_t kFlashStart = 0x08000000;

// A run without lines: the module with sim_args, a firmware file of the
// test's own, the flasher's extra arguments, and what must follow.
struct ImageCase {
  const char *what;
  std::vector<std::string> sim_args;
  std::string file_name;
  std::string content;
  std::vector<std::string> args;
  int status;
  std::function<std::string(const std::string &fn)> err;
  std::vector<Chunk> flash;         // the flash holds these, 0xFF elsewhere (status 0)
  std::vector<std::string> events;  // the module logged these, in this order
  std::string budgets = "";         // the flasher's budgets, when not run_budgets()
};

inline std::string with_flash(const std::vector<Chunk> &chunks, size_t size) {
  std::string want(size, '\xFF');
  for (const Chunk &c : chunks)
    std::copy(c.bytes.begin(), c.bytes.end(), want.begin() + (c.offset - kFlashStart));
  return want;
}

inline void check_image_case(const ImageCase &c) {
  SCOPED_TRACE(c.what);
  TempDir dir;
  const std::string fn = dir.file(c.file_name);
  write_file(fn, c.content);
  SimProcess sim(c.sim_args);
  ASSERT_TRUE(sim.ready());
  ProcOptions po = flasher_options("");
  if (!c.budgets.empty()) po.env["TARVION_BUDGETS"] = c.budgets;
  std::vector<std::string> args = {"-d", sim.tty_path(), "-F", fn};
  args.insert(args.end(), c.args.begin(), c.args.end());
  const ProcResult r = run_process(flasher_argv(dir, args), po);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.err, c.err(fn));
  ASSERT_EQ(sim.stop(), 0);
  if (c.status == 0) {
    EXPECT_EQ(sim.dump(), with_flash(c.flash, sim.dump().size()));
  }
  if (c.status == 255) {
    EXPECT_TRUE(of_kind(sim.log(), "rx").empty());
  }
  if (std::find(c.args.begin(), c.args.end(), "--compare") != c.args.end()) {
    EXPECT_FALSE(has_event(sim, "cmd erase") || has_event(sim, "cmd write"));
  }
  std::vector<std::string> seen;
  for (const auto &e : sim.events())
    if (std::find(c.events.begin(), c.events.end(), e) != c.events.end()) seen.push_back(e);
  EXPECT_EQ(seen, c.events);
}

inline std::function<std::string(const std::string &)> flashed(int fragments,
                                                               std::string after = "") {
  return [=](const std::string &fn) { return progress(fn, fragments) + after; };
}
inline std::function<std::string(const std::string &)> says(std::string text) {
  return [=](const std::string &) { return text; };
}

}  // namespace testsupport

#endif
