#include "accounts/heapledger.h"

#include <iostream>

#include "accounts/moneyformat.h"
#include "accounts/namecopy.h"

BankAccountD::BankAccountD(const char* s, long an, double bal)
    : client(CopyOf(s)), number(an), balance(bal) {}

BankAccountD::BankAccountD(const BankAccountD& ba)
    : client(CopyOf(ba.client)), number(ba.number), balance(ba.balance) {}

BankAccountD& BankAccountD::operator=(const BankAccountD& ba) {
  if (this == &ba) return *this;
  // Allocate before releasing, so a failed allocation changes nothing.
  char* name = CopyOf(ba.client);
  delete[] client;
  client = name;
  number = ba.number;
  balance = ba.balance;
  return *this;
}

BankAccountD::~BankAccountD() { delete[] client; }

void BankAccountD::Deposit(double amt) { balance += amt; }

void BankAccountD::Withdraw(double amt) {
  if (amt <= balance) {
    balance -= amt;
  } else {
    std::cout << "Withdrawal amount of $" << amt << " exceeds your balance.\n"
              << "Withdrawal canceled.\n";
  }
}

void BankAccountD::ViewAcct() const {
  MoneyFormat money(std::cout);
  std::cout << "Client: " << client << std::endl;
  std::cout << "Account Number: " << number << std::endl;
  std::cout << "Balance: $" << balance << std::endl;
}
