// Reads four yearly incomes into an array indexed by year and recaps them;
// the recap runs one year too far, and the array's exception reports the bad
// year with the valid range. The total survives the exception.
#include <iostream>

#include "arrays/offsetrow.h"
#include "demos/flushstdout.h"

int main() {
  const int kFirstYear = 1998;
  const int kYears = 4;
  int year = kFirstYear;
  double total = 0.0;
  try {
    LimitArE income(kYears, kFirstYear, 0.0);
    std::cout << "Enter your income for the last " << kYears << " years:\n";
    for (year = kFirstYear; year < kFirstYear + kYears; ++year) {
      std::cout << "Year " << year << ": $";
      std::cin >> income[year];
    }
    std::cout.precision(2);
    std::cout.setf(std::ios_base::showpoint);
    std::cout.setf(std::ios_base::fixed, std::ios_base::floatfield);
    std::cout << "Recapitulating, here are the figures:\n";
    for (year = kFirstYear; year <= kFirstYear + kYears; ++year) {
      double amount = income[year];  // throws for the fifth year
      std::cout << year << ": $" << amount << "\n";
      total += income[year];
    }
  } catch (LimitArE::SonOfBad& bad) {
    std::cout << "LimitArE exception: " << bad.badIndex
              << " is a bad index value\n";
    std::cout << "Index should be in the range " << bad.lowBound << " to "
              << bad.highBound << ".\n";
  }
  std::cout << "Total income for " << year - kFirstYear << " years is $"
            << total << ".\n";
  std::cout << "Bye!\n";
  return FlushStdout("incomeyears");
}
