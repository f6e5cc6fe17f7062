#include "accounts/fixedcredit.h"

#include <iostream>

#include "accounts/moneyformat.h"

Overdraft::Overdraft(const char* s, long an, double bal, double ml, double r)
    : BankAccount(s, an, bal), loanLimit(ml), rate(r), owed(0.0) {}

Overdraft::Overdraft(const BankAccount& ba, double ml, double r)
    : BankAccount(ba), loanLimit(ml), rate(r), owed(0.0) {}

void Overdraft::Withdraw(double amt) {
  MoneyFormat money(std::cout);
  double bal = Balance();
  if (amt <= bal) {
    BankAccount::Withdraw(amt);
  } else if (amt <= loanLimit + bal - owed) {
    double advance = amt - bal;
    owed += advance * (1.0 + rate);
    std::cout << "Bank advance: $" << advance << std::endl;
    std::cout << "Finance charge: $" << advance * rate << std::endl;
    Deposit(advance);
    // The advance covers the whole amount, but bal + (amt - bal) may round
    // to a hair below amt; withdrawing the balance itself cannot be refused.
    BankAccount::Withdraw(Balance());
  } else {
    std::cout << "Credit limit exceeded. Transaction cancelled.\n";
  }
}

void Overdraft::ViewAcct() const {
  MoneyFormat money(std::cout);
  BankAccount::ViewAcct();
  std::cout << "Maximum loan: $" << loanLimit << std::endl;
  std::cout << "Owed to bank: $" << owed << std::endl;
}
