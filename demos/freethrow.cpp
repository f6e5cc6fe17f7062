// Reads five free-throw rates into a checked array and echoes them as
// percentages; the recap asks for a sixth, and the array's exception
// reports the bad index.
#include <iostream>

#include "arrays/scorelist.h"
#include "demos/flushstdout.h"

int main() {
  try {
    ScoreList rates(5, 0.0);
    std::cout << "Enter free-throw percentages for your 5 top players "
                 "as a decimal fraction:\n";
    for (int i = 0; i < 5; ++i) {
      std::cout << "Player " << i + 1 << ": % = ";
      std::cin >> rates[i];
    }
    std::cout.precision(1);
    std::cout.setf(std::ios_base::showpoint);
    std::cout.setf(std::ios_base::fixed, std::ios_base::floatfield);
    std::cout << "Recapitulating, here are the percentages:\n";
    for (int i = 0; i <= 5; ++i) {  // one past the end, on purpose
      double percent = rates[i] * 100.0;
      std::cout << "Player #" << i + 1 << ": " << percent << "%\n";
    }
  } catch (ScoreList::BadIndex& bad) {
    std::cout << "ScoreList exception: " << bad.badIndex
              << " is a bad index value\n";
  }
  std::cout << "Bye!\n";
  return FlushStdout("freethrow");
}
