// Points an output stream (std::cout unless told otherwise) at a string for
// the life of the object, starting from the stream's default format, and
// restores buffer, flags and precision on destruction, so each test sees a
// fresh stream.
#ifndef TESTS_SUPPORT_STREAMCAPTURE_H_
#define TESTS_SUPPORT_STREAMCAPTURE_H_

#include <iostream>
#include <sstream>
#include <string>

class StreamCapture {
 public:
  explicit StreamCapture(std::ostream& os = std::cout)
      : stream_(os),
        saved_buffer_(os.rdbuf(captured_.rdbuf())),
        saved_flags_(os.flags(std::ios_base::dec | std::ios_base::skipws)),
        saved_precision_(os.precision(6)) {}
  StreamCapture(const StreamCapture&) = delete;
  StreamCapture& operator=(const StreamCapture&) = delete;
  ~StreamCapture() {
    stream_.rdbuf(saved_buffer_);
    stream_.flags(saved_flags_);
    stream_.precision(saved_precision_);
  }

  // Returns what was written so far and forgets it.
  std::string Take() {
    std::string text = captured_.str();
    captured_.str("");
    return text;
  }

 private:
  std::ostringstream captured_;
  std::ostream& stream_;
  std::streambuf* saved_buffer_;
  std::ios_base::fmtflags saved_flags_;
  std::streamsize saved_precision_;
};

#endif  // TESTS_SUPPORT_STREAMCAPTURE_H_
