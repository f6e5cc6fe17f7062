// The two delimited reads into a character array, with '#' as delimiter:
// getline() extracts and drops the '#', get() leaves it in the input. The
// character read after each shows where the read stopped.
#include <iostream>

#include "demos/flushstdout.h"

int main() {
  constexpr int kArSize = 80;
  char input[kArSize];
  char ch;

  std::cout << "Enter a string for getline() processing:\n";
  std::cin.getline(input, kArSize, '#');
  std::cout << "Here is your input:\n" << input << "\nDone with phase 1\n";
  bool have_ch = static_cast<bool>(std::cin.get(ch));  // else nothing to show
  std::cout << "The next input character is ";
  if (have_ch) std::cout << ch;
  std::cout << "\n";
  if (!have_ch || ch != '\n') std::cin.ignore(kArSize, '\n');

  std::cout << "Enter a string for get() processing:\n";
  std::cin.get(input, kArSize, '#');
  std::cout << "Here is your input:\n" << input << "\nDone with phase 2\n";
  have_ch = static_cast<bool>(std::cin.get(ch));
  std::cout << "The next input character is ";
  if (have_ch) std::cout << ch;
  std::cout << "\n";
  return FlushStdout("lineread");
}
