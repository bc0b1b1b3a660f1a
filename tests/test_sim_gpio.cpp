// The simulated module's GPIO model: its sysfs stand-in and the boot loader
// or application it starts, as the host drives the lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bytes.h"
#include "pty.h"
#include "sim_process.h"
#include "testsupport.h"

using namespace testsupport;

namespace {

// Writes text to a FIFO of the sysfs stand-in, as the flasher's gpio module does.
void write_sysfs(const std::string &path, const std::string &text) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
}

// A sysfs stand-in with the reset line 17 and the boot-select line 22.
struct GpioSim {
  explicit GpioSim(std::vector<std::string> args = {}) : sim(with_lines(args)) {}

  std::vector<std::string> with_lines(std::vector<std::string> &args) const {
    args.insert(args.begin(),
                {"--sysfs", tmp.file("sysfs"), "--reset-gpio", "17", "--boot-gpio", "22"});
    return args;
  }

  TempDir tmp;
  std::string gpio = tmp.file("sysfs/class/gpio");
  SimProcess sim;

  void reset(char v) { write_sysfs(gpio + "/gpio17/value", std::string(1, v)); }
  void boot(char v) { write_sysfs(gpio + "/gpio22/value", std::string(1, v)); }

  // The flasher's entry sequence: reset low, boot-select high, reset high.
  void enter_boot_loader() {
    write_sysfs(gpio + "/gpio17/direction", "out\n");
    reset('0');
    write_sysfs(gpio + "/gpio22/direction", "out\n");
    boot('1');
    reset('1');
  }

  // The release sequence: reset low, boot-select low, reset high.
  void release() {
    reset('0');
    boot('0');
    reset('1');
  }

  std::vector<std::string> records(const char *kind) const {
    return rests(of_kind(sim.log(), kind));
  }
};

bool is_fifo(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

}  // namespace

TEST(SimGpio, CreatesTheSysfsStandInAndRemovesItsFifosOnExit) {
  GpioSim g;
  ASSERT_TRUE(g.sim.ready());
  const std::vector<std::string> files = {"export",       "unexport",         "gpio17/direction",
                                          "gpio17/value", "gpio22/direction", "gpio22/value"};
  for (const auto &f : files) EXPECT_TRUE(is_fifo(g.gpio + "/" + f)) << f;
  write_sysfs(g.gpio + "/export", "22\n");
  write_sysfs(g.gpio + "/unexport", "22\n17\n");
  EXPECT_EQ(g.sim.stop(), 0);
  EXPECT_EQ(g.records("gpio"),
            (std::vector<std::string>{"export 22", "unexport 22", "unexport 17"}));
  for (const auto &f : files) EXPECT_FALSE(is_fifo(g.gpio + "/" + f)) << f;
}

TEST(SimGpio, AnswersOnlyAfterResetRoseWhileBootSelectWasHigh) {
  GpioSim g;
  ASSERT_TRUE(g.sim.ready());
  RawPort port(g.sim.tty_path());
  port.send({0x7F});
  EXPECT_TRUE(port.quiet(200)) << "the application answered";
  g.enter_boot_loader();
  EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  for (const Step &s : write_steps(0x08000000, {0xAA, 0xBB, 0xCC, 0xDD}))
    EXPECT_EQ(port.ask(s.send, 1), s.expect);
  g.release();
  ASSERT_TRUE(wait_for_record(g.sim, "event", "restart app"));
  port.send({0x7F});
  EXPECT_TRUE(port.quiet(200)) << "the application answered";
  EXPECT_EQ(g.sim.stop(), 0);

  // Every write in the order the host made it, across files.
  EXPECT_EQ(g.records("gpio"),
            (std::vector<std::string>{"direction reset out", "reset 0", "direction boot out",
                                      "boot 1", "reset 1", "reset 0", "boot 0", "reset 1"}));
  EXPECT_EQ(g.records("event"),
            (std::vector<std::string>{"restart boot", "sync", "cmd write 08000000 4",
                                      "write 08000000 4", "restart app"}));
  EXPECT_NE(g.sim.stderr_text().find("module restarted into its application\n"), std::string::npos);
  EXPECT_EQ(g.sim.dump()[0], '\xaa');
}

// Reset samples boot-select as it rises: a host that raises reset first
// finds the application, however quickly it raises boot-select after it.
TEST(SimGpio, HostThatRaisesResetBeforeBootSelectFindsTheApplication) {
  GpioSim g;
  ASSERT_TRUE(g.sim.ready());
  RawPort port(g.sim.tty_path());
  g.reset('0');
  g.reset('1');
  g.boot('1');
  ASSERT_TRUE(wait_for_record(g.sim, "gpio", "boot 1"));
  port.send({0x7F});
  EXPECT_TRUE(port.quiet(200)) << "the boot loader answered";
  EXPECT_EQ(g.sim.stop(), 0);
  EXPECT_EQ(g.records("gpio"), (std::vector<std::string>{"reset 0", "reset 1", "boot 1"}));
  EXPECT_EQ(g.records("event"), std::vector<std::string>{"restart app"});
}

TEST(SimGpio, ResetPulseRestartsTheBootLoaderUnsynchronised) {
  GpioSim g;
  ASSERT_TRUE(g.sim.ready());
  RawPort port(g.sim.tty_path());
  g.enter_boot_loader();
  EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  port.send({0x7F});  // once synchronised, the first byte of a command pair
  EXPECT_TRUE(port.quiet(200));
  EXPECT_EQ(port.ask({0x7F}), Bytes{NACK});
  g.reset('0');
  g.reset('1');
  ASSERT_TRUE(wait_for_record(g.sim, "event", "restart boot", 2));  // the entry made the first
  EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  EXPECT_EQ(g.sim.stop(), 0);
}

// Without waiting for acknowledgements the host may pull the lines right
// after its last bytes: the module must still take those bytes in first.
TEST(SimGpio, BytesWrittenBeforeALineChangeReachTheBootLoaderFirst) {
  GpioSim g;
  ASSERT_TRUE(g.sim.ready());
  RawPort port(g.sim.tty_path());
  g.enter_boot_loader();
  EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  Bytes burst = {0x31, 0xCE};
  for (uint8_t b : address_block(0x08000010)) burst.push_back(b);
  for (uint8_t b : data_block({0x11, 0x22, 0x33, 0x44})) burst.push_back(b);
  port.send(burst);
  g.release();
  ASSERT_TRUE(wait_for_record(g.sim, "event", "restart app"));
  EXPECT_EQ(g.sim.stop(), 0);
  EXPECT_EQ(g.sim.dump().substr(0x10, 4), "\x11\x22\x33\x44");
  auto ev = g.records("event");
  ASSERT_EQ(ev.size(), 5u);
  EXPECT_EQ(ev[3], "write 08000010 4");
}

// A restart of the module itself (here by Write Unprotect) samples
// boot-select as a reset does: low, the application runs.
TEST(SimGpio, RestartWithBootSelectLowRunsTheApplication) {
  GpioSim g({"--write-protected", "--reset-after-options"});
  ASSERT_TRUE(g.sim.ready());
  RawPort port(g.sim.tty_path());
  g.enter_boot_loader();
  EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  g.boot('0');
  // The module acts on a line change once the bytes sent before it are in.
  ASSERT_TRUE(wait_for_record(g.sim, "acted", "boot 0"));
  EXPECT_EQ(port.ask({0x73, 0x8C}, 2), (Bytes{ACK, ACK}));
  ASSERT_TRUE(wait_for_record(g.sim, "event", "restart app"));
  port.send({0x7F});
  EXPECT_TRUE(port.quiet(200)) << "the boot loader answered";
  EXPECT_EQ(g.sim.stop(), 0);
}

// A G0 as shipped ignores boot-select once its flash holds an application:
// the flasher's entry sequence starts the application.
TEST(SimGpio, G0AsShippedWithAnApplicationIgnoresBootSelect) {
  TempDir tmp;
  write_file(tmp.file("app.bin"), std::string("\x00\x10\x00\x20", 4));
  GpioSim g({"--part", "0x460", "--flash-init", tmp.file("app.bin")});
  ASSERT_TRUE(g.sim.ready());
  RawPort port(g.sim.tty_path());
  g.enter_boot_loader();
  ASSERT_TRUE(wait_for_record(g.sim, "event", "restart app"));
  port.send({0x7F});
  EXPECT_TRUE(port.quiet(200)) << "the boot loader answered";
  EXPECT_EQ(g.sim.stop(), 0);
  // A 0x7F that a loaded machine delivers within the start-up is lost as
  // well; only the decision and the start count.
  std::vector<std::string> starts;
  for (const auto &e : g.records("event"))
    if (e.rfind("starting lost", 0) != 0) starts.push_back(e);
  EXPECT_EQ(starts, (std::vector<std::string>{"boot app by nBOOT_SEL 1 nBOOT0 1, flash not empty",
                                              "restart app"}));
}
