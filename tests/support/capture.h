// Capturing what the code under test writes to standard error.
#ifndef TARVION_CAPTURE_H
#define TARVION_CAPTURE_H

#include <functional>
#include <string>

#include "testsupport.h"

namespace testsupport {

// Sends standard error into a file of its own while it lives; finish() (or
// the destructor) puts the old one back.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture() { finish(); }
  StderrCapture(const StderrCapture &) = delete;
  StderrCapture &operator=(const StderrCapture &) = delete;

  // Ends the capture (once) and returns everything written during it.
  std::string finish();

 private:
  TempDir dir_;
  int saved_ = -1;
};

// What a call returned, the errno it left, and what it wrote to standard error.
struct Called {
  int result;
  int err_no;
  std::string err;
};

// Clears errno, makes the call with standard error captured, and reports.
Called call_capturing(const std::function<int()> &call);

}  // namespace testsupport

#endif
