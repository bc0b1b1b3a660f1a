// What the fuzz targets share: standard error kept quiet, checks that still
// reach the terminal, an in-memory file with a path, and the option passes
// with the properties every record they leave must have.
#ifndef TARVION_FUZZ_SUPPORT_H
#define TARVION_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

// Every target shares LLVMFuzzerInitialize (in fuzz_support.cpp), which the
// fuzzer calls before it reads its flags. It keeps a descriptor of the real
// standard error for failed checks and adds -close_fd_mask=2 to the flags,
// so that the messages of the code under test go to /dev/null while the
// fuzzer's and the sanitizers' reports do not. TARVION_FUZZ_STDERR=1 in the
// environment, or a -close_fd_mask flag of one's own, keeps the messages.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);

// Reports the failed condition on the real standard error and aborts, so
// that the fuzzer keeps the input.
[[noreturn]] void fuzz_fail(const char *cond, const char *file, int line);

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : fuzz_fail(#cond, __FILE__, __LINE__))

// A file in memory (memfd) that code taking a path can open by
// /proc/self/fd/N, again and again, each time from its first byte.
class MemFile {
 public:
  MemFile();
  ~MemFile();
  MemFile(const MemFile &) = delete;
  MemFile &operator=(const MemFile &) = delete;

  // Replaces the content with size bytes at data.
  void assign(const uint8_t *data, size_t size);
  // The whole content.
  std::string content() const;
  const char *path() const { return path_.c_str(); }

 private:
  int fd_;
  std::string path_;
};

// True for an argument that could make the option pass print help or the
// version and end the process: a short-option cluster holding h or V, or a
// long option whose name is a prefix of help, full-help or version.
bool fuzz_arg_may_exit(const std::string &arg);

// Removes the arguments after args[0] for which fuzz_arg_may_exit holds.
void fuzz_drop_exiting_args(std::vector<std::string> *args);

// One option pass over args (args[0] the program name) into rec; returns
// what parser_internal returns.
using fuzz_pass_fn = int (*)(std::vector<std::string> *args, update_conf *rec, int override,
                             int initialize, int check_required);

// Runs pass over args twice on one record, first as the command line is
// read (initialize, check_required), then overriding; checks the record
// after each, and, when both passes succeeded, that what the writer saves of
// the record reads back into a record that saves the same text.
void fuzz_option_passes(const std::vector<std::string> &args, fuzz_pass_fn pass);

// Loads the size bytes at data as a firmware file through parse_file and
// checks the result (raw binary: the file itself, one chunk at 0; failure:
// malformed content), the chunk table, and the image drained twice with
// img_get_chunk (fragments of 256 bytes and of another size), every
// fragment within its chunk, at the chunk's address plus its position
// modulo 2^32, holding the chunk's bytes, together covering every chunk.
void fuzz_check_image_file(const uint8_t *data, size_t size);

// Checks the file as it is, then, when repair changes it, once more with
// every line (without its CR LF or LF) passed through repair(s, start, len):
// mutations of a record mostly stop at its checksum test, and the repaired
// copy carries them on into the chunk building.
void fuzz_check_image_file_repaired(const uint8_t *data, size_t size,
                                    void (*repair)(std::string &s, size_t start, size_t len));

#endif
