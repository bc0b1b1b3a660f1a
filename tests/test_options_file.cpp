// The configuration file: its reader (each line one argument of the option
// pass), its writer, and read_config, which decides whether it is used.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config.h"
#include "option_runs.h"
#include "options.h"
#include "testsupport.h"

namespace {

using namespace testsupport;

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
      {"erase=image\naddress 0x08004000\nverify\ngo\nunprotect\n",
       "address=134234112(0x08004000);verify=1;go=1;unprotect=1;erase=image;"},
      {"format=srec\nread /tmp/backup.bin\nprogress=none\n",
       "format=srec;read=/tmp/backup.bin;progress=none;"},
      {"parts = \"my parts\"\nlist-parts\n", "parts=my parts;list-parts=1;"},
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
      {"F=x\nread=\n", "tarvion_update: empty argument for option `--read'" + in_file},
      {"F=x\naddress=''\n", "tarvion_update: empty argument for option `--address'" + in_file},
      {"F=x\nresetpin=\n", "tarvion_update: empty argument for option `--resetpin'" + in_file},
      {"F=x\ntestid = \"\"\n", "tarvion_update: empty argument for option `--testid'" + in_file},
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
  ASSERT_EQ(pass(&c, {"p", "--erase=image", "-f", "c.conf", "-v", "-i0x10", "--uart", "-F",
                      "a \"b\"", "-d", "x'y", "--boot-pin", "--go", "--compare",
                      "--range=0x08000000:16K", "--leave-options"}),
            0);
  ASSERT_EQ(parser_file_save(path.c_str(), &c), 0);
  EXPECT_EQ(testsupport::read_file(path),
            "device=\"x'y\"\nfile='a \"b\"'\nuart\ntestid=\"0x10\"\nverbose\nconffile=\"c.conf\"\n"
            "go\nerase=\"image\"\nboot-pin\nleave-options\nrange=\"0x08000000:16K\"\ncompare\n");
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
  const std::string lines[] = {"010",  " 0", "gpiochip0:it's", "/dev/gpio chip:\"3\"",
                               "!rts", "dtr"};
  size_t n = 0;
  for (const std::string &t : texts) {
    const std::string &reset = lines[n++ % 6], &bootsel = lines[n % 6];
    update_conf c;
    ASSERT_EQ(pass(&c, {"p",          "-F",        t,        "-d",       t,    "-f",    t,
                        "-b",         " 0x10",     "-r",     reset,      "-s", bootsel, "-i",
                        "0x80000410", "--waitack", "--uart", "--showid", "-v", "-S"}),
              0);
    ASSERT_EQ(pass(&c, {"p", "--leave-options", "--range=0:1k", "--compare"}, 1, 0), 0);
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
  const std::string info = dir.file("info.conf");
  testsupport::write_file(info, "info\nboot-pin\n");
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
      // Neither needs a firmware file, on the command line or in the file.
      {{"p", "--info", "-f", absent}, 7, ""},
      {{"p", "--boot-pin", "-f", absent}, 7, ""},
      {{"p", "-f", info}, 7, ""},
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
