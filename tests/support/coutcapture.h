// Points std::cout at a string for the life of the object, starting from
// the stream's default format, and restores buffer, flags and precision on
// destruction, so each test sees a fresh stream.
#ifndef TESTS_SUPPORT_COUTCAPTURE_H_
#define TESTS_SUPPORT_COUTCAPTURE_H_

#include <iostream>
#include <sstream>
#include <string>

class CoutCapture {
 public:
  CoutCapture()
      : saved_buffer_(std::cout.rdbuf(captured_.rdbuf())),
        saved_flags_(
            std::cout.flags(std::ios_base::dec | std::ios_base::skipws)),
        saved_precision_(std::cout.precision(6)) {}
  CoutCapture(const CoutCapture&) = delete;
  CoutCapture& operator=(const CoutCapture&) = delete;
  ~CoutCapture() {
    std::cout.rdbuf(saved_buffer_);
    std::cout.flags(saved_flags_);
    std::cout.precision(saved_precision_);
  }

  // Returns what was written so far and forgets it.
  std::string Take() {
    std::string text = captured_.str();
    captured_.str("");
    return text;
  }

 private:
  std::ostringstream captured_;
  std::streambuf* saved_buffer_;
  std::ios_base::fmtflags saved_flags_;
  std::streamsize saved_precision_;
};

#endif  // TESTS_SUPPORT_COUTCAPTURE_H_
