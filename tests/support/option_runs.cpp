#include "option_runs.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace testsupport {

namespace {

std::string slurp(FILE *f) {
  std::string s;
  std::rewind(f);
  for (int c; (c = std::getc(f)) != EOF;) s.push_back(static_cast<char>(c));
  std::fclose(f);
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
    "                           (default=`/etc/tarvion_update.conf')\n"
    "      --address=ADDR     Target address of a raw binary file  \n"
    "                           (default=`0x08000000')\n"
    "      --verify           Read back and compare what was written  (default=off)\n"
    "      --go               Start the application after flashing  (default=off)\n"
    "      --unprotect        Lift read and write protection before erasing  \n"
    "                           (default=off)\n"
    "      --erase=MODE       Erase `all' of the flash or only the `image' pages  \n"
    "                           (default=`all')\n"
    "      --format=FORMAT    Read the file as `auto', `ihex', `srec', `elf' or  \n"
    "                           `binary'  (default=`auto')\n"
    "      --read=FILE        Read the whole flash into FILE before any update\n"
    "      --progress=MODE    Progress display: `dots', `percent' or `none'  \n"
    "                           (default=`dots')\n"
    "      --boot-pin         Make the module's boot-select pin count (option  \n"
    "                           bytes) before anything is erased  (default=off)\n"
    "      --info             Show what the module tells of itself and exit  \n"
    "                           (default=off)\n"
    "      --leave-options    Flash even where the module ignores its boot-select  \n"
    "                           pin (option bytes left as they are)  (default=off)\n"
    "      --range=ADDR:LEN   Read only LEN bytes of the flash from ADDR (--read)\n"
    "      --compare          Compare the module's flash with the file, write  \n"
    "                           nothing  (default=off)\n"
    "      --parts=FILE       Add or replace rows of the table of parts from FILE\n"
    "      --list-parts       Print the table of parts and exit  (default=off)\n";

}  // namespace

const std::string kHelp = std::string(kHead) + kTail;
const std::string kFullHelp = std::string(kHead) + kHidden + kTail;
const std::string kVersion = "tarvion_update 2011_09b1\n";

int pass(update_conf *c, std::vector<std::string> args, int override, int initialize,
         int check_required) {
  Argv a(std::move(args));
  return parser_internal(a.argc(), a.argv(), c, override, initialize, check_required, nullptr);
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
  num("address", c.address_given, static_cast<unsigned>(c.address_arg), c.address_orig);
  flag("verify", c.verify_given, c.verify_flag);
  flag("go", c.go_given, c.go_flag);
  flag("unprotect", c.unprotect_given, c.unprotect_flag);
  text("erase", c.erase_given, c.erase_arg, c.erase_orig);
  text("format", c.format_given, c.format_arg, c.format_orig);
  text("read", c.read_given, c.read_arg, c.read_orig);
  text("progress", c.progress_given, c.progress_arg, c.progress_orig);
  flag("boot-pin", c.boot_pin_given, c.boot_pin_flag);
  flag("info", c.info_given, c.info_flag);
  flag("leave-options", c.leave_options_given, c.leave_options_flag);
  text("range", c.range_given, c.range_arg, c.range_orig);
  flag("compare", c.compare_given, c.compare_flag);
  text("parts", c.parts_given, c.parts_arg, c.parts_orig);
  flag("list-parts", c.list_parts_given, c.list_parts_flag);
  return s;
}

}  // namespace testsupport
