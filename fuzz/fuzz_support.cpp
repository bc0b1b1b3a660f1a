#include "fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image.h"
#include "image_format.h"

namespace {

// The real standard error, kept before the fuzzer sends descriptor 2 to
// /dev/null.
int g_report_fd = STDERR_FILENO;

void write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w <= 0) return;
    p += w;
    n -= static_cast<size_t>(w);
  }
}

bool starts_with(const std::string &s, const char *prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

using U = update_conf;

// The options with an argument: their given mark, argument text and, for
// numbers, value.
struct ArgField {
  int U::*given;
  owned_text U::*orig;
  owned_text U::*text;  // text options: the value, always the argument text
  int U::*number;
};
const ArgField kArgFields[] = {
    {&U::device_given, &U::device_orig, &U::device_arg, nullptr},
    {&U::baudrate_given, &U::baudrate_orig, nullptr, &U::baudrate_arg},
    {&U::resetpin_given, &U::resetpin_orig, nullptr, &U::resetpin_arg},
    {&U::bspin_given, &U::bspin_orig, nullptr, &U::bspin_arg},
    {&U::file_given, &U::file_orig, &U::file_arg, nullptr},
    {&U::testid_given, &U::testid_orig, nullptr, &U::testid_arg},
    {&U::conffile_given, &U::conffile_orig, &U::conffile_arg, nullptr},
    {&U::format_given, &U::format_orig, &U::format_arg, nullptr},
    {&U::read_given, &U::read_orig, &U::read_arg, nullptr},
    {&U::progress_given, &U::progress_orig, &U::progress_arg, nullptr},
    {&U::range_given, &U::range_orig, &U::range_arg, nullptr},
    {&U::parts_given, &U::parts_orig, &U::parts_arg, nullptr},
};
int U::*const kFlags[] = {&U::waitack_flag, &U::uart_flag,      &U::showid_flag,
                          &U::verbose_flag, &U::saveconf_flag,  &U::leave_options_flag,
                          &U::compare_flag, &U::list_parts_flag};
int U::*const kGiven[] = {
    &U::help_given,     &U::full_help_given, &U::version_given,   &U::device_given,
    &U::baudrate_given, &U::resetpin_given,  &U::bspin_given,     &U::file_given,
    &U::waitack_given,  &U::uart_given,      &U::showid_given,    &U::testid_given,
    &U::verbose_given,  &U::saveconf_given,  &U::conffile_given,  &U::format_given,
    &U::read_given,     &U::progress_given,  &U::range_given,     &U::leave_options_given,
    &U::compare_given,  &U::parts_given,     &U::list_parts_given};

// What holds after any pass; after one that succeeded, every option given
// also holds its argument text, and a text option's value is that text.
void check_record(const update_conf &rec, bool passed) {
  for (int U::*given : kGiven) FUZZ_CHECK(rec.*given == 0 || rec.*given == 1);
  FUZZ_CHECK(rec.help_given + rec.full_help_given + rec.version_given == 0);
  for (int U::*flag : kFlags) FUZZ_CHECK(rec.*flag == 0 || rec.*flag == 1);
  FUZZ_CHECK(rec.device_arg && rec.conffile_arg);
  if (!passed) return;
  for (const ArgField &f : kArgFields) {
    if (!(rec.*f.given)) continue;
    FUZZ_CHECK(rec.*f.orig);
    if (f.text) FUZZ_CHECK(rec.*f.text == rec.*f.orig);
  }
}

int read_back(const char *path, update_conf *rec) {
  std::vector<std::string> args{"tarvion_update"};
  FILE *in = std::fopen(path, "r");
  FUZZ_CHECK(in);
  const int collected = parser_config_collect(in, path, &args);
  std::fclose(in);
  if (collected != 0) return collected;
  return parser_config_apply(&args, path, rec, 0, 1, 0);
}

// The writer either refuses a record or writes what the reader turns back
// into the same given options, argument texts and values.
void check_saved_reads_back(const update_conf &rec) {
  static MemFile first;
  static MemFile second;
  update_conf copy = rec;
  if (parser_file_save(first.path(), &copy) != 0) return;
  update_conf back;
  FUZZ_CHECK(read_back(first.path(), &back) == 0);
  check_record(back, true);
  for (const ArgField &f : kArgFields) {
    if (f.number && rec.*f.given) FUZZ_CHECK(back.*f.number == rec.*f.number);
  }
  FUZZ_CHECK(parser_file_save(second.path(), &back) == 0);
  FUZZ_CHECK(first.content() == second.content());
  parser_free(&back);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
  const int fd = ::dup(STDERR_FILENO);
  if (fd >= 0) g_report_fd = fd;
  const char *keep = std::getenv("TARVION_FUZZ_STDERR");
  if (keep && std::strcmp(keep, "0") != 0) return 0;
  for (int i = 1; i < *argc; ++i) {
    if (starts_with((*argv)[i], "-close_fd_mask=")) return 0;
  }
  // The fuzzer reads its flags from this vector after this call returns.
  static std::vector<char *> args;
  static char quiet[] = "-close_fd_mask=2";
  args.assign(*argv, *argv + *argc);
  args.push_back(quiet);
  args.push_back(nullptr);
  *argv = args.data();
  *argc += 1;
  return 0;
}

void fuzz_fail(const char *cond, const char *file, int line) {
  const std::string msg =
      std::string("fuzz check failed: ") + cond + " (" + file + ":" + std::to_string(line) + ")\n";
  write_all(g_report_fd, msg.data(), msg.size());
  std::abort();
}

MemFile::MemFile() : fd_(::memfd_create("tarvion_fuzz", MFD_CLOEXEC)) {
  FUZZ_CHECK(fd_ >= 0);
  path_ = "/proc/self/fd/" + std::to_string(fd_);
}

MemFile::~MemFile() {
  ::close(fd_);
}

void MemFile::assign(const uint8_t *data, size_t size) {
  FUZZ_CHECK(::ftruncate(fd_, 0) == 0);
  size_t done = 0;
  while (done < size) {
    const ssize_t w = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
    FUZZ_CHECK(w > 0);
    done += static_cast<size_t>(w);
  }
}

std::string MemFile::content() const {
  std::string s;
  char buf[4096];
  for (off_t at = 0;;) {
    const ssize_t r = ::pread(fd_, buf, sizeof buf, at);
    FUZZ_CHECK(r >= 0);
    if (r == 0) return s;
    s.append(buf, static_cast<size_t>(r));
    at += r;
  }
}

bool fuzz_arg_may_exit(const std::string &arg) {
  if (arg.size() < 2 || arg[0] != '-') return false;
  if (arg[1] != '-') return arg.find_first_of("hV", 1) != std::string::npos;
  if (arg.size() == 2) return false;  // "--" ends the options
  const std::string name = arg.substr(2, arg.find('=') - 2);
  // An empty name ("--=x") is a prefix of every long name.
  for (const char *exiting : {"help", "full-help", "version"}) {
    if (starts_with(exiting, name.c_str())) return true;
  }
  return false;
}

void fuzz_drop_exiting_args(std::vector<std::string> *args) {
  if (args->empty()) return;
  auto first = args->begin() + 1;
  args->erase(std::remove_if(first, args->end(), fuzz_arg_may_exit), args->end());
}

void fuzz_option_passes(const std::vector<std::string> &args, fuzz_pass_fn pass) {
  update_conf rec;
  std::vector<std::string> copy = args;
  const int first = pass(&copy, &rec, 0, 1, 1);
  FUZZ_CHECK(first == 0 || first == 1);
  check_record(rec, first == 0);
  // A firmware file is required, unless the run only reads the flash, shows
  // the identifier or the module's information, makes the boot-select pin
  // count, or prints the table of parts (which opens no port).
  if (first == 0)
    FUZZ_CHECK(rec.file_given || rec.read_given || rec.showid_flag || rec.info_flag ||
               rec.boot_pin_flag || rec.list_parts_flag);
  copy = args;
  const int second = pass(&copy, &rec, 1, 0, 0);
  FUZZ_CHECK(second == 0 || second == 1);
  check_record(rec, first == 0 && second == 0);
  if (first == 0 && second == 0) check_saved_reads_back(rec);
  parser_free(&rec);
}

namespace {

// What the table must hold whatever the input: the cursor at its start and
// every chunk within its block.
void check_table(const image &img, const char *path) {
  FUZZ_CHECK(img.fn == path);
  FUZZ_CHECK(img.cchunk == 0 && img.cpos == 0);
  FUZZ_CHECK(img.chunks >= 1 && img.chunks <= img.slots && img.img);
  for (int i = 0; i < img.chunks; ++i) {
    const image_chunk &c = img.img[i];
    FUZZ_CHECK(c.len >= 0 && c.len <= c.cap);
    FUZZ_CHECK(c.data || c.cap == 0);
  }
}

// Drains the image with fragments of at most buflen bytes. Each fragment
// must be the next run of its chunk (empty chunks passed over), no longer
// than buflen and not past the chunk's end, tagged with the chunk's address
// plus its position modulo 2^32, and hold the chunk's bytes; together the
// fragments must cover every chunk exactly.
void drain(image *img, int buflen) {
  std::vector<char> buf(static_cast<size_t>(buflen) + 1);
  int chunk = 0;
  int pos = 0;
  for (;;) {
    while (chunk < img->chunks && img->img[chunk].len == pos) {
      ++chunk;
      pos = 0;
    }
    int offset = 0x5a5a5a5a;
    buf[static_cast<size_t>(buflen)] = 'G';  // guard byte: nothing may be written past buflen
    const int n = img_get_chunk(img, &offset, buf.data(), buflen);
    FUZZ_CHECK(buf[static_cast<size_t>(buflen)] == 'G');
    if (n == 0) {
      FUZZ_CHECK(chunk == img->chunks);
      FUZZ_CHECK(offset == 0x5a5a5a5a);
      FUZZ_CHECK(img_get_chunk(img, &offset, buf.data(), buflen) == 0);
      return;
    }
    FUZZ_CHECK(n > 0 && n <= buflen && chunk < img->chunks);
    const image_chunk &c = img->img[chunk];
    FUZZ_CHECK(n <= c.len - pos);
    const uint32_t want = static_cast<uint32_t>(c.offset) + static_cast<uint32_t>(pos);
    FUZZ_CHECK(static_cast<uint32_t>(offset) == want);
    FUZZ_CHECK(std::memcmp(buf.data(), c.data + pos, static_cast<size_t>(n)) == 0);
    pos += n;
  }
}

}  // namespace

void fuzz_check_image_file(const uint8_t *data, size_t size) {
  static MemFile file;
  file.assign(data, size);
  image img;
  errno = 0;
  const int r = parse_file(file.path(), &img);
  const bool elf = size >= 4 && std::memcmp(data,
                                            "\x7f"
                                            "ELF",
                                            4) == 0;
  if (r > 0) {
    // Raw binary: the whole file, one chunk at address 0.
    FUZZ_CHECK(static_cast<size_t>(r) == size && data[0] != ':' && !elf);
    FUZZ_CHECK(img.chunks == 1 && img.img[0].offset == 0 && img.img[0].len == r);
    FUZZ_CHECK(std::memcmp(img.img[0].data, data, size) == 0);
  } else if (r < 0) {
    // Only malformed content can fail a file in memory: -1 is the first
    // line of a text format, or a malformed ELF file.
    FUZZ_CHECK(errno == EINVAL &&
               (r != -1 || elf || (size > 0 && (data[0] == ':' || data[0] == 'S'))));
  }
  check_table(img, file.path());
  drain(&img, 256);
  // Once more, from the start, with another fragment size.
  img.cchunk = 0;
  img.cpos = 0;
  drain(&img, 1 + static_cast<int>(size % 300));
  img_free(&img);
}

void fuzz_check_image_file_repaired(const uint8_t *data, size_t size,
                                    void (*repair)(std::string &s, size_t start, size_t len)) {
  fuzz_check_image_file(data, size);
  std::string s(reinterpret_cast<const char *>(data), size);
  for (size_t start = 0; start < s.size();) {
    size_t end = s.find('\n', start);
    if (end == std::string::npos) end = s.size();
    size_t len = end - start;
    if (len > 0 && s[start + len - 1] == '\r') --len;
    repair(s, start, len);
    start = end + 1;
  }
  if (s.compare(0, std::string::npos, reinterpret_cast<const char *>(data), size) != 0)
    fuzz_check_image_file(reinterpret_cast<const uint8_t *>(s.data()), s.size());
}
