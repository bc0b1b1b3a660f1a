// Target lines: the forms of a line text, and each kind against the kernel
// interface it drives where the machine offers one that may be driven: a
// GPIO chip named by TARVION_TEST_GPIOCHIP (a simulator, say: its line 0 is
// toggled), and a serial port with modem lines named by
// TARVION_TEST_MODEM_PORT (a pseudo-terminal has none, so it stands in for a
// port that refuses them).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capture.h"
#include "line.h"
#include "pty.h"
#include "testsupport.h"

namespace {

std::string env(const char *name) {
  const char *value = std::getenv(name);
  return value ? value : "";
}

// A serial port: the one TARVION_TEST_MODEM_PORT names, else a
// pseudo-terminal's slave side.
struct Port {
  testsupport::PtyPair pty;
  int fh = -1;
  Port() {
    std::string path = env("TARVION_TEST_MODEM_PORT");
    if (path.empty()) path = pty.slave();
    fh = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  }
  ~Port() {
    if (fh >= 0) close(fh);
  }
  bool has_modem_lines() const {
    int bits = 0;
    return ioctl(fh, TIOCMGET, &bits) == 0;
  }
};

// What a line text was read as, in a few words; "refused" when it was not.
std::string reading(const char *text) {
  line_form s;
  if (line_parse(text, &s) < 0) return errno == EINVAL ? "refused" : "errno?";
  if (s.kind == LINE_SYSFS) return "sysfs " + std::to_string(s.number);
  if (s.kind == LINE_CHARDEV)
    return s.chip + " " + (s.name.empty() ? std::to_string(s.offset) : s.name);
  return std::string(s.inverted ? "!" : "") + (s.modem_bit == TIOCM_DTR ? "DTR" : "RTS");
}

}  // namespace

TEST(LineForms, NumbersChipLinesAndModemSignalsAreReadEverythingElseRefused) {
  const std::string name31(31, 'N');
  const struct {
    std::string text;
    std::string read_as;
  } accepted[] = {
      {"17", "sysfs 17"},
      {"0x11", "sysfs 17"},
      {"-3", "sysfs -3"},
      {"", "sysfs 0"},
      {"2147483647", "sysfs 2147483647"},
      {"gpiochip0:17", "/dev/gpiochip0 17"},
      {"gpiochip12:GPIO17", "/dev/gpiochip12 GPIO17"},
      {"/dev/gpio/main:P9_12", "/dev/gpio/main P9_12"},
      {"/dev/gpio/by-path/platform-soc:gpio:17", "/dev/gpio/by-path/platform-soc:gpio 17"},
      {"gpiochip0:" + name31, "/dev/gpiochip0 " + name31},
      {"gpiochip0:N" + name31, "refused"},
      {"!dtr", "!DTR"},
      {"rts", "RTS"},
  };
  for (const auto &r : accepted) EXPECT_EQ(reading(r.text.c_str()), r.read_as) << r.text;
  const char *refused[] = {"2147483648",
                           "4x",
                           "gpiochip0:",
                           ":17",
                           "gpiochip:17",
                           "gpiochipA:17",
                           "dev/gpiochip0:17",
                           "gpiochip0:17:1",
                           "gpiochip0:LED RED",
                           "gpiochip0:1234567890",
                           "dtx",
                           "DTR",
                           "!!dtr",
                           "!17",
                           "dtr "};
  for (const char *text : refused) EXPECT_EQ(reading(text), "refused") << text;
  target_line line;
  ASSERT_EQ(line_init(&line, "!rts"), 0);
  EXPECT_EQ(line.text, "!rts") << "the line keeps its text as given";
}

TEST(LineModemWord, AssertsTheSignalWhenThePinMustGoLowAndTouchesNothingElse) {
  const int D = TIOCM_DTR, R = TIOCM_RTS, LE = TIOCM_LE;
  const struct {
    const char *text;
    int bits;
    int level;
    int word;
  } rows[] = {
      {"dtr", 0, 0, D},      {"dtr", D | R, 1, R},     {"dtr", R | LE, 0, D | R | LE},
      {"rts", D, 0, D | R},  {"rts", R, 1, 0},         {"!dtr", 0, 1, D},
      {"!dtr", D | R, 0, R}, {"!rts", D, 1, D | R},    {"!rts", R | LE, 0, LE},
      {"17", D, 0, D},       {"gpiochip0:3", R, 1, R},
  };
  for (const auto &r : rows) {
    line_form form;
    ASSERT_EQ(line_parse(r.text, &form), 0) << r.text;
    EXPECT_EQ(line_modem_word(r.bits, form, r.level), r.word) << r.text << " level " << r.level;
  }
}

TEST(LineSetup, FailuresNameTheLineAsGivenWithTheSystemsReason) {
  Port port;
  ASSERT_GE(port.fh, 0);
  const bool modem = port.has_modem_lines();
  const struct {
    const char *text;
    bool set;  // line_set on a line never set up, instead of line_setup
    int err_no;
    const char *verb;
  } rows[] = {
      {"gpiochip999:1", false, ENOENT, "request"},
      {"/dev/null:0", false, ENOTTY, "request"},
      // A character-device line without a request is requested at its next step.
      {"gpiochip999:3", true, ENOENT, "request"},
      {"dtr", false, ENOTTY, "request"},
      {"!rts", true, ENOTTY, "set"},
  };
  for (const auto &r : rows) {
    target_line line;
    ASSERT_EQ(line_init(&line, r.text), 0) << r.text;
    if (line.form.kind == LINE_MODEM && modem) continue;
    // A user-mode emulator answers the GPIO ioctls with ENOSYS.
    if (line.form.kind == LINE_CHARDEV && r.err_no == ENOTTY && testsupport::emulated()) continue;
    line.port = port.fh;
    const testsupport::Called o = testsupport::call_capturing(
        [&] { return r.set ? line_set(&line, 1) : line_setup(&line, port.fh, 0, 0); });
    EXPECT_EQ(o.result, -1) << r.text;
    EXPECT_EQ(o.err_no, r.err_no) << r.text;
    EXPECT_EQ(o.err, std::string("Can't ") + r.verb + " line " + r.text + ": " +
                         std::strerror(r.err_no) + "\n");
  }
}

TEST(LineHoldModem, PutsTheModemLinesToTheirHeldLevelsInOneWordThenTurnsHupclOff) {
  Port port;
  ASSERT_GE(port.fh, 0);
  const bool modem = port.has_modem_lines();
  const int D = TIOCM_DTR, R = TIOCM_RTS;
  const struct {
    const char *reset;
    const char *bootsel;
    const char *named;  // the line a refusal names; "": nothing touched
    int word;           // the rows' modem lines afterwards, on a port that has them
  } rows[] = {{"17", "gpiochip0:4", "", -1},
              {"17", "!rts", "!rts", 0},
              {"dtr", "rts", "dtr", D | R},
              {"!dtr", "rts", "!dtr", R}};
  for (const auto &r : rows) {
    termios tio{};
    ASSERT_EQ(tcgetattr(port.fh, &tio), 0);
    tio.c_cflag |= HUPCL;
    ASSERT_EQ(tcsetattr(port.fh, TCSANOW, &tio), 0);
    target_line reset, bootsel;
    ASSERT_EQ(line_init(&reset, r.reset) | line_init(&bootsel, r.bootsel), 0);
    const testsupport::Called o =
        testsupport::call_capturing([&] { return line_hold_modem(port.fh, &reset, &bootsel); });
    const bool touched = *r.named != '\0';
    ASSERT_EQ(tcgetattr(port.fh, &tio), 0);
    EXPECT_EQ((tio.c_cflag & HUPCL) == 0, touched) << r.reset;
    const bool refused = touched && !modem;
    EXPECT_EQ(o.result, refused ? -1 : 0) << r.reset;
    const std::string reason = std::string(r.named) + ": " + std::strerror(ENOTTY);
    EXPECT_EQ(o.err, refused ? "Can't request line " + reason + "\n" : "") << r.reset;
    int bits = 0;
    if (touched && modem) {
      ASSERT_EQ(ioctl(port.fh, TIOCMGET, &bits), 0);
      EXPECT_EQ(bits & (reset.form.modem_bit | bootsel.form.modem_bit), r.word) << r.reset;
    }
  }
  if (!modem) GTEST_SKIP() << "the port has no modem lines: only their refusal was checked";
}

TEST(LineChardev, HoldsTheRequestedOutputUntilReleasedAndABusyLineIsRefused) {
  const std::string chip = env("TARVION_TEST_GPIOCHIP");
  if (chip.empty()) GTEST_SKIP() << "TARVION_TEST_GPIOCHIP names no chip whose line 0 may move";
  target_line line, again;
  ASSERT_EQ(line_init(&line, (chip + ":0").c_str()) | line_init(&again, line.text.c_str()), 0);
  ASSERT_EQ(line_setup(&line, -1, 1, 0), 0);
  EXPECT_EQ(line_set(&line, 0), 0);
  const int fd = open(chip.c_str(), O_RDWR | O_CLOEXEC);
  gpio_v2_line_info info{};
  ASSERT_EQ(ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, &info), 0);
  EXPECT_STREQ(info.consumer, "tarvion_update");
  EXPECT_TRUE(info.flags & GPIO_V2_LINE_FLAG_OUTPUT);
  const testsupport::Called busy =
      testsupport::call_capturing([&] { return line_setup(&again, -1, 0, 0); });
  EXPECT_EQ(busy.err, "Can't request line " + again.text + ": " + std::strerror(EBUSY) + "\n");
  line_release(&line);
  ASSERT_EQ(ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, &info), 0);
  EXPECT_FALSE(info.flags & GPIO_V2_LINE_FLAG_USED);
  close(fd);
}
