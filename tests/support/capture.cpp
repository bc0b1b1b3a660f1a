#include "capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace testsupport {

StderrCapture::StderrCapture() {
  std::fflush(stderr);
  saved_ = dup(2);
  const int fd = open(dir_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  dup2(fd, 2);
  close(fd);
}

std::string StderrCapture::finish() {
  if (saved_ >= 0) {
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  return read_file(dir_.file("stderr"));
}

Called call_capturing(const std::function<int()> &call) {
  StderrCapture capture;
  errno = 0;
  const int result = call();
  const int err_no = errno;
  Called c{result, err_no, capture.finish()};
  errno = err_no;
  return c;
}

}  // namespace testsupport
