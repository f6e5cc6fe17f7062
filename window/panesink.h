// An output-only stream buffer that gathers characters in a 4096-character
// array inside the object and hands them in runs to a Window: build an
// std::ostream on it and formatted output lands in the window. It hands
// over on every flush and whenever the array is full, never on destruction.
// Failure is reported the stream-buffer way, by result; nothing throws.
#ifndef WINDOW_PANESINK_H_
#define WINDOW_PANESINK_H_

#include <streambuf>

class Window;

class PaneSink : public std::streambuf {
 public:
  // Starts with nothing pending; does not call the window.
  explicit PaneSink(Window* w);
  PaneSink(const PaneSink&) = delete;
  PaneSink& operator=(const PaneSink&) = delete;
  // Drops whatever is pending: flush the stream first to deliver it.
  ~PaneSink() override = default;

 protected:
  // Hands every pending character to the window. Returns 0, or -1 when the
  // window took fewer; then the characters it did not take stay pending.
  int sync() override;
  // Hands over what is pending, then c on its own unless c is end-of-file.
  // Returns 0, or end-of-file when the window did not take everything.
  int_type overflow(int_type c) override;

 private:
  static constexpr int kSize = 4096;
  Window* window;  // not owned; must outlive the buffer's last hand-over
  char buffer[kSize];
};

#endif  // WINDOW_PANESINK_H_
