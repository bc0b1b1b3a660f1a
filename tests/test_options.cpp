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
#include "option_runs.h"
#include "options.h"
#include "testsupport.h"

namespace {

using namespace testsupport;

Outcome run_parser2(std::vector<std::string> args, int check_required = 1) {
  return in_child([&] {
    update_conf c;
    Argv a(args);
    return parser2(a.argc(), a.argv(), &c, 1, 1, check_required) + 42;
  });
}

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
      {{"p", "-r", "gpiochip0:GPIO17", "--bspin=!dtr"},
       "resetpin=0(gpiochip0:GPIO17);bspin=0(!dtr);"},
      {{"p", "-b", "-2147483648"}, "baudrate=-2147483648(-2147483648);"},
      {{"p", "--testid=0x80000410"}, "testid=2147484688(0x80000410);"},
      {{"p", "-i", "4294967295"}, "testid=4294967295(4294967295);"},
      {{"p", "-i", "-1"}, "testid=4294967295(-1);"},
      {{"p", "-i", "-2147483648"}, "testid=2147483648(-2147483648);"},
      {{"p", "--dev=/dev/ttyUSB0", "-Ffw bin", "--conf", ""},
       "device=/dev/ttyUSB0;file=fw bin;conffile=;"},
      {{"p", "-v", "--"}, "verbose=1;"},
      {{"p", "--address=0x08004000", "--verify", "--go", "--unprotect", "--erase=image"},
       "address=134234112(0x08004000);verify=1;go=1;unprotect=1;erase=image;"},
      {{"p", "--format=binary", "--read=backup.bin", "--progress=percent"},
       "format=binary;read=backup.bin;progress=percent;"},
      {{"p", "--info", "--boot-pin"}, "boot-pin=1;info=1;"},
      {{"p", "--leave-options", "--range=0x08000000:16K", "--compare"},
       "leave-options=1;range=0x08000000:16K;compare=1;"},
      {{"p", "--list-parts", "--parts=my.parts"}, "parts=my.parts;list-parts=1;"},
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
      {{"p", "-F", "x", "--erase=pages"},
       "p: invalid argument for option `--erase': pages (`all' or `image')\n"},
      {{"p", "-F", "x", "--format=hex"},
       "p: invalid argument for option `--format': hex (`auto' or `ihex' or `srec' or `elf' or "
       "`binary')\n"},
      {{"p", "-F", "x", "--progress=bar"},
       "p: invalid argument for option `--progress': bar (`dots' or `percent' or `none')\n"},
      {{"p", "-F", "x", "--address=0x100000000"}, "p: invalid numeric value: 0x100000000\n"},
      {{"p", "-F", "x", "--address="}, "p: empty argument for option `--address'\n"},
      {{"p", "--read", ""}, "p: empty argument for option `--read'\n"},
      {{"p", "-F", "x", "--range=0x08000000"},
       "p: invalid argument for option `--range': 0x08000000 (ADDR:LEN, e.g. 0x08000000:16K)\n"},
      {{"p", "-F", "x", "--range=0x08000000:0"},
       "p: invalid argument for option `--range': 0x08000000:0 (ADDR:LEN, e.g. 0x08000000:16K)\n"},
      {{"p", "--list-parts", "--parts="}, "p: empty argument for option `--parts'\n"},
      // Empty numbers would read as 0: a speed of 0, GPIO 0.
      {{"p", "--baudrate="}, "p: empty argument for option `--baudrate'\n"},
      {{"p", "-F", "x", "-r", ""}, "p: empty argument for option `--resetpin'\n"},
      {{"p", "-F", "x", "--bspin="}, "p: empty argument for option `--bspin'\n"},
      {{"p", "-F", "x", "-i", ""}, "p: empty argument for option `--testid'\n"},
      {{"p"}, "p: '--file' ('-F') option required\n"},
      {{"p", "-v", "stray"}, "p: unexpected argument 'stray'\n"},
      {{"p", "stray", "-F", "x", "--", "-S"}, "p: unexpected argument 'stray'\n"},
      {{"p", "-F", "x", "--", "-S"}, "p: unexpected argument '-S'\n"},
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

TEST(Options, OutOfMemoryPrintsOneLineOnceAndThrowsForTheRunToEndItsPhase) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reports allocation failures itself";
#else
  const Outcome o = in_child([] {
    parser_install_oom_handler();
    // Called through a volatile pointer so that the allocation cannot be elided.
    void *(*volatile allocate)(std::size_t) = static_cast<void *(*)(std::size_t)>(::operator new);
    int caught = 0;
    for (int i = 0; i < 2; ++i) {
      try {
        ::operator delete(allocate(std::numeric_limits<std::size_t>::max() - 4096));
      } catch (const std::bad_alloc &) {
        ++caught;
      }
    }
    return caught;
  });
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, "tarvion_update: out of memory\n");
#endif
}

}  // namespace
