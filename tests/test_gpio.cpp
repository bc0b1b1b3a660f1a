// The gpio module against a temporary directory tree standing in for sysfs
// (TARVION_SYSFS), with regular files where the kernel has attributes and
// FIFOs where the simulated module listens.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "capture.h"
#include "gpio.h"
#include "testsupport.h"

namespace fs = std::filesystem;
using testsupport::read_file;

namespace {

// A fresh sysfs stand-in with an empty class/gpio directory, named by
// TARVION_SYSFS while it lives. A call that blocks ends the test program
// through SIGALRM instead of hanging it.
class SysfsStandIn {
 public:
  SysfsStandIn() {
    setenv("TARVION_SYSFS", dir_.path().c_str(), 1);
    fs::create_directories(gpio(""));
    alarm(60);
  }
  ~SysfsStandIn() {
    alarm(0);
    unsetenv("TARVION_SYSFS");
  }
  std::string path(const std::string &rel) const { return dir_.file(rel); }
  std::string gpio(const std::string &rel) const { return path("class/gpio/" + rel); }

  // A regular file with its directories, as the kernel would provide it.
  void put(const std::string &rel, const std::string &content = "") const {
    fs::create_directories(fs::path(path(rel)).parent_path());
    testsupport::write_file(path(rel), content);
  }
  void fifo(const std::string &rel) const {
    fs::create_directories(fs::path(path(rel)).parent_path());
    ASSERT_EQ(mkfifo(path(rel).c_str(), 0600), 0) << rel;
  }

 private:
  testsupport::TempDir dir_;
};

using Outcome = testsupport::Called;
using testsupport::call_capturing;

// Reads whatever a FIFO holds now, without waiting.
std::string drain(int fd) {
  char buf[64];
  const ssize_t n = read(fd, buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

enum class Dir { File, Missing, Directory };

struct InitCase {
  const char *what;
  int pin;
  int flags;
  bool exported;  // the line's value file exists
  Dir direction;
  bool export_file;
  int result;
  int err_no;
  const char *export_after;  // nullptr: the export file must not exist (or, without
                             // export_file, is a directory)
  const char *direction_after;
  const char *value_after;
  const char *err;
};

}  // namespace

TEST(Gpio, InitExportsSetsDirectionAndInitialValueAsTheFlagsSay) {
  const int OUT = GPIO_OUTPUT, HIGH = GPIO_HIGH, NODIR = GPIO_NODIR_OK, VERB = GPIO_VERBOSE;
  const InitCase cases[] = {
      {"exported output high", 17, OUT | HIGH, true, Dir::File, true, 0, 0, "", "out\n", "1", ""},
      {"exported output low", 17, OUT, true, Dir::File, true, 0, 0, "", "out\n", "0", ""},
      {"input leaves the value alone", 17, 0, true, Dir::File, true, 0, 0, "", "in\n", "", ""},
      {"high alone makes no output", 17, HIGH, true, Dir::File, true, 0, 0, "", "in\n", "", ""},
      {"unexported line is exported; its value failing keeps the result", 17, OUT | NODIR, false,
       Dir::Missing, true, 0, 0, "17\n", nullptr, nullptr,
       "Can't open gpio17's value: No such file or directory\n"},
      {"negative line number is written as is", -3, NODIR, false, Dir::Missing, true, 0, 0, "-3\n",
       nullptr, nullptr, ""},
      {"missing direction file is created, as a stream opened for writing does", 17, OUT | HIGH,
       true, Dir::Missing, true, 0, 0, "", "out\n", "1", ""},
      {"line without directory fails silently without VERBOSE", 17, OUT, false, Dir::Missing, true,
       -1, ENOENT, "17\n", nullptr, nullptr, ""},
      {"line without directory is reported with VERBOSE", 17, OUT | VERB, false, Dir::Missing, true,
       -1, ENOENT, "17\n", nullptr, nullptr,
       "Can't open direction for pin 17: No such file or directory\n"},
      {"NODIR_OK excuses only a missing direction", 17, OUT | NODIR | VERB, true, Dir::Directory,
       true, -1, EISDIR, "", nullptr, "", "Can't open direction for pin 17: Is a directory\n"},
      {"missing export file is created", 17, OUT | NODIR, false, Dir::Missing, false, 0, 0, "17\n",
       nullptr, nullptr, "Can't open gpio17's value: No such file or directory\n"},
      {"export that cannot be opened is reported without VERBOSE", 17, OUT | HIGH, false, Dir::File,
       false, -1, EISDIR, nullptr, "", nullptr, "Can't open exportfile: Is a directory\n"},
  };
  for (const InitCase &c : cases) {
    SCOPED_TRACE(c.what);
    SysfsStandIn sys;
    const std::string line = "gpio" + std::to_string(c.pin) + "/";
    if (c.export_file) sys.put("class/gpio/export");
    const bool export_is_directory = !c.export_file && !c.export_after;
    if (export_is_directory) fs::create_directories(sys.gpio("export"));
    if (c.exported) sys.put("class/gpio/" + line + "value");
    if (c.direction == Dir::File) sys.put("class/gpio/" + line + "direction");
    if (c.direction == Dir::Directory) fs::create_directories(sys.gpio(line + "direction"));

    const Outcome o = call_capturing([&] { return init_gpio(c.pin, c.flags); });

    EXPECT_EQ(o.result, c.result);
    if (c.result == -1) {
      EXPECT_EQ(o.err_no, c.err_no);
    }
    EXPECT_EQ(o.err, c.err);
    if (!export_is_directory) {
      EXPECT_EQ(fs::exists(sys.gpio("export")), c.export_after != nullptr);
    }
    if (c.export_after) {
      EXPECT_EQ(read_file(sys.gpio("export")), c.export_after);
    }
    if (c.direction != Dir::Directory) {
      EXPECT_EQ(fs::exists(sys.gpio(line + "direction")), c.direction_after != nullptr);
      if (c.direction_after) {
        EXPECT_EQ(read_file(sys.gpio(line + "direction")), c.direction_after);
      }
    }
    EXPECT_EQ(fs::exists(sys.gpio(line + "value")), c.value_after != nullptr);
    if (c.value_after) {
      EXPECT_EQ(read_file(sys.gpio(line + "value")), c.value_after);
    }
  }
}

TEST(Gpio, SetWritesExactlyOneCharacterWithoutLineEnd) {
  const struct {
    int val;
    const char *written;
  } cases[] = {{5, "1"}, {1, "1"}, {0, "0"}, {-1, "1"}, {INT_MIN, "1"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.val);
    SysfsStandIn sys;
    sys.put("class/gpio/gpio23/value");
    const Outcome o = call_capturing([&] { return set_gpio(23, c.val); });
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(read_file(sys.gpio("gpio23/value")), c.written);
  }
}

TEST(Gpio, SetReportsAValueFileThatCannotBeOpenedWithTheOpensErrno) {
  const struct {
    const char *what;
    bool value_is_directory;
    int err_no;
    const char *err;
  } cases[] = {
      {"line not exported", false, ENOENT,
       "Can't open gpio23's value: No such file or directory\n"},
      {"value is a directory", true, EISDIR, "Can't open gpio23's value: Is a directory\n"},
      // A value the kernel refuses (/dev/full): the line did not move.
      {"value refuses writes", false, ENOSPC,
       "Can't write gpio23's value: No space left on device\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    SysfsStandIn sys;
    if (c.value_is_directory) fs::create_directories(sys.gpio("gpio23/value"));
    if (c.err_no == ENOSPC && fs::create_directories(sys.gpio("gpio23")))
      fs::create_symlink("/dev/full", sys.gpio("gpio23/value"));
    const Outcome o = call_capturing([] { return set_gpio(23, 1); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err_no, c.err_no);
    EXPECT_EQ(o.err, c.err);
    EXPECT_FALSE(fs::is_regular_file(sys.gpio("gpio23/value")));
  }
}

TEST(Gpio, GetReturnsTheCharacterCodeOrMinusOne) {
  const struct {
    const char *what;
    const char *content;  // nullptr: no value file; "/": a directory in its place
    int result;
    int err_no;
    const char *err;
  } cases[] = {
      {"line reads 1", "1", 49, 0, ""},
      {"line reads 0 with line end", "0\n", 48, 0, ""},
      {"empty value file", "", -1, ENODATA, ""},
      {"value file that cannot be read", "/", -1, EISDIR, ""},
      {"line not exported", nullptr, -1, ENOENT,
       "Can't open gpio23's value: No such file or directory\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    SysfsStandIn sys;
    if (c.content && std::string(c.content) == "/")
      fs::create_directories(sys.gpio("gpio23/value"));
    else if (c.content)
      sys.put("class/gpio/gpio23/value", c.content);
    const Outcome o = call_capturing([] { return get_gpio(23); });
    EXPECT_EQ(o.result, c.result);
    if (c.result == -1) {
      EXPECT_EQ(o.err_no, c.err_no);
    }
    EXPECT_EQ(o.err, c.err);
  }
}

TEST(Gpio, DestroyWritesTheNumberToUnexportOrReportsAFileThatCannotBeOpened) {
  const struct {
    int pin;
    bool unexport_is_directory;
    const char *written;  // what the unexport file holds afterwards
    const char *err;
  } cases[] = {
      {17, false, "17\n", ""},
      {0, false, "0\n", ""},
      {-3, false, "-3\n", ""},
      {17, true, nullptr, "Can't open unexport-file: Is a directory\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.pin);
    SysfsStandIn sys;
    if (c.unexport_is_directory)
      fs::create_directories(sys.gpio("unexport"));
    else if (c.pin != 0)
      sys.put("class/gpio/unexport", "stale text\n");
    const Outcome o = call_capturing([&] {
      destroy_gpio(c.pin);
      return 0;
    });
    EXPECT_EQ(o.err, c.err);
    if (c.written) {
      EXPECT_EQ(read_file(sys.gpio("unexport")), c.written);
    } else {
      EXPECT_EQ(o.err_no, EISDIR);
    }
  }
}

TEST(Gpio, SetLedIdxWritesBrightnessOnlyInsideTheNamedLedsDirectory) {
  // Decoys sit where a name escaping its LED directory would lead.
  const std::vector<std::string> files = {"class/leds/green/brightness", "class/brightness",
                                          "class/leds/brightness", "class/leds/a/b/brightness"};
  std::string names[] = {"green", "", "..", ".", "a/b", "missing"};
  char *leds[] = {&names[0][0], &names[1][0], nullptr,     &names[2][0],
                  &names[3][0], &names[4][0], &names[5][0]};
  const int max = 7;
  const struct {
    const char *what;
    int idx, max, val;
    int result;
    const char *green_after;
  } cases[] = {
      {"first of one", 0, 1, 255, 0, "255\n"},   {"negative brightness", 0, max, -7, 0, "-7\n"},
      {"index equal to max", 0, 0, 255, 1, ""},  {"negative index", -1, max, 255, 1, ""},
      {"empty name", 1, max, 255, 1, ""},        {"null name", 2, max, 255, 1, ""},
      {"parent directory", 3, max, 255, 1, ""},  {"the leds directory itself", 4, max, 255, 1, ""},
      {"name with a slash", 5, max, 255, 1, ""}, {"no brightness file", 6, max, 255, -1, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    SysfsStandIn sys;
    for (const std::string &f : files) sys.put(f);
    const Outcome o = call_capturing([&] { return set_led_idx(c.idx, c.max, leds, c.val); });
    EXPECT_EQ(o.result, c.result);
    if (c.result == -1) {
      EXPECT_EQ(o.err_no, ENOENT);
    }
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(read_file(sys.path(files[0])), c.green_after);
    for (size_t i = 1; i < files.size(); ++i)
      EXPECT_EQ(read_file(sys.path(files[i])), "") << files[i];
    EXPECT_FALSE(fs::exists(sys.path("class/leds/missing")));
  }
  SysfsStandIn sys;
  EXPECT_EQ(set_led_idx(0, 1, nullptr, 255), 1);
}

TEST(Gpio, FifoWithoutReaderFailsAtOnceInsteadOfBlocking) {
  const struct {
    const char *what;
    const char *fifo;
    const char *also_file;  // a regular file the case needs besides the FIFO
    std::function<int()> call;
    int result;
    int err_no;
    const char *err;
  } cases[] = {
      {"set value", "class/gpio/gpio4/value", nullptr, [] { return set_gpio(4, 1); }, -1, ENXIO,
       "Can't open gpio4's value: No such device or address\n"},
      {"get value from a FIFO without writer", "class/gpio/gpio4/value", nullptr,
       [] { return get_gpio(4); }, -1, ENODATA, ""},
      {"export", "class/gpio/export", nullptr, [] { return init_gpio(4, GPIO_OUTPUT); }, -1, ENXIO,
       "Can't open exportfile: No such device or address\n"},
      {"direction is not excused by NODIR_OK", "class/gpio/gpio4/direction",
       "class/gpio/gpio4/value",
       [] { return init_gpio(4, GPIO_OUTPUT | GPIO_NODIR_OK | GPIO_VERBOSE); }, -1, ENXIO,
       "Can't open direction for pin 4: No such device or address\n"},
      {"unexport", "class/gpio/unexport", nullptr,
       [] {
         destroy_gpio(4);
         return -1;
       },
       -1, ENXIO, "Can't open unexport-file: No such device or address\n"},
      {"LED brightness", "class/leds/red/brightness", nullptr,
       [] {
         char name[] = "red";
         char *leds[] = {name};
         return set_led_idx(0, 1, leds, 1);
       },
       -1, ENXIO, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    SysfsStandIn sys;
    sys.fifo(c.fifo);
    if (c.also_file) sys.put(c.also_file);
    const Outcome o = call_capturing(c.call);
    EXPECT_EQ(o.result, c.result);
    EXPECT_EQ(o.err_no, c.err_no);
    EXPECT_EQ(o.err, c.err);
  }
}

TEST(Gpio, FifoReadersReceiveEachWriteWhole) {
  SysfsStandIn sys;
  const char *names[] = {"export", "unexport", "gpio4/direction", "gpio4/value"};
  int fd[4];
  for (int i = 0; i < 4; ++i) {
    sys.fifo(std::string("class/gpio/") + names[i]);
    fd[i] = open(sys.gpio(names[i]).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd[i], 0) << names[i];
  }
  const int exp = 0, unexp = 1, dir = 2, val = 3;

  Outcome o = call_capturing([] { return init_gpio(4, GPIO_OUTPUT | GPIO_HIGH | GPIO_NODIR_OK); });
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(drain(fd[exp]), "");  // the value FIFO shows the line as exported
  EXPECT_EQ(drain(fd[dir]), "out\n");
  EXPECT_EQ(drain(fd[val]), "1");

  o = call_capturing([] { return set_gpio(4, 0) + set_gpio(4, 7); });
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(drain(fd[val]), "01");

  o = call_capturing([] { return init_gpio(5, GPIO_NODIR_OK); });
  EXPECT_EQ(drain(fd[exp]), "5\n");

  destroy_gpio(4);
  EXPECT_EQ(drain(fd[unexp]), "4\n");
  for (int f : fd) close(f);
}

TEST(Gpio, SysfsRootIsTakenFromTheEnvironmentAtEachCall) {
  SysfsStandIn first;
  const std::string first_root = getenv("TARVION_SYSFS");
  first.put("class/gpio/gpio8/value");
  SysfsStandIn second;
  second.put("class/gpio/gpio8/value");

  EXPECT_EQ(set_gpio(8, 1), 0);
  setenv("TARVION_SYSFS", first_root.c_str(), 1);
  EXPECT_EQ(set_gpio(8, 0), 0);

  EXPECT_EQ(read_file(first.gpio("gpio8/value")), "0");
  EXPECT_EQ(read_file(second.gpio("gpio8/value")), "1");
}
