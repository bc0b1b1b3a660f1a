// The option record, the command-line pass, the help texts and the
// configuration file, tested through the module's own entry points. Passes
// that end the process run in a forked child whose output is captured.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "config.h"
#include "options.h"
#include "testsupport.h"

namespace {

using testsupport::TempDir;

// An argument vector that getopt may permute.
class Argv {
 public:
  explicit Argv(std::vector<std::string> args) : s_(std::move(args)) {
    for (std::string &a : s_) p_.push_back(&a[0]);
    p_.push_back(nullptr);
  }
  Argv(const Argv &) = delete;
  Argv &operator=(const Argv &) = delete;
  int argc() const { return static_cast<int>(s_.size()); }
  char **argv() { return p_.data(); }

 private:
  std::vector<std::string> s_;
  std::vector<char *> p_;
};

int pass(update_conf *c, std::vector<std::string> args, int override = 1, int initialize = 1,
         int check_required = 0) {
  Argv a(std::move(args));
  return parser_internal(a.argc(), a.argv(), c, override, initialize, check_required, nullptr);
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string slurp(FILE *f) {
  std::string s;
  std::rewind(f);
  for (int c; (c = std::getc(f)) != EOF;) s.push_back(static_cast<char>(c));
  std::fclose(f);
  return s;
}

// Runs fn in a child with standard output and error captured; the status is
// the child's exit status (fn's result when fn returns).
Outcome in_child(const std::function<int()> &fn) {
  FILE *out = std::tmpfile();
  FILE *err = std::tmpfile();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(err), STDERR_FILENO);
    const int r = fn();
    std::fflush(nullptr);
    _exit(r);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  Outcome o;
  o.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  o.out = slurp(out);
  o.err = slurp(err);
  return o;
}

Outcome run_parser2(std::vector<std::string> args, int check_required = 1) {
  return in_child([&] {
    update_conf c;
    Argv a(args);
    return parser2(a.argc(), a.argv(), &c, 1, 1, check_required) + 42;
  });
}

// The given options of a record with their values, in table order.
std::string describe(const update_conf &c) {
  std::string s;
  auto text = [&](const char *name, int given, const owned_text &arg, const owned_text &orig) {
    if (!given) return;
    s += std::string(name) + "=" + arg.value_or("<null>");
    if (orig != arg) s += "|orig=" + orig.value_or("<null>");
    s += ";";
  };
  auto num = [&](const char *name, int given, long long v, const owned_text &orig) {
    if (given)
      s += std::string(name) + "=" + std::to_string(v) + "(" + orig.value_or("<null>") + ");";
  };
  auto flag = [&](const char *name, int given, int v) {
    if (given) s += std::string(name) + "=" + std::to_string(v) + ";";
  };
  text("device", c.device_given, c.device_arg, c.device_orig);
  num("baudrate", c.baudrate_given, c.baudrate_arg, c.baudrate_orig);
  num("resetpin", c.resetpin_given, c.resetpin_arg, c.resetpin_orig);
  num("bspin", c.bspin_given, c.bspin_arg, c.bspin_orig);
  text("file", c.file_given, c.file_arg, c.file_orig);
  flag("waitack", c.waitack_given, c.waitack_flag);
  flag("uart", c.uart_given, c.uart_flag);
  flag("showid", c.showid_given, c.showid_flag);
  num("testid", c.testid_given, static_cast<unsigned>(c.testid_arg), c.testid_orig);
  flag("verbose", c.verbose_given, c.verbose_flag);
  flag("saveconf", c.saveconf_given, c.saveconf_flag);
  text("conffile", c.conffile_given, c.conffile_arg, c.conffile_orig);
  return s;
}

const char kHead[] =
    "tarvion_update 2011_09b1\n"
    "\n"
    "tarvion_update is a simple firmware-flasher for Tarvion Modules\n"
    "\n"
    "Usage: tarvion_update [OPTIONS]...\n"
    "\n"
    "  -h, --help             Print help and exit\n"
    "      --full-help        Print help, including hidden options, and exit\n"
    "  -V, --version          Print version and exit\n"
    "  -d, --device=STRING    UART-device to use for communication  \n"
    "                           (default=`/dev/ttyS1')\n"
    "  -b, --baudrate=INT     Baudrate  (default=`115200')\n"
    "  -r, --resetpin=INT     GPIO-Nr of the reset-pin\n"
    "  -s, --bspin=INT        GPIO-Nr of the bootselect-pin\n"
    "  -F, --file=STRING      Filename with ihex or binary contents to flash\n";
const char kHidden[] =
    "      --waitack          (Do not) wait for ack  (default=on)\n"
    "      --uart             Do no set up uart parameters  (default=on)\n";
const char kTail[] =
    "      --showid           Show the Detected device ID and exit  (default=off)\n"
    "  -i, --testid=INT       Test wether the given id matches the device\n"
    "  -v, --verbose          Print verbose messages  (default=off)\n"
    "  -S, --saveconf         Save the actual configuration to a file  (default=off)\n"
    "  -f, --conffile=STRING  The Configurationfile to use  \n"
    "                           (default=`/etc/tarvion_update.conf')\n";

const std::string kHelp = std::string(kHead) + kTail;
const std::string kFullHelp = std::string(kHead) + kHidden + kTail;
const std::string kVersion = "tarvion_update 2011_09b1\n";

TEST(Options, HelpFullHelpAndVersionPrintExactTextsAndExitZero) {
  struct Row {
    std::vector<std::string> args;
    std::string out;
  } rows[] = {
      {{"p", "--help"}, kHelp},          {{"p", "-h", "-v", "-v"}, kHelp},
      {{"p", "--full-help"}, kFullHelp}, {{"p", "--full"}, kFullHelp},
      {{"p", "-V"}, kVersion},           {{"p", "-d", "x", "--version", "--bogus"}, kVersion},
  };
  for (const Row &r : rows) {
    const Outcome o = run_parser2(r.args);
    EXPECT_EQ(o.status, 0) << r.args[1];
    EXPECT_EQ(o.out, r.out) << r.args[1];
    EXPECT_EQ(o.err, "") << r.args[1];
  }
  EXPECT_EQ(in_child([] { return parser_print_help(), 0; }).out, kHelp);
  EXPECT_EQ(in_child([] { return parser_print_full_help(), 0; }).out, kFullHelp);
  EXPECT_EQ(in_child([] { return parser_print_version(), 0; }).out, kVersion);
}

TEST(Options, InitSetsDefaultsAndFreeReleasesTextsButKeepsNumbers) {
  update_conf c;
  const std::new_handler before = std::get_new_handler();
  parser_init(&c);
  EXPECT_EQ(std::get_new_handler(), before);  // nothing outside the record changes
  EXPECT_EQ(c.device_arg, "/dev/ttyS1");
  EXPECT_EQ(c.baudrate_arg, 115200);
  EXPECT_EQ(c.conffile_arg, "/etc/tarvion_update.conf");
  EXPECT_FALSE(c.file_arg);
  EXPECT_EQ(c.waitack_flag + c.uart_flag, 2);
  EXPECT_EQ(c.showid_flag + c.verbose_flag + c.saveconf_flag, 0);
  EXPECT_STREQ(c.uart_help, update_conf_full_help[9]);
  EXPECT_EQ(describe(c), "");

  ASSERT_EQ(pass(&c, {"p", "-b9600", "-F", "fw.hex", "-v"}), 0);
  parser_free(&c);
  EXPECT_FALSE(c.device_arg || c.device_orig || c.file_arg || c.conffile_arg || c.baudrate_orig);
  EXPECT_EQ(c.baudrate_arg, 9600);
  EXPECT_EQ(c.verbose_flag, 1);
  EXPECT_EQ(c.file_given + c.verbose_given + c.baudrate_given, 0);
  EXPECT_STREQ(c.device_help, update_conf_full_help[3]);
}

TEST(Options, PassAppliesArgumentsAsTheCommandLineMeansThem) {
  struct Row {
    std::vector<std::string> args;
    std::string given;
  } rows[] = {
      {{"p", "--waitack", "--uart", "-v", "--showid", "-S"},
       "waitack=0;uart=0;showid=1;verbose=1;saveconf=1;"},
      {{"p", "-b", "0x2580", "-r010", "--bspin= 7"},
       "baudrate=9600(0x2580);resetpin=8(010);bspin=7( 7);"},
      {{"p", "--baudrate="}, "baudrate=0();"},
      {{"p", "-r", "gpiochip0:GPIO17", "--bspin=!dtr"},
       "resetpin=0(gpiochip0:GPIO17);bspin=0(!dtr);"},
      {{"p", "-b", "-2147483648"}, "baudrate=-2147483648(-2147483648);"},
      {{"p", "--testid=0x80000410"}, "testid=2147484688(0x80000410);"},
      {{"p", "-i", "4294967295"}, "testid=4294967295(4294967295);"},
      {{"p", "-i", "-1"}, "testid=4294967295(-1);"},
      {{"p", "-i", "-2147483648"}, "testid=2147483648(-2147483648);"},
      {{"p", "--dev=/dev/ttyUSB0", "-Ffw bin", "--conf", ""},
       "device=/dev/ttyUSB0;file=fw bin;conffile=;"},
      {{"p", "stray", "-v", "--", "-S"}, "verbose=1;"},
  };
  for (const Row &r : rows) {
    update_conf c;
    EXPECT_EQ(pass(&c, r.args), 0) << r.given;
    EXPECT_EQ(describe(c), r.given);
  }
}

TEST(Options, FailingPassReleasesRecordAndExitsOneWithExactMessage) {
  struct Row {
    std::vector<std::string> args;
    std::string err;  // empty: the scanner's own diagnostic
  } rows[] = {
      {{"p", "-v", "-v", "-h"}, "p: `--verbose' (`-v') option given more than once\n"},
      {{"p", "-vvS"}, "p: `--verbose' (`-v') option given more than once\n"},
      {{"p", "--waitack", "--waitack"}, "p: `--waitack' option given more than once\n"},
      {{"p", "-dA", "--device=B"}, "p: `--device' (`-d') option given more than once\n"},
      {{"p", "-F", "x", "-b", "12x"}, "p: invalid numeric value: 12x\n"},
      {{"p", "-F", "x", "-b", "12 "}, "p: invalid numeric value: 12 \n"},
      {{"p", "-F", "x", "-r", "0x"}, "p: invalid numeric value: 0x\n"},
      {{"p", "-F", "x", "-s", "gpiochip0:"}, "p: invalid numeric value: gpiochip0:\n"},
      {{"p", "-F", "x", "--bspin=dtx"}, "p: invalid numeric value: dtx\n"},
      {{"p", "-F", "x", "-b", "2147483648"}, "p: invalid numeric value: 2147483648\n"},
      {{"p", "-F", "x", "-s", "-2147483649"}, "p: invalid numeric value: -2147483649\n"},
      {{"p", "-F", "x", "-b", "99999999999999999999"},
       "p: invalid numeric value: 99999999999999999999\n"},
      {{"p", "-F", "x", "-i", "0x100000000"}, "p: invalid numeric value: 0x100000000\n"},
      {{"p", "-F", "x", "-i", "-2147483649"}, "p: invalid numeric value: -2147483649\n"},
      {{"p"}, "p: '--file' ('-F') option required\n"},
      {{"p", "-v", "stray"}, "p: '--file' ('-F') option required\n"},
      {{"p", "--f=x"}, ""},
      {{"p", "--bogus"}, ""},
      {{"p", "-F"}, ""},
      {{"p", "-F", "x", "--verbose=1"}, ""},
  };
  for (const Row &r : rows) {
    const Outcome o = run_parser2(r.args);
    EXPECT_EQ(o.status, 1) << r.args.back();
    EXPECT_EQ(o.out, "");
    if (r.err.empty()) {
      EXPECT_EQ(o.err.rfind("p: ", 0), 0u) << o.err;
    } else {
      EXPECT_EQ(o.err, r.err);
    }
  }
  const Outcome none = in_child([] {
    update_conf c;
    return parser2(0, nullptr, &c, 1, 1, 1);
  });
  EXPECT_EQ(none.err, "tarvion_update: '--file' ('-F') option required\n");
  const Outcome req = in_child([] {
    update_conf c;
    parser_init(&c);
    return parser_required(&c, "prog");
  });
  EXPECT_EQ(req.status, 1);
  EXPECT_EQ(req.err, "prog: '--file' ('-F') option required\n");
}

TEST(Options, LaterPassFillsOnlyUnsetOptionsUnlessOverriding) {
  update_conf c;
  ASSERT_EQ(pass(&c, {"p", "-v", "--waitack", "-dA"}), 0);
  // Without override the given options are skipped, repeats included.
  ASSERT_EQ(pass(&c, {"p", "-v", "-v", "-dB", "-dC", "--uart", "-Ff"}, 0, 0, 1), 0);
  EXPECT_EQ(describe(c), "device=A;file=f;waitack=0;uart=0;verbose=1;");
  // With override a flag flips back and a text is replaced.
  ASSERT_EQ(pass(&c, {"p", "--waitack", "-dB"}, 1, 0, 1), 0);
  EXPECT_EQ(describe(c), "device=B;file=f;waitack=1;uart=0;verbose=1;");
}

TEST(Options, PassStartsAfreshAfterOneThatStoppedInsideACluster) {
  update_conf c;
  EXPECT_EQ(pass(&c, {"p", "-vvS"}), 1);
  EXPECT_EQ(pass(&c, {"q", "-b1", "-S"}), 0);
  EXPECT_EQ(describe(c), "baudrate=1(1);saveconf=1;");
}

TEST(Options, OutOfMemoryEndsWithOneLineAndStatusOne) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reports allocation failures itself";
#else
  const Outcome o = in_child([] {
    parser_install_oom_handler();
    // Called through a volatile pointer so that the allocation cannot be elided.
    void *(*volatile allocate)(std::size_t) = static_cast<void *(*)(std::size_t)>(::operator new);
    ::operator delete(allocate(std::numeric_limits<std::size_t>::max() - 4096));
    return 0;
  });
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "tarvion_update: out of memory\n");
#endif
}

// ---------------------------------------------------------------------------
// The configuration file.

Outcome read_conf(const std::string &path, std::vector<std::string> cmdline = {"p"},
                  int check_required = 1) {
  return in_child([&] {
    update_conf c;
    Argv a(cmdline);
    parser2(a.argc(), a.argv(), &c, 1, 1, 0);
    return parser_configfile(path.c_str(), &c, 0, 0, check_required) + 42;
  });
}

std::string describe_conf(const std::string &path, const std::string &content) {
  testsupport::write_file(path, content);
  update_conf c;
  parser_init(&c);
  parser_configfile(path.c_str(), &c, 0, 0, 0);
  return describe(c);
}

TEST(ConfFile, EachLineBecomesOneArgumentAsOnTheCommandLine) {
  TempDir dir;
  const std::string path = dir.file("t.conf");
  const std::string long_name(2042, 'n');
  struct Row {
    std::string content;
    std::string given;
  } rows[] = {
      {"", ""},
      {"\n  \t\n# device=/dev/x\n   # c\n", ""},
      {"device = /dev/x", "device=/dev/x;"},
      {"device=\"/dev/x\"   # serial port\n", "device=/dev/x;"},
      {"  device\t'/dev/x'\n", "device=/dev/x;"},
      {"device=/dev/tty#1\n", "device=/dev/tty;"},
      {"device=/dev/x\"\n", "device=/dev/x;"},
      {"device /dev/x' # c\r\n", "device=/dev/x;"},
      {"device=\n", "device=;"},
      {"device=\"\"\n", "device=;"},
      {"device=\"a # 'b'\"\n", "device=a # 'b';"},
      {"device==x\n", "device==x;"},
      {"d=/dev/x\r\n", "device=/dev/x;"},
      {"b 0x10\n", "baudrate=16(0x10);"},
      {"resetpin = gpiochip0:17\ns '!rts'\n", "resetpin=0(gpiochip0:17);bspin=0(!rts);"},
      {"verbose\nwaitack   # off\r\nuart\n", "waitack=0;uart=0;verbose=1;"},
      {std::string("verbose\0junk\n", 13), "verbose=1;"},
      {"file=" + long_name + "\n", "file=" + long_name + ";"},
      {"file=" + long_name.substr(1) + "\r\n", "file=" + long_name.substr(1) + ";"},
  };
  for (const Row &r : rows) EXPECT_EQ(describe_conf(path, r.content), r.given) << r.content;
}

TEST(ConfFile, CommandLineWinsAndFileRepeatsOfItAreSkipped) {
  TempDir dir;
  const std::string path = dir.file("t.conf");
  testsupport::write_file(path, "verbose\nverbose\ndevice=/dev/b\nfile=fw.hex\n");
  update_conf c;
  ASSERT_EQ(pass(&c, {"p", "-v", "-d/dev/a"}), 0);
  EXPECT_EQ(parser_configfile(path.c_str(), &c, 0, 0, 1), 0);
  EXPECT_EQ(describe(c), "device=/dev/a;file=fw.hex;verbose=1;");
}

TEST(ConfFile, ErrorsReleaseTheRecordAndExitOneWithExactMessage) {
  TempDir dir;
  const std::string path = dir.file("t.conf");
  const std::string pre = "tarvion_update:" + path + ":";
  const std::string in_file = " in configuration file " + path + "\n";
  struct Row {
    std::string content;
    std::string err;  // empty: the scanner's own diagnostic
  } rows[] = {
      {"device /dev/x extra\n", pre + "1: malformed string in configuration file\n"},
      {"\n# c\ndevice=\"a\" b\n", pre + "3: malformed string in configuration file\n"},
      {"# c\ndevice=\"abc\n", pre + "2: unterminated string in configuration file\n"},
      {"x\n" + std::string(2048, 'x') + "\n", pre + "2: Line too long in configuration file\n"},
      {std::string(2047, '#') + "\r\n", pre + "1: Line too long in configuration file\n"},
      {std::string(100000, '#'), pre + "1: Line too long in configuration file\n"},
      {"b=12x\ndevice /dev/x extra\n", pre + "2: malformed string in configuration file\n"},
      {"verbose\nverbose\n",
       "tarvion_update: `--verbose' (`-v') option given more than once" + in_file},
      {"# nothing\n", "tarvion_update: '--file' ('-F') option required" + in_file},
      {"F=x\nb=12x\n", "tarvion_update: invalid numeric value: 12x\n"},
      {"F=x\nresetpin dtx\n", "tarvion_update: invalid numeric value: dtx\n"},
      {"F=x\nverbose#x\n", ""},
  };
  for (const Row &r : rows) {
    testsupport::write_file(path, r.content);
    const Outcome o = read_conf(path);
    EXPECT_EQ(o.status, 1) << r.err;
    if (r.err.empty()) {
      EXPECT_EQ(o.err.rfind("tarvion_update: ", 0), 0u) << o.err;
    } else {
      EXPECT_EQ(o.err, r.err);
    }
  }
  const Outcome missing = read_conf(dir.file("missing.conf"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "tarvion_update: Error opening configuration file '" +
                             dir.file("missing.conf") + "'\n");
  const Outcome directory = read_conf(dir.path());
  EXPECT_EQ(directory.status, 1);
  EXPECT_EQ(directory.err, "tarvion_update: Error reading configuration file '" + dir.path() +
                               "': Is a directory\n");
}

TEST(ConfFile, ReaderStepsReturnTheirErrorsInsteadOfEndingTheProcess) {
  // The two steps of parser_configfile, without its exit: the same arguments
  // and messages, and a result.
  const std::string in_file = " in configuration file x.conf\n";
  struct Row {
    std::string content;
    int collected;
    std::vector<std::string> args;  // after the program name
    int applied;
    std::string err;
  } rows[] = {
      {"device = /dev/x\nverbose # c\nb 9600\nF=fw\n",
       0,
       {"--device=/dev/x", "--verbose", "-b9600", "-Ffw"},
       0,
       ""},
      {"F=fw\nverbose\nverbose\n",
       0,
       {"-Ffw", "--verbose", "--verbose"},
       1,
       "tarvion_update: `--verbose' (`-v') option given more than once" + in_file},
      {"verbose\n",
       0,
       {"--verbose"},
       1,
       "tarvion_update: '--file' ('-F') option required" + in_file},
      {"verbose\ndevice=\"abc\n",
       1,
       {"--verbose"},
       0,
       "tarvion_update:x.conf:2: unterminated string in configuration file\n"},
  };
  for (const Row &r : rows) {
    FILE *f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::fputs(r.content.c_str(), f);
    std::rewind(f);
    std::vector<std::string> args{"tarvion_update"};
    testing::internal::CaptureStderr();
    const int collected = parser_config_collect(f, "x.conf", &args);
    std::fclose(f);
    int applied = 0;
    update_conf c;
    if (collected == 0) applied = parser_config_apply(&args, "x.conf", &c, 0, 1, 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), r.err) << r.content;
    EXPECT_EQ(collected, r.collected) << r.content;
    EXPECT_EQ(applied, r.applied) << r.content;
    args.erase(args.begin());
    EXPECT_EQ(args, r.args) << r.content;
    parser_free(&c);
  }
}

TEST(ConfFile, HelpAndVersionLinesPrintAndExitZero) {
  TempDir dir;
  const std::string path = dir.file("t.conf");
  const std::pair<std::string, std::string> rows[] = {
      {"help\n", kHelp}, {"full-help\n", kFullHelp}, {"V\n", kVersion}};
  for (const auto &r : rows) {
    testsupport::write_file(path, r.first);
    const Outcome o = read_conf(path);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, r.second);
  }
}

TEST(ConfFile, WriterWritesGivenOptionsInTableOrder) {
  TempDir dir;
  const std::string path = dir.file("t.conf");
  update_conf c;
  ASSERT_EQ(pass(&c, {"p", "-f", "c.conf", "-v", "-i0x10", "--uart", "-F", "a \"b\"", "-d", "x'y"}),
            0);
  ASSERT_EQ(parser_file_save(path.c_str(), &c), 0);
  EXPECT_EQ(
      testsupport::read_file(path),
      "device=\"x'y\"\nfile='a \"b\"'\nuart\ntestid=\"0x10\"\nverbose\nconffile=\"c.conf\"\n");
  parser_init(&c);
  ASSERT_EQ(parser_file_save(path.c_str(), &c), 0);
  EXPECT_EQ(testsupport::read_file(path), "");
}

TEST(ConfFile, WriterRefusesUnstorableTextsAndReportsWriteErrors) {
  TempDir dir;
  const std::string path = dir.file("t.conf");
  const std::string why = "tarvion_update: cannot save option `--file' to " + path + ": its ";
  const std::pair<std::string, std::string> rows[] = {
      {"a'b\"c", why + "text holds both kinds of quote\n"},
      {"a\nb", why + "text holds a line break\n"},
      {std::string(2041, 'x'), why + "line would be longer than 2047 characters\n"},
  };
  for (const auto &r : rows) {
    testsupport::write_file(path, "keep\n");
    const Outcome o = in_child([&] {
      update_conf c;
      return pass(&c, {"p", "-v", "-F", r.first}) + parser_file_save(path.c_str(), &c);
    });
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, r.second);
    EXPECT_EQ(testsupport::read_file(path), "keep\n");
  }
  update_conf c;
  ASSERT_EQ(pass(&c, {"p", "-v"}), 0);
  const std::string nodir = dir.file("no/such.conf");
  Outcome o = in_child([&] { return parser_file_save(nodir.c_str(), &c); });
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "tarvion_update: cannot open file for writing: " + nodir + "\n");
  o = in_child([&] { return parser_file_save("/dev/full", &c); });
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "tarvion_update: error writing file /dev/full: No space left on device\n");
}

TEST(ConfFile, EverythingTheWriterWritesReadsBackTheSame) {
  TempDir dir;
  const std::string path = dir.file("t.conf");
  const std::string texts[] = {
      "",     " ",          "a b", "#",   " # x ",
      "it's", "say \"hi\"", "'",   "\"",  "a=b",
      "\t\r", "-v",         "=",   "\"'", std::string(2047 - 11, 'x')};  // longest for --conffile
  // Every form of a target line, names with quotes and blanks included.
  const std::string lines[] = {"010", "", "gpiochip0:it's", "/dev/gpio chip:\"3\"", "!rts", "dtr"};
  size_t n = 0;
  for (const std::string &t : texts) {
    const std::string &reset = lines[n++ % 6], &bootsel = lines[n % 6];
    update_conf c;
    ASSERT_EQ(pass(&c, {"p",          "-F",        t,        "-d",       t,    "-f",    t,
                        "-b",         " 0x10",     "-r",     reset,      "-s", bootsel, "-i",
                        "0x80000410", "--waitack", "--uart", "--showid", "-v", "-S"}),
              0);
    const Outcome o = in_child([&] { return parser_file_save(path.c_str(), &c); });
    if (t == "\"'") {
      EXPECT_EQ(o.status, 1);  // the one text the format cannot hold
      continue;
    }
    ASSERT_EQ(o.status, 0) << o.err;
    update_conf back;
    parser_init(&back);
    parser_configfile(path.c_str(), &back, 0, 0, 1);
    EXPECT_EQ(describe(back), describe(c)) << t;
  }
}

TEST(ReadConfig, CommandLineDecidesWhetherTheConfigurationFileIsRead) {
  TempDir dir;
  const std::string conf = dir.file("t.conf");
  const std::string absent = dir.file("absent.conf");
  const std::string saved = dir.file("saved.conf");
  testsupport::write_file(conf, "file=fw.hex\n");
  const std::string required = "p: '--file' ('-F') option required\n";
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string err;
  } rows[] = {
      {{"p", "--conf=" + conf}, 42, ""},
      {{"p", "-f" + conf}, 42, ""},
      {{"p", "-vf", conf}, 42, ""},
      {{"p", "-f", absent}, 1, required},
      {{"p", "-v", "--conffile", absent, "-F", "fw.hex"}, 42, ""},
      {{"p", "-vSf", saved}, 0, "Configuration saved to " + saved + "\n"},
  };
  for (const Row &r : rows) {
    const Outcome o = in_child([&] {
      update_conf c;
      Argv a(r.args);
      const int rc = read_config(a.argc(), a.argv(), &c);
      return c.file_arg == "fw.hex" ? rc + 42 : 7;
    });
    EXPECT_EQ(o.status, r.status) << r.args[1];
    EXPECT_EQ(o.err, r.err) << r.args[1];
  }
}

}  // namespace
