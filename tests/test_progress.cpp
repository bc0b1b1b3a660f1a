// The progress display: what each mode prints for a step of blocks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "capture.h"
#include "progress.h"
#include "pty.h"

namespace {

// Runs a display over blocks of the given sizes, then the erase's display
// without a measure, both finished or both cut short.
std::string shown(progress_mode mode, bool on, const std::vector<long> &blocks, bool finished) {
  return testsupport::call_capturing([&] {
           long total = 0;
           for (long b : blocks) total += b;
           progress_display p, erase;
           progress_start(&p, on ? mode : PROGRESS_NONE, "Writing", "Flashing fw.hex", total);
           for (long b : blocks) progress_step(&p, b);
           finished ? progress_finish(&p) : progress_stop(&p);
           progress_start(&erase, mode, "Erasing", "", PROGRESS_UNMEASURED);
           finished ? progress_finish(&erase) : progress_stop(&erase);
           return 0;
         })
      .err;
}

TEST(Progress, EachModeShowsTheStepItsOwnWay) {
  const std::vector<long> three = {256, 256, 88};
  const struct {
    const char *what;
    progress_mode mode;
    bool on;
    std::vector<long> blocks;
    bool finished;
    std::string err;
  } rows[] = {
      {"dots", PROGRESS_DOTS, true, three, true, "Flashing fw.hex\n\t...\n\tdone\n"},
      {"dots, a line of its own every 20 blocks", PROGRESS_DOTS, true, std::vector<long>(21, 8),
       true, "Flashing fw.hex\n\t....................\n\t.\n\tdone\n"},
      {"dots, cut short", PROGRESS_DOTS, true, three, false, "Flashing fw.hex\n\t...\n"},
      {"percent", PROGRESS_PERCENT, true, three, true,
       "Writing 0% (0/600 bytes)\nWriting 42% (256/600 bytes)\nWriting 85% (512/600 "
       "bytes)\nWriting 100% (600/600 bytes)\nErasing\nErasing 100%\n"},
      {"percent, a line per whole percent only", PROGRESS_PERCENT, true, std::vector<long>(3, 1000),
       true,
       "Writing 0% (0/3000 bytes)\nWriting 33% (1000/3000 bytes)\nWriting 66% (2000/3000 "
       "bytes)\nWriting 100% (3000/3000 bytes)\nErasing\nErasing 100%\n"},
      {"percent, cut short", PROGRESS_PERCENT, true, three, false,
       "Writing 0% (0/600 bytes)\nWriting 42% (256/600 bytes)\nWriting 85% (512/600 "
       "bytes)\nErasing\n"},
      {"percent, empty", PROGRESS_PERCENT, true, std::vector<long>(), true,
       "Writing 0% (0/0 bytes)\nWriting 100% (0/0 bytes)\nErasing\nErasing 100%\n"},
      {"none", PROGRESS_NONE, true, three, true, ""},
      {"a caller without a display", PROGRESS_PERCENT, false, three, true,
       "Erasing\nErasing 100%\n"},
  };
  for (const auto &r : rows) EXPECT_EQ(shown(r.mode, r.on, r.blocks, r.finished), r.err) << r.what;
}

// On a terminal (a pseudo-terminal, raw, as standard error) the percent lines
// of a step replace each other, and its end, whole or cut short, ends the line.
TEST(Progress, PercentOnATerminalRewritesOneLine) {
  const std::string lines =
      "\rWriting 0% (0/600 bytes)\rWriting 42% (256/600 bytes)\rWriting 85% (512/600 bytes)";
  for (const bool finished : {true, false}) {
    testsupport::PtyPair pty;
    const int term = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios tio;
    ASSERT_EQ(::tcgetattr(term, &tio), 0);
    ::cfmakeraw(&tio);
    ::tcsetattr(term, TCSANOW, &tio);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(term, STDERR_FILENO);
    progress_display p;
    progress_start(&p, PROGRESS_PERCENT, "Writing", "", 600);
    for (const long b : {256, 256, 88}) progress_step(&p, b);
    finished ? progress_finish(&p) : progress_stop(&p);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    const testsupport::Bytes got = testsupport::receive(pty.master(), 4096, 100);
    ::close(term);
    EXPECT_EQ(std::string(got.begin(), got.end()),
              lines + (finished ? "\rWriting 100% (600/600 bytes)\n" : "\n"));
  }
}

TEST(Progress, ModesAreNamedAsTheOptionNamesThem) {
  progress_mode mode = PROGRESS_DOTS;
  EXPECT_EQ(progress_mode_parse("percent", &mode), 0);
  EXPECT_EQ(mode, PROGRESS_PERCENT);
  EXPECT_EQ(progress_mode_parse("none", &mode), 0);
  EXPECT_EQ(mode, PROGRESS_NONE);
  EXPECT_EQ(progress_mode_parse("bar", &mode), -1);
  EXPECT_EQ(mode, PROGRESS_NONE);
}

}  // namespace
