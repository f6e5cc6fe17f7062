#include "window/panesink.h"

#include <cstring>

#include "window/window.h"

PaneSink::PaneSink(Window* w) : window(w) { setp(buffer, buffer + kSize); }

int PaneSink::sync() {
  const int n = static_cast<int>(pptr() - pbase());
  if (n <= 0) return 0;
  const int taken = window->append(pbase(), n);
  if (taken == n) {
    setp(buffer, buffer + kSize);
    return 0;
  }
  if (taken > 0 && taken < n) {
    // Keep exactly the characters the window has not seen, at the front.
    std::memmove(buffer, buffer + taken, n - taken);
    pbump(-taken);
  }
  return -1;
}

PaneSink::int_type PaneSink::overflow(int_type c) {
  if (pptr() != pbase() && sync() != 0) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) return 0;
  const char ch = traits_type::to_char_type(c);
  return window->append(&ch, 1) == 1 ? 0 : traits_type::eof();
}
