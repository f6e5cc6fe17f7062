// Reads arbitrary bytes into Strings line by line and checks every String
// against a model of the line rule: the first 79 characters before a line
// end, cut at a zero byte; an empty line or the end of input stops.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "text/textvalue.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::string Shown(const String& st) {
  std::ostringstream os;
  os << st;
  return os.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::istringstream in(input);
  String st("start");
  std::size_t at = 0;  // where the model's next line starts
  for (;;) {
    const String before(st);
    const bool has_line = at < size && input[at] != '\n';
    const bool good = static_cast<bool>(in >> st);
    if (!has_line) {  // an empty line or the end: nothing stored
      Check(!good);
      Check(Shown(st) == Shown(before));
      break;
    }
    const std::size_t end = input.find('\n', at);
    const std::size_t line_end = end == std::string::npos ? size : end;
    std::string expected =
        input.substr(at, std::min<std::size_t>(line_end - at, 79));
    expected = expected.c_str();  // a zero byte ends the text
    Check(Shown(st) == expected);
    Check(st.length() == static_cast<int>(expected.size()));
    Check((st == before) == (expected == Shown(before)));
    Check((st < before) == (before > st));
    Check((st < before) ==
          (std::strcmp(expected.c_str(), Shown(before).c_str()) < 0));
    String copy(st);
    copy = "overwritten";
    Check(Shown(st) == expected);
    if (end == std::string::npos) {  // the last line had no line end
      Check(!good && in.eof());
      break;
    }
    Check(good);
    at = end + 1;
  }
  return 0;
}
