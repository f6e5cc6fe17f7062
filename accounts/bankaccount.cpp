#include "accounts/bankaccount.h"

#include <cstring>
#include <iostream>

#include "accounts/moneyformat.h"

BankAccount::BankAccount(const char* s, long an, double bal)
    : number(an), balance(bal) {
  std::size_t n = std::strlen(s);
  if (n >= kNameSize) {
    // Cutting before a continuation byte (10xxxxxx) would split a character.
    n = kNameSize - 1;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(fullName, s, n);
  fullName[n] = '\0';
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
