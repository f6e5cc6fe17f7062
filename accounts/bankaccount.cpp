#include "accounts/bankaccount.h"

#include <cstring>
#include <iostream>

#include "accounts/moneyformat.h"

BankAccount::BankAccount(const char* s, long an, double bal)
    : number(an), balance(bal) {
  std::strncpy(fullName, s, kNameSize - 1);
  fullName[kNameSize - 1] = '\0';  // strncpy does not terminate a long name
}

void BankAccount::Deposit(double amt) { balance += amt; }

void BankAccount::Withdraw(double amt) {
  if (amt <= balance) {
    balance -= amt;
  } else {
    std::cout << "Withdrawal amount of $" << amt << " exceeds your balance.\n"
              << "Withdrawal canceled.\n";
  }
}

void BankAccount::ViewAcct() const {
  MoneyFormat money(std::cout);
  std::cout << "Client: " << fullName << std::endl;
  std::cout << "Account Number: " << number << std::endl;
  std::cout << "Balance: $" << balance << std::endl;
}
