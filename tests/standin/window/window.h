// Stands in for the real window when PaneSink is tested on its own: it
// records every append() call (or, with recording off, only counts the
// characters), and takes as many characters as its policy says (by default
// all of them). No Qt is needed.
#ifndef TESTS_STANDIN_WINDOW_WINDOW_H_
#define TESTS_STANDIN_WINDOW_WINDOW_H_

#include <functional>
#include <string>
#include <vector>

class Window {
 public:
  int append(const char* s, int count) {
    characters += count;
    if (recording) calls.emplace_back(s, count);
    return take ? take(count) : count;
  }

  std::vector<std::string> calls;  // each call's characters, in order
  std::function<int(int)> take;    // characters taken of a call's count
  bool recording = true;
  long long characters = 0;  // offered in all calls
};

#endif  // TESTS_STANDIN_WINDOW_WINDOW_H_
