// Writes arbitrary chunks through an std::ostream on a PaneSink, with
// flushes between some of them, into a recording window: the window must
// receive exactly the bytes written, in order, in calls of 1 to 4096.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>

#include "window/panesink.h"
#include "window/window.h"  // the recording stand-in

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  Window window;
  std::string written;
  {
    PaneSink sink(&window);
    std::ostream out(&sink);
    std::size_t at = 0;
    while (at + 2 <= size) {
      const int op = data[at] % 4;
      const std::size_t length = data[at + 1] * 37 % 5000;  // past 4096 too
      at += 2;
      const std::string chunk(reinterpret_cast<const char*>(data) + at,
                              std::min(length, size - at));
      at += chunk.size();
      if (op == 0)
        out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
      if (op == 1)
        for (char c : chunk) out.put(c);
      if (op == 2) out << chunk << std::flush;
      if (op == 3) out << chunk.size() << ' ';
      written += op == 3 ? std::to_string(chunk.size()) + ' ' : chunk;
    }
    out.flush();
    if (!out.good()) std::abort();
  }
  std::string received;
  for (const std::string& call : window.calls) {
    if (call.empty() || call.size() > 4096) std::abort();
    received += call;
  }
  if (received != written) std::abort();
  return 0;
}
