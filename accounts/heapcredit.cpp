#include "accounts/heapcredit.h"

#include <iostream>
#include <memory>

#include "accounts/moneyformat.h"
#include "accounts/namecopy.h"

OverdraftD::OverdraftD(const char* s, const char* cn, long an, double bal,
                       double ml, double r)
    : BankAccountD(s, an, bal),
      loanLimit(ml),
      rate(r),
      owed(0.0),
      codeName(CopyOf(cn)) {}

OverdraftD::OverdraftD(const BankAccountD& ba, const char* cn, double ml,
                       double r)
    : BankAccountD(ba),
      loanLimit(ml),
      rate(r),
      owed(0.0),
      codeName(CopyOf(cn)) {}

OverdraftD::OverdraftD(const OverdraftD& od)
    : BankAccountD(od),
      loanLimit(od.loanLimit),
      rate(od.rate),
      owed(od.owed),
      codeName(CopyOf(od.codeName)) {}

OverdraftD& OverdraftD::operator=(const OverdraftD& od) {
  if (this == &od) return *this;
  // Both allocations happen before anything is released or overwritten.
  std::unique_ptr<char[]> code(CopyOf(od.codeName));
  BankAccountD::operator=(od);
  delete[] codeName;
  codeName = code.release();
  loanLimit = od.loanLimit;
  owed = od.owed;
  rate = od.rate;
  return *this;
}

OverdraftD::~OverdraftD() { delete[] codeName; }

void OverdraftD::Withdraw(double amt) {
  MoneyFormat money(std::cout);
  double bal = balance;
  if (amt <= bal) {
    BankAccountD::Withdraw(amt);
  } else if (amt <= loanLimit + bal - owed) {
    double advance = amt - bal;
    owed += advance * (1.0 + rate);
    std::cout << "Bank advance: $" << advance << std::endl;
    std::cout << "Finance charge: $" << advance * rate << std::endl;
    Deposit(advance);
    // The advance covers the whole amount, but bal + (amt - bal) may round
    // to a hair below amt; withdrawing the balance itself cannot be refused.
    BankAccountD::Withdraw(balance);
  } else {
    std::cout << "Credit limit exceeded. Transaction cancelled.\n";
  }
}

void OverdraftD::ViewAcct() const {
  MoneyFormat money(std::cout);
  BankAccountD::ViewAcct();
  std::cout << "Code Name: " << codeName << std::endl;
  std::cout << "Maximum loan: $" << loanLimit << std::endl;
  std::cout << "Owed to bank: $" << owed << std::endl;
}
